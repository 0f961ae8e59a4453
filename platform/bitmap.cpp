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
#include <map>
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
    // With an expected layout, only a file whose headers give it is decoded (told before
    // anything is sized); with a target too, the pixels go there instead (packed rows of the
    // expected layout), and no profile is collected.
    const PixelLayout *expected = nullptr;
    uint8_t *target = nullptr;
};

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

uint64_t ceil_div(uint64_t a, uint64_t b)
{
    return a / b + (a % b != 0);
}

// Reads a JPEG stream in order, from memory or from a stretch of a file through the caller's
// buffer, and skips entropy-coded data by its 0xFF bytes. Offsets count from the stream's
// start. Past the end every read gives -1.
class JpegReader {
public:
    // length bytes of f from at (UINT64_MAX: to the file's end).
    JpegReader(std::FILE *f, uint64_t at, uint64_t length, std::vector<uint8_t> &buffer)
        : m_f(f), m_storage(buffer.data()), m_capacity(buffer.size()), m_buf(buffer.data()),
          m_origin(at), m_length(length)
    {
        if (at > uint64_t(LONG_MAX) || std::fseek(f, long(at), SEEK_SET) != 0)
            m_length = 0;
    }
    JpegReader(const uint8_t *data, size_t size) : m_buf(data), m_end(size), m_length(size) {}
    int u8()
    {
        if (m_at == m_end && !fill()) {
            m_ended = true;
            return -1;
        }
        return m_buf[m_at++];
    }
    // Whether a read or skip met the end.
    bool ended() const { return m_ended; }
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
        if (m_f && to < m_length &&
            (m_origin + to > uint64_t(LONG_MAX) || std::fseek(m_f, long(m_origin + to), SEEK_SET)))
            return false;
        m_ended |= to > m_length;
        m_base = to;
        m_at = m_end = 0;
        return true;
    }
    // The code of the next marker as libjpeg's marker reader finds it: bytes other than 0xFF are
    // skipped, and so are fill bytes and FF 00 (stuffed data outside a scan, garbage to it); -1
    // at the end.
    int next_marker()
    {
        for (;;) {
            int m = u8();
            while (m >= 0 && m != 0xFF)
                m = u8();
            while (m == 0xFF)
                m = u8();
            if (m != 0)
                return m;
        }
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
        m_at = m_end = 0;
        if (!m_f || m_base >= m_length)
            return false;
        m_end = std::fread(m_storage, 1, size_t(std::min<uint64_t>(m_capacity, m_length - m_base)),
                           m_f);
        return m_end > 0;
    }
    std::FILE *m_f = nullptr;
    uint8_t *m_storage = nullptr; // the file's buffer
    size_t m_capacity = 0;
    const uint8_t *m_buf;
    size_t m_at = 0, m_end = 0;
    uint64_t m_base = 0;                          // stream offset of m_buf[0]
    uint64_t m_origin = 0, m_length = UINT64_MAX; // the stretch of the file read
    bool m_ended = false;
};

// A scan as the walk of its stream found it: its components (frame indices, in scan order),
// spectral band and bit positions, and its entropy-coded data [begin, end) in stream offsets.
struct JpegScan {
    int comps = 0;
    int comp[4] = {};
    int Ss = 0, Se = 0, Ah = 0, Al = 0;
    uint64_t begin = 0, end = 0;
};

// A JPEG stream's frame and scans as its walk read them: libjpeg must read the same.
struct JpegWalk {
    int precision = 0, width = 0, height = 0, components = 0; // components 0: no frame read
    int ids[4] = {}, h[4] = {}, v[4] = {};
    bool progressive = false, arithmetic = false;
    std::vector<JpegScan> scans;
    uint64_t floor = 0; // entropy-coded bytes the coded-byte rules ask of the scans
};

bool is_frame_marker(int m)
{
    return m == 0xC0 || m == 0xC1 || m == 0xC2 || m == 0xC9 || m == 0xCA;
}

// Markers libjpeg's reader takes besides SOI, EOI, RST0-7 and TEM; any other stops it (reserved
// codes, the SOF types it does not decode).
bool read_by_libjpeg(int m)
{
    return is_frame_marker(m) || m == 0xC4 || m == 0xCC || (m >= 0xDA && m <= 0xDD) ||
           (m >= 0xE0 && m <= 0xEF) || m == 0xFE;
}

// Whether a table segment (DHT, DQT, DAC or DRI) of `length` bytes holds its tables as libjpeg
// reads them, which stops at any other; Truncated when the stream ends inside it. The reader is
// left inside the segment.
PixelDataCheck table_check(JpegReader &in, int marker, int length)
{
    int left = length - 2;
    bool ok = true;
    if (marker == 0xDD) { // a restart interval
        ok = left == 2;
    } else if (marker == 0xDB) { // quantisation tables: an index, 64 samples of 8 or 16 bits
        while (ok && left > 0) {
            const int index = in.u8();
            const int size = 1 + (index >> 4 ? 128 : 64);
            ok = index >= 0 && (index & 15) < 4 && left >= size && in.skip(uint64_t(size - 1));
            left -= size;
        }
    } else if (marker == 0xC4) { // Huffman tables: an index, 16 counts, the values
        while (ok && left > 16) {
            const int index = in.u8();
            int count = 0;
            for (int k = 0; k < 16; ++k)
                count += std::max(in.u8(), 0);
            left -= 17;
            ok = index >= 0 && (index & ~0x10) < 4 && count <= 256 && count <= left &&
                 in.skip(uint64_t(count));
            left -= count;
        }
        ok = ok && left == 0;
    } else { // arithmetic conditioning: index and value pairs, a DC table's lower bound first
        while (ok && left > 0) {
            const int index = in.u8(), value = in.u8();
            left -= 2;
            ok = index >= 0 && value >= 0 && index < 32 &&
                 (index >= 16 || (value & 15) <= value >> 4);
        }
        ok = ok && left == 0;
    }
    return in.ended() ? PixelDataCheck::Truncated
           : ok       ? PixelDataCheck::Ok
                      : PixelDataCheck::NotDecodable;
}

// Whether a progressive scan's band and bit positions are ones libjpeg decodes (it stops at any
// other): the DC alone or one component's band of AC coefficients, refined a bit at a time.
bool progression_valid(const JpegScan &s)
{
    const bool band = s.Ss == 0 ? s.Se == 0 : s.Ss <= s.Se && s.Se <= 63 && s.comps == 1;
    return band && (s.Ah == 0 || s.Al == s.Ah - 1) && s.Al <= 13;
}

// A JPEG stream walked from its start to its end of image as libjpeg's marker reader walks it:
// the frame, the scans (how many, the components and band each codes, their entropy-coded
// bytes) and whether those bytes can hold what the scans spend at the least, by the rules
// check_pixel_data states. What libjpeg's reader refuses (a second SOI or frame, markers and
// frame types it does not take, tables it cannot read, a second scan of a file whose first scan
// codes every component sequentially, scans naming components it does not find) is
// NotDecodable. The file check and the decoders walk this way; walked gets what was read.
PixelDataCheck jpeg_check(JpegReader &in, PixelLayout *layout, JpegWalk *walked = nullptr)
{
    if (in.u8() != 0xFF || in.u8() != 0xD8)
        return PixelDataCheck::NotDecodable;
    JpegWalk local;
    JpegWalk &w = walked ? *walked : local;
    int hMax = 1, vMax = 1;
    bool underCoded = false, dcCoded[4] = {};
    int8_t coded[4][64]; // the lowest bit of each coefficient coded so far, -1 for none
    std::memset(coded, -1, sizeof coded);
    uint64_t entropy = 0; // entropy-coded bytes of all scans
    // Blocks of component c, its samples rounded up to whole blocks.
    auto blocks = [&](int c) {
        const uint64_t cols = (uint64_t(w.width) * w.h[c] + hMax - 1) / hMax;
        const uint64_t rows = (uint64_t(w.height) * w.v[c] + vMax - 1) / vMax;
        return ((cols + 7) / 8) * ((rows + 7) / 8);
    };
    int m = in.next_marker();
    while (m >= 0 && m != 0xD9) {
        if (m == 0x01 || (m >= 0xD0 && m <= 0xD7)) {
            m = in.next_marker(); // no length follows
            continue;
        }
        if (!read_by_libjpeg(m))
            return PixelDataCheck::NotDecodable;
        const int length = in.u16();
        if (length < 2)
            return PixelDataCheck::NotDecodable;
        const uint64_t end = in.offset() + uint64_t(length) - 2;
        if (is_frame_marker(m)) {
            if (w.components)
                return PixelDataCheck::NotDecodable; // a second frame
            w.arithmetic = m >= 0xC9;
            w.progressive = m == 0xC2 || m == 0xCA;
            w.precision = in.u8();
            w.height = in.u16();
            w.width = in.u16();
            w.components = in.u8();
            if (layout)
                *layout = {w.width, w.height, w.components, w.precision};
            // A height given later (DNL) is an empty image to libjpeg.
            if (w.precision != 8 || w.width < 1 || w.height < 1 ||
                (w.components != 1 && w.components != 3) || length != 8 + 3 * w.components)
                return PixelDataCheck::NotDecodable;
            for (int c = 0; c < w.components; ++c) {
                w.ids[c] = in.u8();
                const int hv = in.u8();
                in.u8();
                w.h[c] = hv >> 4;
                w.v[c] = hv & 15;
                if (hv < 0 || w.h[c] < 1 || w.h[c] > 4 || w.v[c] < 1 || w.v[c] > 4)
                    return PixelDataCheck::NotDecodable;
                hMax = std::max(hMax, w.h[c]);
                vMax = std::max(vMax, w.v[c]);
            }
            uint64_t rowBytes, total;
            if (!image_geometry(uint64_t(w.width), uint64_t(w.height), uint64_t(w.components), 1,
                                rowBytes, total))
                return PixelDataCheck::TooLarge;
        } else if (m == 0xDA) {
            // libjpeg expects the end of image after a first scan that codes every component of
            // a sequential frame.
            if (!w.components ||
                (!w.progressive && !w.scans.empty() && w.scans[0].comps == w.components))
                return PixelDataCheck::NotDecodable;
            if (w.scans.size() >= size_t(kMaxJpegScans))
                return PixelDataCheck::TooManyScans;
            JpegScan s;
            s.comps = in.u8();
            if (s.comps < 1 || s.comps > 4 || length != 6 + 2 * s.comps)
                return s.comps < 0 ? PixelDataCheck::Truncated : PixelDataCheck::NotDecodable;
            int header[2 * 4 + 3]; // component and tables for each, spectral band, bit positions
            for (int k = 0; k < 2 * s.comps + 3; ++k)
                if ((header[k] = in.u8()) < 0)
                    return PixelDataCheck::Truncated;
            // libjpeg takes the k-th component of a scan among the frame's k-th and later ones.
            for (int k = 0; k < s.comps; ++k) {
                int c = k;
                while (c < w.components && w.ids[c] != header[2 * k])
                    ++c;
                if (c == w.components)
                    return PixelDataCheck::NotDecodable;
                s.comp[k] = c;
            }
            s.Ss = header[2 * s.comps];
            s.Se = header[2 * s.comps + 1];
            s.Ah = header[2 * s.comps + 2] >> 4;
            s.Al = header[2 * s.comps + 2] & 15;
            if (w.progressive && !progression_valid(s))
                return PixelDataCheck::NotDecodable;
            // A sequential scan codes its components whole (its band and bits do not count); a
            // progressive component is coded once its DC is, its band to the scan's low bit.
            for (int k = 0; k < s.comps; ++k) {
                const int c = s.comp[k];
                dcCoded[c] |= !w.progressive || (s.Ss == 0 && s.Ah == 0);
                for (int i = w.progressive ? s.Ss : 0; i <= (w.progressive ? s.Se : 63); ++i)
                    coded[c][i] = int8_t(w.progressive ? s.Al : 0);
            }
            s.begin = in.offset();
            uint64_t bytes = 0;
            m = in.marker_after_scan(bytes);
            s.end = s.begin + bytes;
            entropy += bytes;
            // A Huffman-coded sequential or DC scan spends a bit at least on each block it codes:
            // a component's own blocks, or whole MCUs of each component in an interleaved scan.
            uint64_t mcuBlocks = 0;
            for (int k = 0; k < s.comps; ++k)
                mcuBlocks += uint64_t(w.h[s.comp[k]]) * uint64_t(w.v[s.comp[k]]);
            const uint64_t mcus = ((uint64_t(w.width) + 8 * hMax - 1) / (8 * hMax)) *
                                  ((uint64_t(w.height) + 8 * vMax - 1) / (8 * vMax));
            const uint64_t scanBlocks = s.comps == 1 ? blocks(s.comp[0]) : mcus * mcuBlocks;
            if (!w.arithmetic && (!w.progressive || s.Ss == 0)) {
                w.floor += ceil_div(scanBlocks, 8);
                underCoded |= bytes < ceil_div(scanBlocks, 8);
            }
            w.scans.push_back(s);
            continue;
        } else if (m == 0xC4 || m == 0xCC || m == 0xDB || m == 0xDD) {
            if (PixelDataCheck tables = table_check(in, m, length); tables != PixelDataCheck::Ok)
                return tables;
        }
        if (in.offset() > end || !in.skip(end - in.offset()))
            return PixelDataCheck::Truncated;
        m = in.next_marker();
    }
    if (!w.components)
        return PixelDataCheck::NotDecodable;
    uint64_t all = 0;
    for (int c = 0; c < w.components; ++c)
        all += blocks(c);
    if (w.arithmetic)
        w.floor = ceil_div(all, kBlocksPerCodedByte);
    // A stream that ends without its end of image before every coefficient is coded to its last
    // bit is cut between scans. A component no scan codes is left grey by the library: a cut or
    // crafted file.
    const bool ended = m == 0xD9 || std::all_of(&coded[0][0], &coded[0][0] + 64 * w.components,
                                                [](int8_t bit) { return bit == 0; });
    if (w.scans.empty() || std::count(dcCoded, dcCoded + w.components, false) > 0 || !ended ||
        underCoded || (w.arithmetic && entropy < w.floor))
        return PixelDataCheck::Truncated;
    return PixelDataCheck::Ok;
}

// Whether a libjpeg warning tells of pixel data lost. The library warns of damaged data and
// goes on: it skips bytes before a marker, resynchronises at the next restart marker, fills the
// blocks after a marker met too soon with zeros. Damage found while a scan still has rows (iMCU
// rows) to decode loses pixels; after its last row (bytes before the next marker or the end of
// image) it loses none. The warnings on a scan's progression come as the scan starts, all its
// rows ahead (input_iMCU_row still tells the previous scan's end). The Huffman decoder judges a
// premature end of the data itself: it warns (JWRN_HIT_MARKER) only when it needs bits the data
// no longer holds (it reads ahead, and so meets the end of a whole scan without an end marker
// while still decoding its last row). The end of the data met before every coefficient is coded
// to its last bit (coef_bits, set as each scan starts) is a cut between scans, whatever rows
// remain. The arithmetic decoder is held by its source (JpegScanSource). A sequential scan's
// band and bits written otherwise than 0 to 63 and 0 (JWRN_NOT_SEQUENTIAL) are not read.
// Header warnings (JFIF version, Adobe transform, bytes skipped before a marker) are not about
// pixels.
bool jpeg_data_lost(j_common_ptr common)
{
    if (!common->is_decompressor)
        return false;
    const auto *cinfo = reinterpret_cast<j_decompress_ptr>(common);
    const bool rowsAhead = cinfo->input_iMCU_row < cinfo->total_iMCU_rows;
    switch (common->err->msg_code) {
    case JWRN_BOGUS_PROGRESSION:
        return true;
    case JWRN_JPEG_EOF:
        if (cinfo->progressive_mode && cinfo->coef_bits)
            for (int c = 0; c < cinfo->num_components; ++c)
                for (int k = 0; k < DCTSIZE2; ++k)
                    if (cinfo->coef_bits[c][k] != 0)
                        return true;
        return false;
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

// Stops a decode that reads otherwise than its walk (any code but the library's out of memory).
void jpeg_refuse(j_common_ptr cinfo)
{
    ERREXIT(cinfo, JERR_NOTIMPL);
}

// Bytes of zeros libjpeg's arithmetic decoder may read past the end of a scan's data. It takes
// a marker met there as zero bits without a word, as its format asks (an encoder leaves out the
// zero bytes that end its data): data cut short and closed by any marker decodes to the end from
// zeros. Measured, whole scans read past their end the bytes the decoder reads ahead (3 at the
// most) and the zeros left out where a scan ends flat: a fraction of a bit a block (41 bytes
// for 4.5 million blocks of one colour), and up to 23 bytes as the statistics settle into the
// flat stretch (the 14 test photos at full, quarter and eighth size, whole, blurred, and flat
// over their top half or their last 30 or 95 %, at quality 10 and 90, sequential and
// progressive, with and without restart markers), so: this slack and a byte for every
// kBlocksPerCodedByte blocks left in the scan. A refinement scan of the DC codes a bit a block
// at a fixed probability, zeros where a stretch is flat: there a byte for every 8 blocks left,
// what the whole stretch can take. Cut data reads some 0.8 zero bytes for each byte lost: in
// the 14 test photos arithmetic-coded (sequential, progressive, with restart markers) every cut
// 88 bytes or more before the end of the last scan's data is caught, none further than 80 bytes
// is missed.
constexpr uint64_t kZeroSlack = 64;

uint64_t zeros_allowed(j_decompress_ptr cinfo)
{
    const jpeg_component_info *first = cinfo->cur_comp_info[0];
    const uint64_t perRow = cinfo->comps_in_scan == 1
                                ? uint64_t(first->width_in_blocks) * uint64_t(first->v_samp_factor)
                                : uint64_t(cinfo->MCUs_per_row) * uint64_t(cinfo->blocks_in_MCU);
    const uint64_t left = uint64_t(cinfo->total_iMCU_rows - cinfo->input_iMCU_row) * perRow;
    const bool bitPerBlock = cinfo->progressive_mode && cinfo->Ss == 0 && cinfo->Ah > 0;
    return kZeroSlack + ceil_div(left, bitPerBlock ? 8 : kBlocksPerCodedByte);
}

// The source of an arithmetic-coded stream: the bytes up to the end of each scan's data as the
// walk found it (see kZeroSlack), then zeros, counted, while that scan still has rows to decode;
// the bytes after it once it is done.
struct JpegScanSource {
    jpeg_source_mgr pub; // first: the library sees only this
    const uint8_t *data = nullptr;
    size_t size = 0;
    const std::vector<JpegScan> *scans = nullptr;
    size_t bound = 0;                // the scan whose data's end ends the bytes handed
    uint64_t zeros = 0, allowed = 0; // past that end
};

boolean scan_source_fill(j_decompress_ptr cinfo)
{
    static const JOCTET zero = 0;
    auto *s = reinterpret_cast<JpegScanSource *>(cinfo->src);
    while (s->bound < s->scans->size()) {
        if (cinfo->input_scan_number == int(s->bound) + 1 &&
            cinfo->input_iMCU_row < cinfo->total_iMCU_rows) {
            if (s->zeros == 0)
                s->allowed = zeros_allowed(cinfo);
            if (++s->zeros > s->allowed)
                ERREXIT(cinfo, JERR_INPUT_EOF);
            s->pub.next_input_byte = &zero;
            s->pub.bytes_in_buffer = 1;
            return TRUE;
        }
        const uint64_t from = std::min<uint64_t>((*s->scans)[s->bound].end, s->size);
        s->zeros = 0;
        ++s->bound;
        const uint64_t to = s->bound < s->scans->size()
                                ? std::min<uint64_t>((*s->scans)[s->bound].end, s->size)
                                : s->size;
        if (to > from) {
            s->pub.next_input_byte = s->data + from;
            s->pub.bytes_in_buffer = size_t(to - from);
            return TRUE;
        }
    }
    return jpeg_end_of_data(cinfo);
}

void scan_source_init(j_decompress_ptr) {}
void scan_source_term(j_decompress_ptr) {}

// A skip past the end of the data counts as running out of bytes.
void scan_source_skip(j_decompress_ptr cinfo, long count)
{
    auto *s = reinterpret_cast<JpegScanSource *>(cinfo->src);
    while (count > 0) {
        if (size_t(count) <= s->pub.bytes_in_buffer) {
            s->pub.next_input_byte += count;
            s->pub.bytes_in_buffer -= size_t(count);
            return;
        }
        count -= long(s->pub.bytes_in_buffer);
        s->pub.bytes_in_buffer = 0;
        const bool last = s->bound >= s->scans->size();
        scan_source_fill(cinfo);
        if (last)
            return;
    }
}

void jpeg_scan_source(jpeg_decompress_struct *cinfo, JpegScanSource *s, const uint8_t *data,
                      size_t size, const std::vector<JpegScan> &scans)
{
    s->data = data;
    s->size = size;
    s->scans = &scans;
    s->bound = 0;
    s->zeros = s->allowed = 0;
    s->pub.next_input_byte = data;
    s->pub.bytes_in_buffer = scans.empty() ? size : size_t(std::min<uint64_t>(scans[0].end, size));
    s->pub.init_source = scan_source_init;
    s->pub.fill_input_buffer = scan_source_fill;
    s->pub.skip_input_data = scan_source_skip;
    s->pub.resync_to_restart = jpeg_resync_to_restart;
    s->pub.term_source = scan_source_term;
    cinfo->src = &s->pub;
}

// Tests only (set_jpeg_walk_for_testing).
DataPtr g_walkForTesting;

// A decompressor that judges warnings by jpeg_data_lost, keeps to the scan cap and reads as
// the walk of its stream did, destroyed however the decode ends, exceptions included
// (destroying a zeroed or half-created object is a no-op in the library).
struct JpegDecompressor {
    jpeg_decompress_struct cinfo;
    JpegErrorManager err;
    JpegScanSource src;
    jpeg_progress_mgr progress;
    const uint8_t *data; // the stream the walk's offsets count in
    const JpegWalk *walk;
    int scansMatched = 0;
    JpegDecompressor(const uint8_t *stream, const JpegWalk *walked) : data(stream), walk(walked)
    {
        std::memset(&cinfo, 0, sizeof cinfo);
        progress = {};
        cinfo.err = jpeg_error_init(&err);
        cinfo.client_data = this;
        err.pub.emit_message = jpeg_emit;
    }
    JpegDecompressor(const JpegDecompressor &) = delete;
    JpegDecompressor &operator=(const JpegDecompressor &) = delete;
    ~JpegDecompressor() { jpeg_destroy_decompress(&cinfo); }
};

// Whether the frame libjpeg read is the walk's: size, precision, components and their sampling,
// process and coding.
bool frame_as_walked(const jpeg_decompress_struct &c, const JpegWalk &w)
{
    if (int(c.image_width) != w.width || int(c.image_height) != w.height ||
        c.data_precision != w.precision || c.num_components != w.components ||
        bool(c.progressive_mode) != w.progressive || bool(c.arith_code) != w.arithmetic)
        return false;
    for (int k = 0; k < w.components; ++k)
        if (c.comp_info[k].component_id != w.ids[k] || c.comp_info[k].h_samp_factor != w.h[k] ||
            c.comp_info[k].v_samp_factor != w.v[k])
            return false;
    return true;
}

// Whether the scan libjpeg is at is the walk's scan of that number, its data starting where the
// walk found it. Told once a scan, before any of its data is read: the header reading stops at
// the first scan's data, and a later scan is met at a progress call, its marker just read.
bool scan_as_walked(JpegDecompressor &d)
{
    const jpeg_decompress_struct &c = d.cinfo;
    const int n = c.input_scan_number;
    if (n == d.scansMatched)
        return true;
    d.scansMatched = n;
    if (n < 1 || size_t(n) > d.walk->scans.size())
        return false;
    const JpegScan &s = d.walk->scans[size_t(n) - 1];
    if (c.comps_in_scan != s.comps || c.Ss != s.Ss || c.Se != s.Se || c.Ah != s.Ah ||
        c.Al != s.Al || s.begin > d.src.size || c.src->next_input_byte != d.data + s.begin)
        return false;
    for (int k = 0; k < s.comps; ++k)
        if (c.cur_comp_info[k]->component_index != s.comp[k])
            return false;
    return true;
}

// Called before each step of the input: a file is refused as its scan count passes the cap, or
// as a scan starts that is not the walk's.
void jpeg_monitor(j_common_ptr common)
{
    const int scan = reinterpret_cast<j_decompress_ptr>(common)->input_scan_number;
    if (scan > kMaxJpegScans)
        ERREXIT1(common, JERR_BAD_PROG_SCRIPT, scan);
    if (!scan_as_walked(*static_cast<JpegDecompressor *>(common->client_data)))
        jpeg_refuse(common);
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
// lives in this frame, and the output vector belongs to the caller. The frame and the first scan
// are compared with the walk's before anything is sized from them. Without out, the stream is
// only judged: its components are decoded as stored, without colour conversion, a row at a time
// into the library's own row buffer.
DecodeOutcome jpeg_decode_body(JpegDecompressor *d, const uint8_t *tables, size_t tablesSize,
                               size_t size, Decoded *out)
{
    j_decompress_ptr cinfo = &d->cinfo;
    jpeg_create_decompress(cinfo);
    d->progress.progress_monitor = jpeg_monitor;
    cinfo->progress = &d->progress;
    if (tablesSize) {
        jpeg_memory_source(cinfo, &d->src.pub, tables, tablesSize, JpegDataEnd::Marker);
        if (jpeg_read_header(cinfo, FALSE) != JPEG_HEADER_TABLES_ONLY)
            return DecodeOutcome::Damaged;
    }
    if (d->walk->arithmetic)
        jpeg_scan_source(cinfo, &d->src, d->data, size, d->walk->scans);
    else
        jpeg_memory_source(cinfo, &d->src.pub, d->data, size, JpegDataEnd::Marker);
    d->src.data = d->data;
    d->src.size = size;
    // The profile's APP2 segments are kept only for a bitmap that carries it.
    if (out && !out->expected)
        jpeg_save_markers(cinfo, JPEG_APP0 + 2, 0xFFFF);
    if (jpeg_read_header(cinfo, TRUE) != JPEG_HEADER_OK || !frame_as_walked(*cinfo, *d->walk) ||
        !scan_as_walked(*d))
        return DecodeOutcome::Damaged;
    int spp = 0;
    if (!out) {
        cinfo->jpeg_color_space = cinfo->out_color_space = JCS_UNKNOWN;
    } else if (cinfo->jpeg_color_space == JCS_GRAYSCALE) {
        cinfo->out_color_space = JCS_GRAYSCALE;
        spp = 1;
    } else if (cinfo->jpeg_color_space == JCS_RGB || cinfo->jpeg_color_space == JCS_YCbCr) {
        cinfo->out_color_space = JCS_RGB;
        spp = 3;
    } else {
        return DecodeOutcome::OtherLayout; // CMYK, YCCK and unknown spaces
    }
    cinfo->scale_num = 1;
    cinfo->scale_denom = 1;
    jpeg_calc_output_dimensions(cinfo);
    uint64_t rowBytes, total;
    if ((out && int(cinfo->output_components) != spp) ||
        !image_geometry(cinfo->output_width, cinfo->output_height,
                        uint64_t(cinfo->output_components), 1, rowBytes, total))
        return DecodeOutcome::Damaged;
    // The expected layout was held against the walk's frame (decode_jpeg_stream), which is
    // libjpeg's (frame_as_walked).
    cap_library_memory(cinfo, total);
    if (out && !out->expected)
        collect_icc(cinfo, out->icc);
    if (!jpeg_start_decompress(cinfo))
        return DecodeOutcome::Damaged;
    if (!out) {
        JSAMPARRAY row = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo),
                                                     JPOOL_IMAGE, JDIMENSION(rowBytes), 1);
        while (cinfo->output_scanline < cinfo->output_height)
            if (jpeg_read_scanlines(cinfo, row, 1) != 1)
                return DecodeOutcome::Damaged;
        jpeg_finish_decompress(cinfo);
        return DecodeOutcome::Ok;
    }
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
            return DecodeOutcome::Damaged;
        // Reserved once the file has shown real data, and not filled (see grow_rows).
        if (at == 0 && !out->target)
            out->pixels.reserve(size_t(total));
    }
    jpeg_finish_decompress(cinfo);
    out->width = int(cinfo->output_width);
    out->height = int(cinfo->output_height);
    out->bps = 8;
    out->spp = spp;
    return DecodeOutcome::Ok;
}

DecodeOutcome jpeg_guarded(JpegDecompressor *d, const uint8_t *tables, size_t tablesSize,
                           size_t size, Decoded *out)
{
    if (setjmp(d->err.jpeglib_erreur))
        return d->err.pub.msg_code == JERR_OUT_OF_MEMORY ? DecodeOutcome::OutOfMemory
                                                         : DecodeOutcome::Damaged;
    return jpeg_decode_body(d, tables, tablesSize, size, out);
}

// Decodes a JPEG stream held in memory (its tables apart when tablesSize is not 0) as its walk
// reads it: the stream is walked first and refused by the walk's rules before anything is sized
// from it, its frame told from out->expected from the walk's header, and libjpeg held to the
// walk's frame and scans. Without out, the stream is only judged (a TIFF strip or tile).
DecodeOutcome decode_jpeg_stream(const uint8_t *tables, size_t tablesSize, const uint8_t *data,
                                 size_t size, Decoded *out)
{
    JpegWalk walk;
    const DataPtr walked = g_walkForTesting;
    JpegReader in(walked ? walked->bytes() : data, walked ? walked->length() : size);
    const PixelDataCheck check = jpeg_check(in, nullptr, &walk);
    if (out && out->expected && walk.components) {
        if (walk.width != out->expected->width || walk.height != out->expected->height)
            return DecodeOutcome::OtherSize;
        if (walk.components != out->expected->spp || walk.precision != out->expected->bits)
            return DecodeOutcome::OtherLayout;
    }
    if (check != PixelDataCheck::Ok)
        return DecodeOutcome::Damaged;
    JpegDecompressor d(data, &walk);
    return jpeg_guarded(&d, tables, tablesSize, size, out);
}

// Whether a JPEG stream (a TIFF strip or tile, its tables apart when tablesSize is not 0)
// decodes whole by the rules a standalone JPEG is judged by.
bool jpeg_stream_whole(const uint8_t *tables, size_t tablesSize, const uint8_t *data, size_t size)
{
    return decode_jpeg_stream(tables, tablesSize, data, size, nullptr) == DecodeOutcome::Ok;
}

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
    bool judgeEvery = false;      // every strip or tile is judged, warned or not
    bool outOfMemory = false;     // an allocation failed (a tag it fails for is dropped quietly)
    uint64_t judged = UINT64_MAX; // the last strip or tile judged
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
//   old JPEG  4096      a Huffman-coded 8 x 8 block costs a bit at the least: 1365 bytes a
//                       byte for 4 x 4 subsampled YCbCr, 512 for grey (measured 192 at quality
//                       1). The strips of the old-style codec are not whole JPEG streams.
//   JPEG     (4096)     taken, but each strip or tile is a JPEG stream, held instead to the
//                       rules of a standalone file (jpeg_chunks_check): a bit a block for each
//                       Huffman-coded sequential or DC scan, and a byte for 4096 blocks of an
//                       arithmetic-coded frame, which has no floor of its own (152520 measured
//                       for a flat 4096 x 4096 grey strip): such a strip of a flat frame is
//                       refused as too short, as a standalone file is (libtiff writes Huffman
//                       coding only).
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

// The bytes the ranges [begin, end) cover, each counted once however many ranges share it.
uint64_t bytes_covered(std::vector<std::pair<uint64_t, uint64_t>> &ranges)
{
    std::sort(ranges.begin(), ranges.end());
    uint64_t held = 0, covered = 0; // covered: the end of the bytes counted so far
    for (const auto &[begin, end] : ranges)
        if (end > covered) {
            held += end - std::max(begin, covered);
            covered = end;
        }
    return held;
}

// Where the strips or tiles of a TIFF are read from: the file in memory, or open.
struct TiffBytes {
    const uint8_t *data = nullptr;
    std::FILE *file = nullptr;
    uint64_t size = 0;
};

// The most bytes the walks of a TIFF's JPEG strips or tiles may read, in times the file's
// length: strips apart read it once, and a stream several strips hold is walked once; only
// streams laid over each other from other offsets read more.
constexpr uint64_t kStripWalks = 4;

// The strips or tiles (of the planes read) of a JPEG-compressed TIFF are JPEG streams, walked as
// standalone files are (jpeg_check): each is whole by their rules, its frame is the strip or tile
// the tags promise (the width, the rows, the samples of a pixel or of a plane; a last strip may
// keep the full strip's rows, as libtiff reads it), and the entropy-coded bytes of all streams,
// each byte of the file counted once however many streams share it, hold what the rules ask of
// all of them (nothing outside the scans counts). arithmetic tells whether a stream is
// arithmetic-coded.
PixelDataCheck jpeg_chunks_check(TIFF *tif, const TiffLayout &L, const TiffBytes &bytes,
                                 bool &arithmetic)
{
    uint64_t *offsets = nullptr, *counts = nullptr;
    const uint64_t chunks = chunk_table(tif, offsets, counts);
    const uint64_t perPlane = L.separate ? chunks / L.spp : chunks;
    const bool tiled = TIFFIsTiled(tif);
    uint32_t tileWidth = 0, rows = 0;
    if (tiled) {
        TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tileWidth);
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &rows);
    } else {
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rows);
        rows = std::min(rows, L.height);
    }
    if (perPlane == 0)
        return PixelDataCheck::Truncated;
    const uint64_t width = tiled ? tileWidth : L.width;
    const int samples = L.separate ? 1 : L.spp;
    // What a stream's walk found, kept for the strips that share it.
    struct Walked {
        PixelDataCheck check;
        int width, height, components;
        uint64_t floor;
    };
    std::map<std::pair<uint64_t, uint64_t>, Walked> walks; // by offset and length
    std::vector<uint8_t> buffer(bytes.file ? size_t(64) << 10 : 0);
    std::vector<std::pair<uint64_t, uint64_t>> ranges; // the scans' data, [begin, end)
    uint64_t floor = 0, walked = 0;
    for (uint64_t i = 0; i < perPlane * uint64_t(used_planes(L)); ++i) {
        if (offsets[i] >= bytes.size)
            return PixelDataCheck::Truncated;
        const uint64_t length = std::min(counts[i], bytes.size - offsets[i]);
        auto [at, fresh] = walks.try_emplace({offsets[i], length});
        Walked &w = at->second;
        if (fresh) {
            JpegReader in = bytes.file ? JpegReader(bytes.file, offsets[i], length, buffer)
                                       : JpegReader(bytes.data + offsets[i], size_t(length));
            JpegWalk walk;
            w = {jpeg_check(in, nullptr, &walk), walk.width, walk.height, walk.components,
                 walk.floor};
            arithmetic |= walk.arithmetic;
            for (const JpegScan &scan : walk.scans)
                ranges.emplace_back(offsets[i] + scan.begin, offsets[i] + scan.end);
            if ((walked += in.offset()) > kStripWalks * bytes.size)
                return PixelDataCheck::NotDecodable;
        }
        const uint64_t top = (i % perPlane) * rows; // the first row of a strip
        const uint64_t high = tiled ? rows : std::min<uint64_t>(rows, L.height - top);
        const bool lastStrip = !tiled && top + rows >= L.height;
        if (w.components &&
            (w.components != samples || uint64_t(w.width) != width ||
             (uint64_t(w.height) != high && !(lastStrip && uint64_t(w.height) == rows))))
            return PixelDataCheck::NotDecodable;
        if (w.check != PixelDataCheck::Ok)
            return w.check;
        floor += w.floor;
    }
    return bytes_covered(ranges) >= floor ? PixelDataCheck::Ok : PixelDataCheck::Truncated;
}

// The pixel data the header promises must be in the file before any buffer is sized from the
// header: the strips or tiles of the planes read hold, inside the file, the bytes of every row
// (uncompressed) or enough to expand to them (compressed, see codec_expansion; JPEG streams by
// jpeg_chunks_check, which sets arithmetic).
PixelDataCheck pixel_data_backed(TIFF *tif, const TiffLayout &L, const TiffBytes &bytes,
                                 bool &arithmetic)
{
    if (L.compression == COMPRESSION_JPEG)
        return jpeg_chunks_check(tif, L, bytes, arithmetic);
    uint64_t *offsets = nullptr, *counts = nullptr;
    const uint64_t chunks = chunk_table(tif, offsets, counts);
    const uint64_t perPlane = L.separate ? chunks / L.spp : chunks;
    if (perPlane == 0)
        return PixelDataCheck::Truncated;
    // The bytes of the file the chunks hold, each counted once however many chunks share it; a
    // count that passes the end is cut to the file, as libtiff reads it.
    const uint64_t used = perPlane * uint64_t(used_planes(L));
    std::vector<std::pair<uint64_t, uint64_t>> ranges; // [begin, end)
    ranges.reserve(size_t(used));
    for (uint64_t i = 0; i < used; ++i)
        if (offsets[i] < bytes.size && counts[i] > 0)
            ranges.emplace_back(offsets[i],
                                offsets[i] + std::min(counts[i], bytes.size - offsets[i]));
    const uint64_t held = bytes_covered(ranges);
    // Bytes of raw samples the planes read decode to.
    const uint64_t rawPixel = (L.separate ? 1 : uint64_t(L.spp)) * (L.bps / 8);
    auto raw = checked_product(
        {int64_t(L.width), int64_t(L.height), int64_t(rawPixel), int64_t(used_planes(L))});
    const uint64_t expansion = codec_expansion(L.compression);
    return raw && expansion && held >= ceil_div(*raw, expansion) ? PixelDataCheck::Ok
                                                                 : PixelDataCheck::Truncated;
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

// Whether the strip or tile `chunk` just read lost no data. libtiff's JPEG codec passes libjpeg's
// warnings on as text alone, and only the first of each strip or tile (libjpeg's default
// emit_message): the first may be harmless, the end of a whole strip without its end marker met
// while its last row decodes (the Huffman decoder reads ahead), and hide the damage that
// follows, and a strip of one iMCU row is all decoded at its first row's read. So the row read
// when a message arrives tells only which strip or tile it is about, and that one is decoded
// again by the rules a standalone JPEG is judged by (decode_jpeg_stream); only when it loses
// data does the read fail. An arithmetic-coded stream cut short ends without a word to libtiff
// (see kZeroSlack): each of a file that has one is decoded again. The old-style codec's strips
// are not whole JPEG streams: any message of its fails.
bool chunk_data_whole(TIFF *tif, const MemoryFile &file, TiffMessages &said, uint32_t chunk)
{
    if (said.oldJpeg)
        return false;
    if (!said.jpegWarned && !said.judgeEvery)
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

// What the header of an open TIFF promises, checked as the decoder checks it; arithmetic tells
// whether a JPEG strip or tile is arithmetic-coded. The layout is filled once the header is
// one the decoder takes.
PixelDataCheck tiff_check(TIFF *tif, const TiffBytes &bytes, TiffLayout &L, PixelLayout *layout,
                          bool &arithmetic)
{
    if (!tiff_layout(tif, L))
        return PixelDataCheck::NotDecodable;
    if (layout)
        *layout = {int(std::min<uint32_t>(L.width, INT_MAX)),
                   int(std::min<uint32_t>(L.height, INT_MAX)),
                   L.outSpp,
                   L.outBps,
                   tiff_tag_bytes(tif),
                   tiff_read_bytes(tif, bytes.size)};
    uint64_t rowBytes, total;
    if (!image_geometry(L.width, L.height, uint64_t(L.outSpp), uint64_t(L.outBps / 8), rowBytes,
                        total))
        return PixelDataCheck::TooLarge;
    if (codec_expansion(L.compression) == 0)
        return PixelDataCheck::NotDecodable;
    return pixel_data_backed(tif, L, bytes, arithmetic);
}

// With out.expected, a file whose header gives another layout is told so before anything is
// sized from it.
DecodeOutcome decode_tiff(const uint8_t *data, size_t size, Decoded &out)
{
    MemoryFile mf{data, size, 0};
    TiffMessages messages;
    TiffPtr tif = open_tiff(&mf, nullptr, size, &messages);
    // A tag libtiff had no memory for is gone from the directory: the file is not read as it is.
    if (messages.outOfMemory)
        return DecodeOutcome::OutOfMemory;
    if (!tif)
        return DecodeOutcome::Damaged;
    TiffLayout L;
    PixelLayout header;
    const PixelDataCheck check =
        tiff_check(tif.get(), TiffBytes{data, nullptr, size}, L, &header, messages.judgeEvery);
    if (const PixelLayout *e = out.expected; e && header.spp) {
        if (header.width != e->width || header.height != e->height)
            return DecodeOutcome::OtherSize;
        if (header.spp != e->spp || header.bits != e->bits)
            return DecodeOutcome::OtherLayout;
    }
    uint64_t rowBytes, total;
    if (check != PixelDataCheck::Ok || !image_geometry(L.width, L.height, uint64_t(L.outSpp),
                                                       uint64_t(L.outBps / 8), rowBytes, total))
        return DecodeOutcome::Damaged;
    bool ok = TIFFIsTiled(tif.get())
                  ? read_tiles(tif.get(), L, rowBytes, total, mf, messages, out.pixels)
                  : read_strips(tif.get(), L, rowBytes, total, mf, messages, out.pixels);
    if (messages.outOfMemory)
        return DecodeOutcome::OutOfMemory;
    if (!ok || out.pixels.size() != total)
        return DecodeOutcome::Damaged;

    uint32_t iccLength = 0;
    void *icc = nullptr;
    if (!out.expected && TIFFGetField(tif.get(), TIFFTAG_ICCPROFILE, &iccLength, &icc) && icc &&
        iccLength > 0)
        out.icc.assign(static_cast<const uint8_t *>(icc),
                       static_cast<const uint8_t *>(icc) + iccLength);
    out.width = int(L.width);
    out.height = int(L.height);
    out.bps = L.outBps;
    out.spp = L.outSpp;
    return DecodeOutcome::Ok;
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

namespace {

// Decodes a TIFF or JPEG file held in memory into d.
DecodeOutcome decode_file(const uint8_t *p, size_t n, Decoded &d)
{
    return is_tiff(p, n)   ? decode_tiff(p, n, d)
           : is_jpeg(p, n) ? decode_jpeg_stream(nullptr, 0, p, n, &d)
                           : DecodeOutcome::Damaged;
}

} // namespace

BitmapPtr BitmapImageRep::imageRepWithData(const DataPtr &data)
{
    BitmapPtr rep;
    return imageRepWithData(data, nullptr, &rep) == DecodeOutcome::Ok ? rep : nullptr;
}

DecodeOutcome BitmapImageRep::imageRepWithData(const DataPtr &data, const PixelLayout *expected,
                                               BitmapPtr *out)
{
    if (!data || !data->bytes())
        return DecodeOutcome::Damaged;
    try {
        Decoded d;
        d.expected = expected;
        if (DecodeOutcome o = decode_file(data->bytes(), data->length(), d); o != DecodeOutcome::Ok)
            return o;
        BitmapPtr rep(new BitmapImageRep());
        rep->m_pixels = std::move(d.pixels);
        rep->m_width = d.width;
        rep->m_height = d.height;
        rep->m_bps = d.bps;
        rep->m_spp = d.spp;
        rep->m_bytesPerRow = d.width * d.spp * (d.bps / 8);
        rep->m_bitsPerPixel = d.spp * d.bps;
        rep->m_colorSpace = d.spp == 1 ? kCalibratedWhiteColorSpace : kCalibratedRGBColorSpace;
        if (!d.icc.empty()) {
            rep->m_icc = Data::copy(d.icc.data(), d.icc.size());
            if (!rep->m_icc)
                return DecodeOutcome::OutOfMemory;
        }
        *out = std::move(rep);
        return DecodeOutcome::Ok;
    } catch (const std::bad_alloc &) {
        return DecodeOutcome::OutOfMemory;
    } catch (const std::length_error &) {
        return DecodeOutcome::OutOfMemory;
    }
}

DecodeOutcome decode_jpeg_into(const DataPtr &data, int width, int height, int spp, uint8_t *dst)
{
    if (!data || !data->bytes() || !dst || !is_jpeg(data->bytes(), data->length()))
        return DecodeOutcome::Damaged;
    try {
        const PixelLayout expected{width, height, spp, 8};
        Decoded d;
        d.expected = &expected;
        d.target = dst;
        return decode_jpeg_stream(nullptr, 0, data->bytes(), data->length(), &d);
    } catch (const std::bad_alloc &) {
        return DecodeOutcome::OutOfMemory;
    }
}

void set_jpeg_walk_for_testing(DataPtr bytes)
{
    g_walkForTesting = std::move(bytes);
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
            std::vector<uint8_t> buffer(size_t(64) << 10);
            JpegReader in(f.get(), 0, UINT64_MAX, buffer);
            return jpeg_check(in, layout);
        }
        if (!is_tiff(head, sizeof head))
            return PixelDataCheck::NotDecodable;
        TiffMessages messages;
        TiffPtr tif = open_tiff(nullptr, path.c_str(), size, &messages);
        TiffLayout L;
        bool arithmetic = false;
        const PixelDataCheck checked =
            tif ? tiff_check(tif.get(), TiffBytes{nullptr, f.get(), size}, L, layout, arithmetic)
                : PixelDataCheck::NotDecodable;
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
