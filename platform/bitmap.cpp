// Bitmaps and the decoding of TIFF (libtiff) and JPEG (libjpeg) files held in memory into
// interleaved 8/16-bit RGB or grey, with the embedded ICC profile. Pixels are decoded band by
// band into a buffer that grows with the decoded rows, so a header that promises more than the
// file holds fails before it costs its claimed size; decoded sizes are also capped up front.
#include "platform/bitmap.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>

#include <jpeglib.h>
#include <tiffio.h>

// jerror.h needs jpeglib.h before it.
#include <jerror.h>

#include "platform/checked_size.h"
#include "platform/file_holder.h"
#include "platform/icc_chunks.h"
#include "platform/jpeg_error.h"
#include "platform/jpeg_memory_source.h"

namespace platform {
namespace {

// Decodes larger than this are refused before any allocation: no photo comes near them, and the
// kernels take no more pixels than an int counts.
constexpr uint64_t kMaxPixels = uint64_t(kMaxKernelPixels);
constexpr uint64_t kMaxBytes = kMaxBitmapBytes;
// A single TIFF tile larger than this is a hostile header, not a photo.
constexpr uint64_t kMaxTileBytes = uint64_t(256) << 20;
// Samples a TIFF pixel may carry: grey or RGB with alpha and an extra sample or two.
constexpr uint16_t kMaxTiffSamples = 5;
// The largest single allocation libtiff may make for a file, besides 8 times its length.
constexpr uint64_t kTiffLibraryAllocation = uint64_t(64) << 20;

// Packed row bytes and total bytes of a w x h image of spp samples of bytesPerSample bytes;
// false on overflow, on rows longer than an int, or past the caps.
bool image_geometry(uint64_t w, uint64_t h, uint64_t spp, uint64_t bytesPerSample,
                    uint64_t &rowBytes, uint64_t &total)
{
    auto pixels = checked_mul(w, h);
    auto row = checked_product({int64_t(w), int64_t(spp), int64_t(bytesPerSample)});
    if (w < 1 || h < 1 || !pixels || *pixels > kMaxPixels || !row || *row > uint64_t(INT_MAX))
        return false;
    auto all = checked_mul(*row, h);
    if (!all || *all > kMaxBytes)
        return false;
    rowBytes = *row;
    total = *all;
    return true;
}

// What a decoder hands back; turned into a bitmap by the class itself.
struct Decoded {
    std::vector<uint8_t> pixels;
    int width = 0, height = 0, bps = 0, spp = 0;
    std::vector<uint8_t> icc;
    bool withProfile = true;  // false: no TIFF profile is collected, and none is handed on
    bool outOfMemory = false; // the library could not allocate what the file asked
    // With a target, the pixels go there instead, and only an image of exactly its geometry
    // decodes; no profile is collected.
    uint8_t *target = nullptr;
    int targetWidth = 0, targetHeight = 0, targetSpp = 0;
};

// ---------------------------------------------------------------------------------------------
// TIFF

struct MemoryFile {
    const uint8_t *data;
    uint64_t size;
    uint64_t pos;
};

tmsize_t mem_read(thandle_t h, void *buf, tmsize_t n)
{
    auto *m = static_cast<MemoryFile *>(h);
    if (n <= 0 || m->pos >= m->size)
        return 0;
    uint64_t k = m->size - m->pos;
    if (uint64_t(n) < k)
        k = uint64_t(n);
    std::memcpy(buf, m->data + m->pos, k);
    m->pos += k;
    return tmsize_t(k);
}

tmsize_t mem_write(thandle_t, void *, tmsize_t)
{
    return -1;
}

toff_t mem_seek(thandle_t h, toff_t off, int whence)
{
    auto *m = static_cast<MemoryFile *>(h);
    uint64_t base = whence == SEEK_CUR ? m->pos : whence == SEEK_END ? m->size : 0;
    uint64_t target;
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END)
        return toff_t(-1);
    if (__builtin_add_overflow(base, uint64_t(off), &target))
        return toff_t(-1);
    // Seeking past the end is allowed as for files; reads there return nothing.
    m->pos = target;
    return target;
}

int mem_close(thandle_t)
{
    return 0;
}
toff_t mem_size(thandle_t h)
{
    return static_cast<MemoryFile *>(h)->size;
}
int mem_map(thandle_t, void **, toff_t *)
{
    return 0;
}
void mem_unmap(thandle_t, void *, toff_t) {}

// What libtiff said while a file was open.
struct TiffMessages {
    bool jpegWarned = false;      // the JPEG codec passed a libjpeg message on
    bool oldJpeg = false;         // the old-style JPEG codec did
    bool outOfMemory = false;     // an allocation failed (a tag it fails for is dropped quietly)
    uint64_t judged = UINT64_MAX; // the last strip or tile judged after a message
};

// libtiff's messages are swallowed: a bad file is reported by the null result alone. Its JPEG
// codecs pass libjpeg's messages on under these module names, as text (see chunk_data_whole).
// An allocation that failed is told by the errno it left, whatever the text: nothing lies
// between the failure and the message.
int tiff_quiet(TIFF *, void *user, const char *module, const char *, va_list)
{
    auto *messages = static_cast<TiffMessages *>(user);
    if (errno == ENOMEM)
        messages->outOfMemory = true;
    if (module && std::strcmp(module, "JPEGLib") == 0)
        messages->jpegWarned = true;
    if (module && std::strcmp(module, "LibJpeg") == 0)
        messages->oldJpeg = true;
    return 1; // handled: the process-wide handler is not called
}

struct TiffCloser {
    void operator()(TIFF *t) const
    {
        if (t)
            TIFFClose(t);
    }
};
struct OptionsFree {
    void operator()(TIFFOpenOptions *o) const
    {
        if (o)
            TIFFOpenOptionsFree(o);
    }
};

enum class TiffKind { Grey, GreyInverted, Rgb, Palette };

struct TiffLayout {
    uint32_t width = 0, height = 0;
    uint16_t bps = 0, spp = 0, compression = COMPRESSION_NONE;
    bool separate = false;
    TiffKind kind = TiffKind::Rgb;
    int outSpp = 0, outBps = 0;
    const uint16_t *cmap[3] = {nullptr, nullptr, nullptr};
    bool cmap8 = false; // an old-style colour map whose entries are already 8-bit
};

bool tiff_layout(TIFF *tif, TiffLayout &L)
{
    uint16_t photometric = 0, planar = PLANARCONFIG_CONTIG, format = SAMPLEFORMAT_UINT;
    if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &L.width) ||
        !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &L.height) ||
        !TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric))
        return false;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &L.bps);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &L.spp);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &L.compression);
    L.separate = planar == PLANARCONFIG_SEPARATE;
    // Samples beyond colour and alpha are dropped, but a scanline holds them all: a header's
    // 65535 samples a pixel would size it in gigabytes.
    if (format != SAMPLEFORMAT_UINT || (L.bps != 8 && L.bps != 16) || L.spp < 1 ||
        L.spp > kMaxTiffSamples)
        return false;
    L.outBps = L.bps;
    switch (photometric) {
    case PHOTOMETRIC_MINISBLACK:
    case PHOTOMETRIC_MINISWHITE:
        L.kind = photometric == PHOTOMETRIC_MINISWHITE ? TiffKind::GreyInverted : TiffKind::Grey;
        L.outSpp = 1;
        return true;
    case PHOTOMETRIC_RGB:
        L.kind = TiffKind::Rgb;
        L.outSpp = 3;
        return L.spp >= 3;
    case PHOTOMETRIC_YCBCR:
        // JPEG-compressed YCbCr is converted to RGB by the codec; other YCbCr is not handled.
        if (L.compression != COMPRESSION_JPEG || L.bps != 8 || L.spp != 3)
            return false;
        if (!TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB))
            return false;
        L.kind = TiffKind::Rgb;
        L.outSpp = 3;
        return true;
    case PHOTOMETRIC_PALETTE: {
        if (L.bps != 8 || L.spp != 1)
            return false;
        if (!TIFFGetField(tif, TIFFTAG_COLORMAP, &L.cmap[0], &L.cmap[1], &L.cmap[2]) ||
            !L.cmap[0] || !L.cmap[1] || !L.cmap[2])
            return false;
        L.cmap8 = true;
        for (int c = 0; c < 3; ++c)
            for (int i = 0; i < 256; ++i)
                if (L.cmap[c][i] > 255)
                    L.cmap8 = false;
        L.kind = TiffKind::Palette;
        L.outSpp = 3;
        L.outBps = 8;
        return true;
    }
    default:
        return false; // CMYK, Lab and the rest
    }
}

// Converts n pixels of source samples to output pixels. A contig source holds spp samples a
// pixel and fills every output channel; a separate plane holds one and fills channel `plane`.
template <class T>
void convert_pixels(const TiffLayout &L, const uint8_t *src, size_t n, int plane, uint8_t *dst)
{
    const size_t step = L.separate ? 1 : L.spp;
    if (L.kind == TiffKind::Palette) {
        for (size_t i = 0; i < n; ++i) {
            unsigned index = src[i * step];
            for (int c = 0; c < 3; ++c) {
                uint16_t e = L.cmap[c][index];
                dst[i * 3 + size_t(c)] = uint8_t(L.cmap8 ? e : e >> 8);
            }
        }
        return;
    }
    const int c0 = L.separate ? plane : 0, c1 = L.separate ? plane + 1 : L.outSpp;
    const size_t outSpp = size_t(L.outSpp);
    for (size_t i = 0; i < n; ++i) {
        for (int c = c0; c < c1; ++c) {
            T v;
            std::memcpy(&v, src + (i * step + (L.separate ? 0 : size_t(c))) * sizeof(T), sizeof(T));
            if (L.kind == TiffKind::GreyInverted)
                v = T(T(~T(0)) - v);
            std::memcpy(dst + (i * outSpp + size_t(c)) * sizeof(T), &v, sizeof(T));
        }
    }
}

void convert(const TiffLayout &L, const uint8_t *src, size_t n, int plane, uint8_t *dst)
{
    if (L.bps == 16)
        convert_pixels<uint16_t>(L, src, n, plane, dst);
    else
        convert_pixels<uint8_t>(L, src, n, plane, dst);
}

// Planes that carry used channels: every colour channel of a separate RGB file, else one.
int used_planes(const TiffLayout &L)
{
    return L.separate && L.kind == TiffKind::Rgb ? 3 : 1;
}

// The most times the data of a codec expands into raw samples, from what its format allows, or 0
// for a codec that is refused. Measured with libtiff at its best settings on constant 8- and
// 16-bit strips of up to 8192 x 8192 samples:
//   PackBits    64      a two-byte run gives 128 bytes (measured 64.0)
//   Deflate   1032      a 258-byte match costs two bits at the least (measured 989)
//   PixarLog  1032      deflate over 16-bit words, 8-bit output halving it (measured 959 at 16
//                       bits, 480 at 8)
//   LZW       4096      each 9- to 12-bit code is one byte longer than the longest before it, so
//                       a string is below 3840 bytes (measured 1359; a stream repeating its
//                       longest string reaches about 2560)
//   JPEG      4096      a Huffman-coded 8 x 8 block costs a bit at the least: 1365 bytes a
//                       byte for 4 x 4 subsampled YCbCr, 512 for grey (measured 192 at quality
//                       1). Arithmetic coding has no such floor (152520 measured for a flat
//                       4096 x 4096 grey strip); libtiff writes Huffman coding only, and such a
//                       strip of a flat frame is refused as too short.
//   LZMA      8192      a longest (273-byte) repeat is 14 range-coded decisions, each 0.022
//                       bits at the least (probabilities of 11 bits): 7090 (measured 6860)
//   ZSTD     32768      a block gives 128 KB at the most and an RLE block takes 4 bytes
//                       (measured 32723)
// WebP and LERC have no bound: a constant image codes in a few header bytes however large
// (measured 76662 and 5752188, growing with the size). The codecs of 1-, 2- and 4-bit data and
// of log-luminance data never give the samples this decoder takes.
uint64_t codec_expansion(uint16_t compression)
{
    switch (compression) {
    case COMPRESSION_NONE:
        return 1;
    case COMPRESSION_PACKBITS:
        return 64;
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
    case COMPRESSION_PIXARLOG:
        return 1032;
    case COMPRESSION_LZW:
    case COMPRESSION_JPEG:
    case COMPRESSION_OJPEG:
        return 4096;
    case COMPRESSION_LZMA:
        return 8192;
    case COMPRESSION_ZSTD:
        return 32768;
    default:
        return 0;
    }
}

// The strips' or tiles' offsets and byte counts, one a strip or tile; returns how many, 0 when
// the file lacks them.
uint64_t chunk_table(TIFF *tif, uint64_t *&offsets, uint64_t *&counts)
{
    const bool tiled = TIFFIsTiled(tif);
    if (!TIFFGetField(tif, tiled ? TIFFTAG_TILEOFFSETS : TIFFTAG_STRIPOFFSETS, &offsets) ||
        !TIFFGetField(tif, tiled ? TIFFTAG_TILEBYTECOUNTS : TIFFTAG_STRIPBYTECOUNTS, &counts) ||
        !offsets || !counts)
        return 0;
    return tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
}

// The pixel data the header promises must be in the file before any buffer is sized from the
// header: the strips or tiles of the planes read hold, inside the file, the bytes of every row
// (uncompressed) or enough to expand to them (compressed, see codec_expansion).
bool pixel_data_backed(TIFF *tif, const TiffLayout &L, uint64_t fileSize)
{
    uint64_t *offsets = nullptr, *counts = nullptr;
    const uint64_t chunks = chunk_table(tif, offsets, counts);
    const uint64_t perPlane = L.separate ? chunks / L.spp : chunks;
    if (perPlane == 0)
        return false;
    // The bytes of the file the chunks hold, each counted once however many chunks share it; a
    // count that passes the end is cut to the file, as libtiff reads it.
    const uint64_t used = perPlane * uint64_t(used_planes(L));
    std::vector<std::pair<uint64_t, uint64_t>> ranges; // [begin, end)
    ranges.reserve(size_t(used));
    for (uint64_t i = 0; i < used; ++i)
        if (offsets[i] < fileSize && counts[i] > 0)
            ranges.emplace_back(offsets[i],
                                offsets[i] + std::min(counts[i], fileSize - offsets[i]));
    std::sort(ranges.begin(), ranges.end());
    uint64_t held = 0, covered = 0; // covered: the end of the bytes counted so far
    for (const auto &[begin, end] : ranges)
        if (end > covered) {
            held += end - std::max(begin, covered);
            covered = end;
        }
    // Bytes of raw samples the planes read decode to.
    const uint64_t rawPixel = (L.separate ? 1 : uint64_t(L.spp)) * (L.bps / 8);
    auto raw = checked_product({int64_t(L.width), int64_t(L.height), int64_t(rawPixel),
                                int64_t(used_planes(L))});
    const uint64_t expansion = codec_expansion(L.compression);
    return raw && expansion && held >= *raw / expansion + (*raw % expansion != 0);
}

// Grows the output to hold `rows` rows once the file has shown real data for them, so a header
// that promises more than the file holds costs only what was decoded. The full size is reserved
// (not filled) at the first growth.
void grow_rows(std::vector<uint8_t> &out, uint64_t rows, uint64_t rowBytes, uint64_t total)
{
    if (out.capacity() < total)
        out.reserve(size_t(total));
    if (out.size() < rows * rowBytes)
        out.resize(size_t(rows * rowBytes));
}

bool jpeg_stream_whole(const uint8_t *tables, size_t tablesSize, const uint8_t *data, size_t size);

// Whether the strip or tile `chunk` just read lost no data. libtiff's JPEG codec passes libjpeg's
// warnings on as text alone, and only the first of each strip or tile (libjpeg's default
// emit_message): the first may be harmless, the end of a whole strip without its end marker met
// while its last row decodes (the Huffman decoder reads ahead), and hide the damage that
// follows, and a strip of one iMCU row is all decoded at its first row's read. So the row read
// when a message arrives tells only which strip or tile it is about, and that one is decoded
// again by the rules a standalone JPEG is judged by (jpeg_data_lost); only when it loses data
// does the read fail. The old-style codec's strips are not whole JPEG streams: any message of
// its fails.
bool chunk_data_whole(TIFF *tif, const MemoryFile &file, TiffMessages &said, uint32_t chunk)
{
    if (said.oldJpeg)
        return false;
    if (!said.jpegWarned)
        return true;
    said.jpegWarned = false;
    if (said.judged == chunk)
        return true;
    said.judged = chunk;
    uint64_t *offsets = nullptr, *counts = nullptr;
    if (chunk >= chunk_table(tif, offsets, counts) || offsets[chunk] >= file.size)
        return false;
    uint32_t tablesSize = 0;
    const void *tables = nullptr;
    if (!TIFFGetField(tif, TIFFTAG_JPEGTABLES, &tablesSize, &tables) || !tables)
        tablesSize = 0;
    return jpeg_stream_whole(static_cast<const uint8_t *>(tables), tablesSize,
                             file.data + offsets[chunk],
                             size_t(std::min(counts[chunk], file.size - offsets[chunk])));
}

// Strips are read a scanline at a time: no strip-sized buffer is allocated on a header's word.
bool read_strips(TIFF *tif, const TiffLayout &L, uint64_t rowBytes, uint64_t total,
                 const MemoryFile &file, TiffMessages &said, std::vector<uint8_t> &out)
{
    const uint64_t need = uint64_t(L.width) * (L.separate ? 1 : L.spp) * (L.bps / 8);
    tmsize_t lineSize = TIFFScanlineSize(tif);
    if (lineSize <= 0 || uint64_t(lineSize) < need)
        return false;
    std::vector<uint8_t> line(static_cast<size_t>(lineSize));
    for (int p = 0; p < used_planes(L); ++p) {
        for (uint32_t row = 0; row < L.height; ++row) {
            if (TIFFReadScanline(tif, line.data(), row, uint16_t(p)) != 1 ||
                !chunk_data_whole(tif, file, said, TIFFComputeStrip(tif, row, uint16_t(p))))
                return false;
            if (p == 0)
                grow_rows(out, uint64_t(row) + 1, rowBytes, total);
            convert(L, line.data(), L.width, p, out.data() + row * rowBytes);
        }
    }
    return true;
}

bool read_tiles(TIFF *tif, const TiffLayout &L, uint64_t rowBytes, uint64_t total,
                const MemoryFile &file, TiffMessages &said, std::vector<uint8_t> &out)
{
    uint32_t tw = 0, th = 0;
    if (!TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tw) || !TIFFGetField(tif, TIFFTAG_TILELENGTH, &th) ||
        tw == 0 || th == 0)
        return false;
    const uint64_t group = (L.separate ? 1 : L.spp) * uint64_t(L.bps / 8);
    const uint64_t outPixel = uint64_t(L.outSpp) * (L.outBps / 8);
    uint64_t tileBytes;
    auto tileSize = checked_mul(uint64_t(tw) * th, group);
    if (!tileSize || (tileBytes = *tileSize) > kMaxTileBytes)
        return false;
    tmsize_t libSize = TIFFTileSize(tif);
    if (libSize <= 0 || uint64_t(libSize) < tileBytes)
        return false;
    std::vector<uint8_t> tile(static_cast<size_t>(libSize));
    for (uint32_t row = 0; row < L.height; row += th) {
        const uint32_t rows = L.height - row < th ? L.height - row : th;
        for (int p = 0; p < used_planes(L); ++p) {
            for (uint32_t x = 0; x < L.width; x += tw) {
                tmsize_t got = TIFFReadTile(tif, tile.data(), x, row, 0, uint16_t(p));
                if (got < 0 || uint64_t(got) < tileBytes ||
                    !chunk_data_whole(tif, file, said,
                                      TIFFComputeTile(tif, x, row, 0, uint16_t(p))))
                    return false;
                if (p == 0 && x == 0)
                    grow_rows(out, uint64_t(row) + rows, rowBytes, total);
                const uint32_t cols = L.width - x < tw ? L.width - x : tw;
                for (uint32_t r = 0; r < rows; ++r)
                    convert(L, tile.data() + uint64_t(r) * tw * group, cols, p,
                            out.data() + (uint64_t(row) + r) * rowBytes + x * outPixel);
            }
        }
    }
    return true;
}

using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

// Opens a TIFF of size bytes quietly, from memory (mf) or from the file at path; libtiff's own
// arrays and strip buffers answer to the file's length too.
TiffPtr open_tiff(MemoryFile *mf, const char *path, uint64_t size, TiffMessages *messages)
{
    std::unique_ptr<TIFFOpenOptions, OptionsFree> opts(TIFFOpenOptionsAlloc());
    if (!opts) {
        messages->outOfMemory = true;
        return nullptr;
    }
    errno = 0;
    TIFFOpenOptionsSetErrorHandlerExtR(opts.get(), tiff_quiet, messages);
    TIFFOpenOptionsSetWarningHandlerExtR(opts.get(), tiff_quiet, messages);
    TIFFOpenOptionsSetMaxSingleMemAlloc(opts.get(), tmsize_t(kTiffLibraryAllocation + 8 * size));
    // "m": no memory mapping, so libtiff never gets a pointer into the caller's bytes.
    if (mf)
        return TiffPtr(TIFFClientOpenExt("memory", "rm", mf, mem_read, mem_write, mem_seek,
                                         mem_close, mem_size, mem_map, mem_unmap, opts.get()));
    return TiffPtr(TIFFOpenExt(path, "rm", opts.get()));
}

// The bytes libtiff keeps for the open directory: the values of its tags of variable count
// (every such tag it knows or not, an ICC profile and XMP among them) as it stores them, and its
// strip or tile tables (two 8-byte entries a chunk).
uint64_t tiff_tag_bytes(TIFF *tif)
{
    uint64_t *offsets = nullptr, *counts = nullptr;
    uint64_t total = 16 * chunk_table(tif, offsets, counts);
    const int tags = TIFFGetTagListCount(tif);
    for (int i = 0; i < tags; ++i) {
        const uint32_t tag = TIFFGetTagListEntry(tif, i);
        const TIFFField *field = TIFFFieldWithTag(tif, tag);
        if (!field || !TIFFFieldPassCount(field))
            continue;
        // The getter writes a 32-bit count for these tags, a 16-bit one for the others.
        const bool wide = TIFFFieldReadCount(field) == TIFF_VARIABLE2;
        uint32_t count32 = 0;
        uint16_t count16 = 0;
        const void *value = nullptr;
        if (wide ? TIFFGetField(tif, tag, &count32, &value)
                 : TIFFGetField(tif, tag, &count16, &value))
            total += uint64_t(wide ? count32 : count16) *
                     uint64_t(std::max(TIFFFieldSetGetSize(field), 1));
    }
    return total;
}

// The bytes libtiff reads pixels through: the largest strip or tile as stored (cut to the file),
// which it reads whole, and the decoded tile or scanline handed over.
uint64_t tiff_read_bytes(TIFF *tif, uint64_t fileSize)
{
    uint64_t *offsets = nullptr, *counts = nullptr;
    const uint64_t chunks = chunk_table(tif, offsets, counts);
    uint64_t largest = 0;
    for (uint64_t i = 0; i < chunks; ++i)
        if (offsets[i] < fileSize)
            largest = std::max(largest, std::min(counts[i], fileSize - offsets[i]));
    const tmsize_t buffer = TIFFIsTiled(tif) ? TIFFTileSize(tif) : TIFFScanlineSize(tif);
    return largest + uint64_t(std::max<tmsize_t>(buffer, 0));
}

// What the header of an open TIFF promises, checked as the decoder checks it.
PixelDataCheck tiff_check(TIFF *tif, uint64_t size, TiffLayout &L, PixelLayout *layout)
{
    if (!tiff_layout(tif, L))
        return PixelDataCheck::NotDecodable;
    if (layout)
        *layout = {int(std::min<uint32_t>(L.width, INT_MAX)),
                   int(std::min<uint32_t>(L.height, INT_MAX)),
                   L.outSpp,
                   L.outBps,
                   tiff_tag_bytes(tif),
                   tiff_read_bytes(tif, size)};
    uint64_t rowBytes, total;
    if (!image_geometry(L.width, L.height, uint64_t(L.outSpp), uint64_t(L.outBps / 8), rowBytes,
                        total))
        return PixelDataCheck::TooLarge;
    if (codec_expansion(L.compression) == 0)
        return PixelDataCheck::NotDecodable;
    return pixel_data_backed(tif, L, size) ? PixelDataCheck::Ok : PixelDataCheck::Truncated;
}

bool decode_tiff(const uint8_t *data, size_t size, Decoded &out)
{
    MemoryFile mf{data, size, 0};
    TiffMessages messages;
    TiffPtr tif = open_tiff(&mf, nullptr, size, &messages);
    // A tag libtiff had no memory for is gone from the directory: the file is not read as it is.
    if (!tif || messages.outOfMemory) {
        out.outOfMemory = messages.outOfMemory;
        return false;
    }
    TiffLayout L;
    uint64_t rowBytes, total;
    if (tiff_check(tif.get(), size, L, nullptr) != PixelDataCheck::Ok ||
        !image_geometry(L.width, L.height, uint64_t(L.outSpp), uint64_t(L.outBps / 8), rowBytes,
                        total))
        return false;
    bool ok = TIFFIsTiled(tif.get())
                  ? read_tiles(tif.get(), L, rowBytes, total, mf, messages, out.pixels)
                  : read_strips(tif.get(), L, rowBytes, total, mf, messages, out.pixels);
    out.outOfMemory = messages.outOfMemory;
    if (!ok || out.pixels.size() != total)
        return false;

    uint32_t iccLength = 0;
    void *icc = nullptr;
    if (out.withProfile && TIFFGetField(tif.get(), TIFFTAG_ICCPROFILE, &iccLength, &icc) && icc &&
        iccLength > 0)
        out.icc.assign(static_cast<const uint8_t *>(icc),
                       static_cast<const uint8_t *>(icc) + iccLength);
    out.width = int(L.width);
    out.height = int(L.height);
    out.bps = L.outBps;
    out.spp = L.outSpp;
    return true;
}

// ---------------------------------------------------------------------------------------------
// JPEG

// Coded bytes an arithmetic-coded frame must hold in its scans, where no one-bit rule bounds
// them (a flat block costs a small fraction of a bit): one byte for this many blocks of all
// components, 0.00024 bytes a block. (A Huffman-coded progressive file is held by the one-bit
// rule of the DC scans every component needs, whatever its end-of-band runs skip.) Measured in
// those bytes a block, arithmetic-coded: the 14 test photos at quality 1 to 75 take 0.0045 at the
// least (0.040 at quality 5, 0.089 at 10), 12-megapixel images blurred past any detail 0.0029
// (0.017, 0.029), 12 times the floor, and skies cut from the photos 0.0004 at quality 5, 0.0016 at
// 10; progressive, the photos take 0.13 arithmetic-coded and 0.25 Huffman-coded. Only flat
// rectangles code below the floor (a clipped sky cut out 0.00014, one colour at 12 megapixels
// 0.00003), as do files of a hundred bytes declaring 20000 x 20000 pixels (0.000005 to 0.00002).
constexpr uint64_t kBlocksPerCodedByte = 4096;

// Whether the entropy-coded bytes of all scans reach the floor for blocks of all components.
bool above_coded_byte_floor(uint64_t data, uint64_t blocks)
{
    return data >= blocks / kBlocksPerCodedByte + (blocks % kBlocksPerCodedByte != 0);
}

// Whether a libjpeg warning tells of pixel data lost. The library warns of damaged data and
// goes on: it skips bytes before a marker, resynchronises at the next restart marker, fills the
// blocks after a marker met too soon with zeros. Damage found while a scan still has rows (iMCU
// rows) to decode loses pixels; after its last row (bytes before the next marker or the end of
// image, a missing end) it loses none. The warnings on a scan's parameters come as the scan
// starts, all its rows ahead (input_iMCU_row still tells the previous scan's end). A premature
// end of the data is judged by the Huffman decoder, which warns (JWRN_HIT_MARKER) only when it
// needs bits the data no longer holds: it reads ahead, and so meets the end of a whole scan
// without an end marker while still decoding its last row. The arithmetic decoder takes the end
// silently as zero bits, so there the end is judged itself. Header warnings (JFIF version,
// Adobe transform) are not about pixels.
bool jpeg_data_lost(j_common_ptr common)
{
    if (!common->is_decompressor)
        return false;
    const auto *cinfo = reinterpret_cast<j_decompress_ptr>(common);
    const bool rowsAhead = cinfo->input_iMCU_row < cinfo->total_iMCU_rows;
    switch (common->err->msg_code) {
    case JWRN_BOGUS_PROGRESSION:
    case JWRN_NOT_SEQUENTIAL:
        return true;
    case JWRN_JPEG_EOF:
        return rowsAhead && cinfo->arith_code;
    case JWRN_EXTRANEOUS_DATA:
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_ARITH_BAD_CODE:
    case JWRN_MUST_RESYNC:
        return rowsAhead;
    default:
        return false;
    }
}

// Warnings are silent unless they tell of pixel data lost: the decode then fails as on an error.
void jpeg_emit(j_common_ptr cinfo, int level)
{
    if (level < 0 && jpeg_data_lost(cinfo))
        cinfo->err->error_exit(cinfo);
}

// Called before each step of the input: a file is refused as its scan count passes the cap.
void jpeg_scan_cap(j_common_ptr cinfo)
{
    const int scan = reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number;
    if (scan > kMaxJpegScans)
        ERREXIT1(cinfo, JERR_BAD_PROG_SCRIPT, scan);
}

// The ICC profile from the saved APP2 chunks; any inconsistency means no profile.
void collect_icc(j_decompress_ptr cinfo, std::vector<uint8_t> &icc)
{
    IccChunks chunks;
    for (jpeg_marker_struct *m = cinfo->marker_list; m; m = m->next)
        chunks.add(m->marker, m->data, m->data_length);
    const size_t length = chunks.total();
    if (length == 0)
        return;
    icc.resize(length);
    chunks.copy(icc.data(), icc.size());
}

void cap_library_memory(jpeg_decompress_struct *cinfo, uint64_t outputBytes)
{
    cinfo->mem->max_memory_to_use = long(jpeg_library_memory(outputBytes));
}

// The part of the decode during which the library may jump back: no object with a destructor
// lives in this frame, and the output vector belongs to the caller.
bool jpeg_decode_body(jpeg_decompress_struct *cinfo, Decoded *out)
{
    jpeg_save_markers(cinfo, JPEG_APP0 + 2, 0xFFFF);
    if (jpeg_read_header(cinfo, TRUE) != JPEG_HEADER_OK)
        return false;
    int spp;
    switch (cinfo->jpeg_color_space) {
    case JCS_GRAYSCALE:
        cinfo->out_color_space = JCS_GRAYSCALE;
        spp = 1;
        break;
    case JCS_RGB:
    case JCS_YCbCr:
        cinfo->out_color_space = JCS_RGB;
        spp = 3;
        break;
    default:
        return false; // CMYK, YCCK and unknown spaces
    }
    cinfo->scale_num = 1;
    cinfo->scale_denom = 1;
    jpeg_calc_output_dimensions(cinfo);
    uint64_t rowBytes, total;
    if (int(cinfo->output_components) != spp ||
        !image_geometry(cinfo->output_width, cinfo->output_height, uint64_t(spp), 1, rowBytes,
                        total))
        return false;
    if (out->target && (int(cinfo->output_width) != out->targetWidth ||
                        int(cinfo->output_height) != out->targetHeight || spp != out->targetSpp))
        return false;
    cap_library_memory(cinfo, total);
    if (!out->target)
        collect_icc(cinfo, out->icc);
    if (!jpeg_start_decompress(cinfo))
        return false;
    while (cinfo->output_scanline < cinfo->output_height) {
        JSAMPROW row;
        size_t at = out->pixels.size();
        if (out->target) {
            row = out->target + size_t(cinfo->output_scanline) * size_t(rowBytes);
        } else {
            out->pixels.resize(at + size_t(rowBytes));
            row = out->pixels.data() + at;
        }
        if (jpeg_read_scanlines(cinfo, &row, 1) != 1)
            return false;
        // Reserved once the file has shown real data, and not filled (see grow_rows).
        if (at == 0 && !out->target)
            out->pixels.reserve(size_t(total));
    }
    jpeg_finish_decompress(cinfo);
    out->width = int(cinfo->output_width);
    out->height = int(cinfo->output_height);
    out->bps = 8;
    out->spp = spp;
    return true;
}

bool jpeg_guarded(jpeg_decompress_struct *cinfo, JpegErrorManager *err, Decoded *out)
{
    if (setjmp(err->jpeglib_erreur))
        return false;
    return jpeg_decode_body(cinfo, out);
}

bool jpeg_create_guarded(jpeg_decompress_struct *cinfo, JpegErrorManager *err)
{
    if (setjmp(err->jpeglib_erreur))
        return false;
    jpeg_create_decompress(cinfo);
    return true;
}

// A decompressor that judges warnings by jpeg_data_lost and keeps to the scan cap, destroyed
// however the decode ends, exceptions included (destroying a zeroed or half-created object is
// a no-op in the library).
struct JpegDecompressor {
    jpeg_decompress_struct cinfo;
    JpegErrorManager err;
    jpeg_source_mgr src;
    jpeg_progress_mgr progress;
    JpegDecompressor()
    {
        std::memset(&cinfo, 0, sizeof cinfo);
        progress = {};
        cinfo.err = jpeg_error_init(&err);
        err.pub.emit_message = jpeg_emit;
    }
    JpegDecompressor(const JpegDecompressor &) = delete;
    JpegDecompressor &operator=(const JpegDecompressor &) = delete;
    ~JpegDecompressor() { jpeg_destroy_decompress(&cinfo); }
    bool create()
    {
        if (!jpeg_create_guarded(&cinfo, &err))
            return false;
        progress.progress_monitor = jpeg_scan_cap;
        cinfo.progress = &progress;
        return true;
    }
};

// The library part of jpeg_stream_whole: the components are decoded as stored, without colour
// conversion, a row at a time into the library's own row buffer.
bool jpeg_stream_body(jpeg_decompress_struct *cinfo, jpeg_source_mgr *src, const uint8_t *tables,
                      size_t tablesSize, const uint8_t *data, size_t size)
{
    if (tablesSize) {
        jpeg_memory_source(cinfo, src, tables, tablesSize, JpegDataEnd::Marker);
        if (jpeg_read_header(cinfo, FALSE) != JPEG_HEADER_TABLES_ONLY)
            return false;
    }
    jpeg_memory_source(cinfo, src, data, size, JpegDataEnd::Marker);
    if (jpeg_read_header(cinfo, TRUE) != JPEG_HEADER_OK)
        return false;
    cinfo->jpeg_color_space = cinfo->out_color_space = JCS_UNKNOWN;
    jpeg_calc_output_dimensions(cinfo);
    uint64_t rowBytes, total;
    if (!image_geometry(cinfo->output_width, cinfo->output_height,
                        uint64_t(cinfo->output_components), 1, rowBytes, total))
        return false;
    cap_library_memory(cinfo, total);
    if (!jpeg_start_decompress(cinfo))
        return false;
    JSAMPARRAY row = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE,
                                                 JDIMENSION(rowBytes), 1);
    while (cinfo->output_scanline < cinfo->output_height)
        if (jpeg_read_scanlines(cinfo, row, 1) != 1)
            return false;
    jpeg_finish_decompress(cinfo);
    return true;
}

bool jpeg_stream_guarded(JpegDecompressor *d, const uint8_t *tables, size_t tablesSize,
                         const uint8_t *data, size_t size)
{
    if (setjmp(d->err.jpeglib_erreur))
        return false;
    return jpeg_stream_body(&d->cinfo, &d->src, tables, tablesSize, data, size);
}

// Whether a JPEG stream (a TIFF strip or tile, its tables apart when tablesSize is not 0)
// decodes whole by the rules a standalone JPEG is judged by.
bool jpeg_stream_whole(const uint8_t *tables, size_t tablesSize, const uint8_t *data, size_t size)
{
    JpegDecompressor d;
    return d.create() && jpeg_stream_guarded(&d, tables, tablesSize, data, size);
}

// Reads a JPEG stream in order, from the start of a file through a buffer or from memory, and
// skips entropy-coded data by its 0xFF bytes. Past the end every read gives -1.
class JpegReader {
public:
    explicit JpegReader(std::FILE *f) : m_f(f), m_storage(size_t(64) << 10), m_buf(m_storage.data())
    {
    }
    JpegReader(const uint8_t *data, size_t size) : m_buf(data), m_end(size) {}
    int u8()
    {
        if (m_at == m_end && !fill())
            return -1;
        return m_buf[m_at++];
    }
    int u16()
    {
        const int hi = u8(), lo = u8();
        return hi < 0 || lo < 0 ? -1 : hi << 8 | lo;
    }
    uint64_t offset() const { return m_base + m_at; }
    // Skips n bytes (reads past the end then fail).
    bool skip(uint64_t n)
    {
        if (n <= m_end - m_at) {
            m_at += size_t(n);
            return true;
        }
        const uint64_t to = offset() + n;
        if (m_f && (to > uint64_t(LONG_MAX) || std::fseek(m_f, long(to), SEEK_SET) != 0))
            return false;
        m_base = to;
        m_at = m_end = 0;
        return true;
    }
    // The code of the next marker, past stray bytes (which the library skips too) and fill
    // bytes; -1 at the end.
    int next_marker()
    {
        int m = u8();
        while (m >= 0 && m != 0xFF)
            m = u8();
        while (m == 0xFF)
            m = u8();
        return m;
    }
    // The code of the marker after a scan's entropy-coded data (stuffed zeros, restart markers
    // and fill bytes are data), or -1 at the end; `bytes` gets the data's length, up to the
    // marker's first 0xFF or to the end.
    int marker_after_scan(uint64_t &bytes)
    {
        const uint64_t start = offset();
        for (;;) {
            const void *ff = std::memchr(m_buf + m_at, 0xFF, m_end - m_at);
            if (!ff) {
                m_at = m_end;
                if (!fill()) {
                    bytes = offset() - start;
                    return -1;
                }
                continue;
            }
            m_at = size_t(static_cast<const uint8_t *>(ff) - m_buf);
            const uint64_t at = offset();
            ++m_at;
            int m = u8();
            while (m == 0xFF)
                m = u8();
            if (m < 0 || (m != 0 && (m < 0xD0 || m > 0xD7))) {
                bytes = (m < 0 ? offset() : at) - start;
                return m;
            }
        }
    }

private:
    bool fill()
    {
        m_base += m_end;
        m_at = 0;
        m_end = m_f ? std::fread(m_storage.data(), 1, m_storage.size(), m_f) : 0;
        return m_end > 0;
    }
    std::FILE *m_f = nullptr;
    std::vector<uint8_t> m_storage; // the file's buffer
    const uint8_t *m_buf;
    size_t m_at = 0, m_end = 0;
    uint64_t m_base = 0; // stream offset of m_buf[0]
};

// A JPEG stream walked from its start to its end of image: the frame's geometry, the scans (how
// many, the components each codes, their entropy-coded bytes) and whether those bytes can hold
// what the scans spend at the least, by the rules check_pixel_data states. The file check and
// the decoder both walk this way.
PixelDataCheck jpeg_check(JpegReader &in, PixelLayout *layout)
{
    if (in.u8() != 0xFF || in.u8() != 0xD8)
        return PixelDataCheck::NotDecodable;
    int width = 0, height = 0, components = 0, hMax = 1, vMax = 1, scans = 0;
    bool arithmetic = false, progressive = false, underCoded = false;
    int ids[4] = {}, h[4] = {}, v[4] = {};
    bool coded[4] = {};
    uint64_t entropy = 0; // entropy-coded bytes of all scans
    // Blocks of component c, its samples rounded up to whole blocks.
    auto blocks = [&](int c) {
        const uint64_t cols = (uint64_t(width) * h[c] + hMax - 1) / hMax;
        const uint64_t rows = (uint64_t(height) * v[c] + vMax - 1) / vMax;
        return ((cols + 7) / 8) * ((rows + 7) / 8);
    };
    for (int m = in.next_marker();;) {
        if (m < 0 || m == 0xD9) {
            if (!components)
                return PixelDataCheck::NotDecodable;
            uint64_t all = 0;
            for (int c = 0; c < components; ++c)
                all += blocks(c);
            // A component no scan codes is left grey by the library: a cut or crafted file. A
            // height given later (DNL) promises nothing here.
            if (scans == 0 || std::count(coded, coded + components, false) > 0 ||
                (height > 0 &&
                 (underCoded || (arithmetic && !above_coded_byte_floor(entropy, all)))))
                return PixelDataCheck::Truncated;
            return PixelDataCheck::Ok;
        }
        if (m == 0x01 || (m >= 0xD0 && m <= 0xD8)) {
            m = in.next_marker(); // no length follows
            continue;
        }
        const int length = in.u16();
        if (length < 2)
            return PixelDataCheck::NotDecodable;
        const uint64_t end = in.offset() + uint64_t(length) - 2;
        if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) {
            if (components)
                return PixelDataCheck::NotDecodable; // a second frame
            arithmetic = m > 0xC8;
            progressive = (m & 3) == 2;
            const int precision = in.u8();
            height = in.u16();
            width = in.u16();
            components = in.u8();
            if (layout)
                *layout = {width, height, components, precision};
            if (precision != 8 || width < 1 || height < 0 || (components != 1 && components != 3) ||
                length != 8 + 3 * components)
                return PixelDataCheck::NotDecodable;
            for (int c = 0; c < components; ++c) {
                ids[c] = in.u8();
                const int hv = in.u8();
                in.u8();
                h[c] = hv >> 4;
                v[c] = hv & 15;
                if (hv < 0 || h[c] < 1 || h[c] > 4 || v[c] < 1 || v[c] > 4)
                    return PixelDataCheck::NotDecodable;
                hMax = std::max(hMax, h[c]);
                vMax = std::max(vMax, v[c]);
            }
            uint64_t rowBytes, total;
            if (height > 0 && !image_geometry(uint64_t(width), uint64_t(height),
                                              uint64_t(components), 1, rowBytes, total))
                return PixelDataCheck::TooLarge;
        } else if (m == 0xDA) {
            if (!components)
                return PixelDataCheck::NotDecodable;
            if (++scans > kMaxJpegScans)
                return PixelDataCheck::TooManyScans;
            const int inScan = in.u8();
            if (inScan < 1 || inScan > 4 || length != 6 + 2 * inScan)
                return inScan < 0 ? PixelDataCheck::Truncated : PixelDataCheck::NotDecodable;
            int header[2 * 4 + 3]; // component and tables for each, spectral band, bit position
            for (int k = 0; k < 2 * inScan + 3; ++k)
                if ((header[k] = in.u8()) < 0)
                    return PixelDataCheck::Truncated;
            int in_scan[4];
            uint64_t mcuBlocks = 0;
            for (int k = 0; k < inScan; ++k) {
                int c = 0;
                while (c < components && ids[c] != header[2 * k])
                    ++c;
                if (c == components || std::count(in_scan, in_scan + k, c) > 0)
                    return PixelDataCheck::NotDecodable;
                in_scan[k] = c;
                mcuBlocks += uint64_t(h[c]) * uint64_t(v[c]);
            }
            const int spectralStart = header[2 * inScan], approxHigh = header[2 * inScan + 2] >> 4;
            // A progressive component is coded once its DC is: AC bands may stay uncoded.
            for (int k = 0; k < inScan; ++k)
                coded[in_scan[k]] |= !progressive || (spectralStart == 0 && approxHigh == 0);
            uint64_t bytes = 0;
            m = in.marker_after_scan(bytes);
            entropy += bytes;
            // A Huffman-coded sequential or DC scan spends a bit at least on each block it codes:
            // a component's own blocks, or whole MCUs of each component in an interleaved scan.
            const uint64_t mcus = ((uint64_t(width) + 8 * hMax - 1) / (8 * hMax)) *
                                  ((uint64_t(height) + 8 * vMax - 1) / (8 * vMax));
            const uint64_t scanBlocks = inScan == 1 ? blocks(in_scan[0]) : mcus * mcuBlocks;
            if (!arithmetic && (!progressive || spectralStart == 0) && bytes < (scanBlocks + 7) / 8)
                underCoded = true;
            continue;
        }
        if (!in.skip(end - in.offset()))
            return PixelDataCheck::Truncated;
        m = in.next_marker();
    }
}

bool decode_jpeg(const uint8_t *data, size_t size, Decoded &out)
{
    // The header check first, for callers that did not make it: the decoder refuses what it
    // refuses, before anything is sized from the header.
    JpegReader walk(data, size);
    if (jpeg_check(walk, nullptr) != PixelDataCheck::Ok)
        return false;
    JpegDecompressor d;
    if (!d.create())
        return false;
    jpeg_memory_source(&d.cinfo, &d.src, data, size, JpegDataEnd::Marker);
    return jpeg_guarded(&d.cinfo, &d.err, &out);
}

bool is_tiff(const uint8_t *p, size_t n)
{
    return n >= 4 && ((p[0] == 'I' && p[1] == 'I' && (p[2] == 42 || p[2] == 43) && p[3] == 0) ||
                      (p[0] == 'M' && p[1] == 'M' && p[2] == 0 && (p[3] == 42 || p[3] == 43)));
}

bool is_jpeg(const uint8_t *p, size_t n)
{
    return n >= 3 && p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF;
}

} // namespace

BitmapPtr BitmapImageRep::create(int pixelsWide, int pixelsHigh, int bitsPerSample,
                                 int samplesPerPixel, bool hasAlpha, bool isPlanar,
                                 const std::string &colorSpaceName, int bytesPerRow,
                                 int bitsPerPixel)
{
    if (pixelsWide < 1 || pixelsHigh < 1 || (bitsPerSample != 8 && bitsPerSample != 16) ||
        samplesPerPixel < 1 || samplesPerPixel > 5 || isPlanar || bytesPerRow < 0)
        return nullptr;
    if (bitsPerPixel != 0 && bitsPerPixel != samplesPerPixel * bitsPerSample)
        return nullptr;
    uint64_t packed, total;
    if (!image_geometry(uint64_t(pixelsWide), uint64_t(pixelsHigh), uint64_t(samplesPerPixel),
                        uint64_t(bitsPerSample / 8), packed, total))
        return nullptr;
    uint64_t rowBytes = bytesPerRow == 0 ? packed : uint64_t(bytesPerRow);
    auto all = checked_mul(rowBytes, uint64_t(pixelsHigh));
    if (rowBytes < packed || !all || (total = *all) > kMaxBytes)
        return nullptr;
    try {
        BitmapPtr rep(new BitmapImageRep());
        rep->m_pixels.assign(size_t(total), 0);
        rep->m_width = pixelsWide;
        rep->m_height = pixelsHigh;
        rep->m_bps = bitsPerSample;
        rep->m_spp = samplesPerPixel;
        rep->m_bytesPerRow = int(rowBytes);
        rep->m_bitsPerPixel = samplesPerPixel * bitsPerSample;
        rep->m_hasAlpha = hasAlpha;
        rep->m_colorSpace = colorSpaceName;
        return rep;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

BitmapPtr BitmapImageRep::imageRepWithData(const DataPtr &data, bool withProfile)
{
    errno = 0;
    if (!data || !data->bytes())
        return nullptr;
    try {
        Decoded d;
        d.withProfile = withProfile;
        const uint8_t *p = data->bytes();
        size_t n = data->length();
        bool ok = is_tiff(p, n)   ? decode_tiff(p, n, d)
                  : is_jpeg(p, n) ? decode_jpeg(p, n, d)
                                  : false;
        // A library's failed allocation leaves ENOMEM; nothing else here sets errno.
        const bool outOfMemory = d.outOfMemory || errno == ENOMEM;
        errno = 0;
        if (!ok) {
            errno = outOfMemory ? ENOMEM : 0;
            return nullptr;
        }
        BitmapPtr rep(new BitmapImageRep());
        rep->m_pixels = std::move(d.pixels);
        rep->m_width = d.width;
        rep->m_height = d.height;
        rep->m_bps = d.bps;
        rep->m_spp = d.spp;
        rep->m_bytesPerRow = d.width * d.spp * (d.bps / 8);
        rep->m_bitsPerPixel = d.spp * d.bps;
        rep->m_colorSpace = d.spp == 1 ? kCalibratedWhiteColorSpace : kCalibratedRGBColorSpace;
        if (withProfile && !d.icc.empty()) {
            rep->m_icc = Data::copy(d.icc.data(), d.icc.size());
            if (!rep->m_icc)
                throw std::bad_alloc();
        }
        return rep;
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return nullptr;
    } catch (const std::length_error &) {
        errno = 0;
        return nullptr;
    }
}

bool decode_jpeg_into(const DataPtr &data, int width, int height, int spp, uint8_t *dst)
{
    if (!data || !data->bytes() || !dst || !is_jpeg(data->bytes(), data->length()))
        return false;
    try {
        Decoded d;
        d.target = dst;
        d.targetWidth = width;
        d.targetHeight = height;
        d.targetSpp = spp;
        return decode_jpeg(data->bytes(), data->length(), d);
    } catch (const std::bad_alloc &) {
        return false;
    }
}

PixelDataCheck check_pixel_data(const std::string &path, PixelLayout *layout)
{
    uint64_t size = 0;
    std::string why;
    FilePtr f = open_regular(path, size, &why);
    uint8_t head[4];
    if (!f || std::fread(head, 1, sizeof head, f.get()) != sizeof head)
        return PixelDataCheck::NotDecodable;
    try {
        if (is_jpeg(head, sizeof head)) {
            std::rewind(f.get());
            JpegReader in(f.get());
            return jpeg_check(in, layout);
        }
        if (!is_tiff(head, sizeof head))
            return PixelDataCheck::NotDecodable;
        f.reset();
        TiffMessages messages;
        TiffPtr tif = open_tiff(nullptr, path.c_str(), size, &messages);
        TiffLayout L;
        const PixelDataCheck checked =
            tif ? tiff_check(tif.get(), size, L, layout) : PixelDataCheck::NotDecodable;
        return messages.outOfMemory ? PixelDataCheck::OutOfMemory : checked;
    } catch (const std::bad_alloc &) {
        return PixelDataCheck::OutOfMemory;
    }
}

BitmapPtr BitmapImageRep::imageRepWithContentsOfFile(const std::string &path)
{
    return imageRepWithData(contents_at_path(path));
}

} // namespace platform
