// Test file builders. They favour being told exactly what to write over being correct, so the
// same code makes both valid files and the malformed ones the readers must refuse.
#include "tests/support/fixtures.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include <gtest/gtest.h>
#include <jpeglib.h>
#include <tiffio.h>

#include "imagecore/byte_order.h"

namespace testsupport {

bool write_file(const std::string &path, const Bytes &bytes)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

Bytes read_file(const std::string &path)
{
    Bytes out;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return out;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return out;
}

TempDir::TempDir()
{
    std::string base = ::testing::TempDir();
    if (base.empty())
        base = "/tmp/";
    if (base.back() != '/')
        base += '/';
    std::string tmpl = base + "zenit-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    if (!::mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed under " + base);
    m_path = buf.data();
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::string TempDir::file(const std::string &name) const
{
    return m_path + "/" + name;
}

// ---------------------------------------------------------------------------------------------
// TIFF

TiffBuilder::TiffBuilder(bool bigEndian) : m_big(bigEndian) {}

void TiffBuilder::set_first_ifd(uint32_t offset)
{
    m_firstSet = true;
    m_first = offset;
}

size_t TiffBuilder::add_ifd(bool chained)
{
    m_ifds.push_back({});
    m_ifds.back().chained = chained;
    return m_ifds.size() - 1;
}

void TiffBuilder::set_next(size_t ifd, uint32_t offset)
{
    m_ifds.at(ifd).nextSet = true;
    m_ifds.at(ifd).next = offset;
    m_ifds.at(ifd).nextTo = -1;
}

void TiffBuilder::set_next_to(size_t ifd, size_t target)
{
    m_ifds.at(ifd).nextSet = true;
    m_ifds.at(ifd).nextTo = long(target);
}

uint32_t TiffBuilder::add_blob(const Bytes &bytes)
{
    uint32_t offset = uint32_t(8 + m_blobs.size());
    m_blobs.insert(m_blobs.end(), bytes.begin(), bytes.end());
    if (m_blobs.size() % 2)
        m_blobs.push_back(0);
    return offset;
}

void TiffBuilder::add_entry(size_t ifd, uint16_t tag, uint16_t type, uint32_t count, Bytes data)
{
    Entry e{tag, type, count, std::move(data)};
    m_ifds.at(ifd).entries.push_back(std::move(e));
}

void TiffBuilder::add_entry_at(size_t ifd, uint16_t tag, uint16_t type, uint32_t count,
                               uint32_t offset, Bytes data)
{
    Entry e{tag, type, count, std::move(data)};
    e.explicitOffset = true;
    e.offset = offset;
    m_ifds.at(ifd).entries.push_back(std::move(e));
}

Bytes TiffBuilder::u16(const std::vector<uint16_t> &values) const
{
    Bytes out(values.size() * 2);
    for (size_t i = 0; i < values.size(); ++i)
        m_big ? imagecore::put_be16(&out[i * 2], values[i])
              : imagecore::put_le16(&out[i * 2], values[i]);
    return out;
}

Bytes TiffBuilder::u32(const std::vector<uint32_t> &values) const
{
    Bytes out(values.size() * 4);
    for (size_t i = 0; i < values.size(); ++i)
        m_big ? imagecore::put_be32(&out[i * 4], values[i])
              : imagecore::put_le32(&out[i * 4], values[i]);
    return out;
}

void TiffBuilder::add_shorts(size_t ifd, uint16_t tag, const std::vector<uint16_t> &values)
{
    add_entry(ifd, tag, kTiffShort, uint32_t(values.size()), u16(values));
}

void TiffBuilder::add_longs(size_t ifd, uint16_t tag, const std::vector<uint32_t> &values)
{
    add_entry(ifd, tag, kTiffLong, uint32_t(values.size()), u32(values));
}

void TiffBuilder::add_rationals(size_t ifd, uint16_t tag,
                                const std::vector<std::pair<uint32_t, uint32_t>> &values)
{
    std::vector<uint32_t> flat;
    for (auto &v : values) {
        flat.push_back(v.first);
        flat.push_back(v.second);
    }
    add_entry(ifd, tag, kTiffRational, uint32_t(values.size()), u32(flat));
}

void TiffBuilder::add_ascii(size_t ifd, uint16_t tag, const std::string &text)
{
    Bytes data(text.begin(), text.end());
    data.push_back(0);
    uint32_t count = uint32_t(data.size());
    add_entry(ifd, tag, kTiffAscii, count, std::move(data));
}

void TiffBuilder::add_bytes(size_t ifd, uint16_t tag, uint16_t type, const Bytes &bytes)
{
    add_entry(ifd, tag, type, uint32_t(bytes.size()), bytes);
}

void TiffBuilder::add_ifd_pointer(size_t ifd, uint16_t tag, size_t target)
{
    Entry e{tag, kTiffLong, 1, u32({0})};
    e.pointerTo = long(target);
    m_ifds.at(ifd).entries.push_back(std::move(e));
}

void TiffBuilder::add_image(size_t ifd, const uint8_t *pixels, int w, int h, int spp, int bits)
{
    const size_t samples = size_t(w) * size_t(h) * size_t(spp);
    Bytes strip;
    if (bits == 16) {
        std::vector<uint16_t> v(samples);
        std::memcpy(v.data(), pixels, samples * 2);
        strip = u16(v);
    } else {
        strip.assign(pixels, pixels + samples);
    }
    uint32_t offset = add_blob(strip);
    add_longs(ifd, 256, {uint32_t(w)});
    add_longs(ifd, 257, {uint32_t(h)});
    add_shorts(ifd, 258, std::vector<uint16_t>(size_t(spp), uint16_t(bits)));
    add_shorts(ifd, 259, {1});
    add_shorts(ifd, 262, {uint16_t(spp >= 3 ? 2 : 1)});
    add_longs(ifd, 273, {offset});
    add_shorts(ifd, 277, {uint16_t(spp)});
    add_longs(ifd, 278, {uint32_t(h)});
    add_longs(ifd, 279, {uint32_t(strip.size())});
    add_shorts(ifd, 284, {1});
}

void TiffBuilder::sort_entries(size_t ifd)
{
    auto &e = m_ifds.at(ifd).entries;
    std::stable_sort(e.begin(), e.end(),
                     [](const Entry &a, const Entry &b) { return a.tag < b.tag; });
}

std::vector<uint32_t> TiffBuilder::layout(std::vector<std::vector<uint32_t>> *dataOffsets) const
{
    std::vector<uint32_t> offsets;
    size_t cursor = 8 + m_blobs.size();
    for (const Ifd &ifd : m_ifds) {
        offsets.push_back(uint32_t(cursor));
        cursor += 2 + 12 * ifd.entries.size() + 4;
        std::vector<uint32_t> data;
        for (const Entry &e : ifd.entries) {
            if (!e.explicitOffset && e.data.size() > 4) {
                cursor += cursor % 2;
                data.push_back(uint32_t(cursor));
                cursor += e.data.size();
            } else {
                data.push_back(0);
            }
        }
        cursor += cursor % 2;
        if (dataOffsets)
            dataOffsets->push_back(std::move(data));
    }
    return offsets;
}

Bytes TiffBuilder::build() const
{
    std::vector<std::vector<uint32_t>> dataOffsets;
    std::vector<uint32_t> offsets = layout(&dataOffsets);
    auto put16 = [this](Bytes &b, size_t at, uint16_t v) {
        m_big ? imagecore::put_be16(&b[at], v) : imagecore::put_le16(&b[at], v);
    };
    auto put32 = [this](Bytes &b, size_t at, uint32_t v) {
        m_big ? imagecore::put_be32(&b[at], v) : imagecore::put_le32(&b[at], v);
    };

    Bytes out(8);
    out[0] = out[1] = m_big ? 'M' : 'I';
    put16(out, 2, 42);
    uint32_t first = 0;
    for (size_t i = 0; i < m_ifds.size(); ++i)
        if (m_ifds[i].chained) {
            first = offsets[i];
            break;
        }
    put32(out, 4, m_firstSet ? m_first : first);
    out.insert(out.end(), m_blobs.begin(), m_blobs.end());

    for (size_t i = 0; i < m_ifds.size(); ++i) {
        const Ifd &ifd = m_ifds[i];
        out.resize(offsets[i] + 2 + 12 * ifd.entries.size() + 4, 0);
        size_t at = offsets[i];
        put16(out, at, uint16_t(ifd.entries.size()));
        at += 2;
        for (size_t k = 0; k < ifd.entries.size(); ++k, at += 12) {
            const Entry &e = ifd.entries[k];
            put16(out, at, e.tag);
            put16(out, at + 2, e.type);
            put32(out, at + 4, e.count);
            if (e.pointerTo >= 0)
                put32(out, at + 8, offsets.at(size_t(e.pointerTo)));
            else if (e.explicitOffset)
                put32(out, at + 8, e.offset);
            else if (e.data.size() > 4)
                put32(out, at + 8, dataOffsets[i][k]);
            else
                std::copy(e.data.begin(), e.data.end(), out.begin() + long(at + 8));
        }
        uint32_t next = 0;
        if (ifd.nextSet) {
            next = ifd.nextTo >= 0 ? offsets.at(size_t(ifd.nextTo)) : ifd.next;
        } else if (ifd.chained) {
            for (size_t j = i + 1; j < m_ifds.size(); ++j)
                if (m_ifds[j].chained) {
                    next = offsets[j];
                    break;
                }
        }
        put32(out, at, next);
        for (size_t k = 0; k < ifd.entries.size(); ++k) {
            const Entry &e = ifd.entries[k];
            if (e.explicitOffset || e.pointerTo >= 0 || e.data.size() <= 4)
                continue;
            out.resize(dataOffsets[i][k], 0);
            out.insert(out.end(), e.data.begin(), e.data.end());
        }
        out.resize(out.size() + out.size() % 2, 0);
    }
    for (const Ifd &ifd : m_ifds)
        for (const Entry &e : ifd.entries)
            if (e.explicitOffset && !e.data.empty()) {
                if (out.size() < size_t(e.offset) + e.data.size())
                    out.resize(size_t(e.offset) + e.data.size(), 0);
                std::copy(e.data.begin(), e.data.end(), out.begin() + long(e.offset));
            }
    return out;
}

namespace {

int tiff_silent(TIFF *, void *, const char *, const char *, va_list)
{
    return 1;
}

// Rearranges interleaved samples into a tile of side t at (x0, y0), zero-padded at the edges;
// separate layouts take only channel c.
void copy_tile(const uint8_t *src, int w, int h, int spp, size_t bytes, int x0, int y0, int t,
               bool separate, int c, Bytes &tile)
{
    const size_t group = separate ? bytes : bytes * size_t(spp);
    std::fill(tile.begin(), tile.end(), 0);
    for (int y = y0; y < std::min(h, y0 + t); ++y)
        for (int x = x0; x < std::min(w, x0 + t); ++x) {
            const uint8_t *px = src + (size_t(y) * size_t(w) + size_t(x)) * size_t(spp) * bytes;
            uint8_t *dst = &tile[(size_t(y - y0) * size_t(t) + size_t(x - x0)) * group];
            if (separate)
                std::memcpy(dst, px + size_t(c) * bytes, bytes);
            else
                std::memcpy(dst, px, group);
        }
}

} // namespace

bool write_libtiff(const std::string &path, const void *pixels, int w, int h, int spp,
                   const LibTiffOptions &o)
{
    TIFFOpenOptions *opts = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(opts, tiff_silent, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(opts, tiff_silent, nullptr);
    TIFF *tif = TIFFOpenExt(path.c_str(), o.bigEndian ? "wb" : "wl", opts);
    TIFFOpenOptionsFree(opts);
    if (!tif)
        return false;
    const size_t bytes = size_t(o.bits / 8);
    const auto *src = static_cast<const uint8_t *>(pixels);
    int photometric = o.photometric >= 0 ? o.photometric
                      : spp >= 3         ? PHOTOMETRIC_RGB
                                         : PHOTOMETRIC_MINISBLACK;
    int colours = photometric == PHOTOMETRIC_RGB || photometric == PHOTOMETRIC_YCBCR ? 3
                  : photometric == PHOTOMETRIC_SEPARATED                             ? 4
                                                                                     : 1;
    bool ok = true;
    ok &= TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(w)) == 1;
    ok &= TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(h)) == 1;
    ok &= TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, uint16_t(o.bits)) == 1;
    ok &= TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, uint16_t(spp)) == 1;
    ok &= TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT,
                       uint16_t(o.bits == 32 ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT)) == 1;
    ok &= TIFFSetField(tif, TIFFTAG_PLANARCONFIG,
                       uint16_t(o.separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG)) == 1;
    ok &= TIFFSetField(tif, TIFFTAG_COMPRESSION, uint16_t(o.compression)) == 1;
    if (o.compression == COMPRESSION_JPEG && photometric == PHOTOMETRIC_YCBCR) {
        ok &= TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, uint16_t(PHOTOMETRIC_YCBCR)) == 1;
        ok &= TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB) == 1;
        ok &= TIFFSetField(tif, TIFFTAG_JPEGQUALITY, 95) == 1;
    } else {
        ok &= TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, uint16_t(photometric)) == 1;
    }
    if (photometric == PHOTOMETRIC_SEPARATED)
        ok &= TIFFSetField(tif, TIFFTAG_INKSET, uint16_t(INKSET_CMYK)) == 1;
    if (spp > colours) {
        std::vector<uint16_t> extra(size_t(spp - colours), uint16_t(EXTRASAMPLE_UNSPECIFIED));
        if (colours == 3)
            extra[0] = EXTRASAMPLE_UNASSALPHA;
        ok &= TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, uint16_t(extra.size()), extra.data()) == 1;
    }
    if (o.orientation > 0)
        ok &= TIFFSetField(tif, TIFFTAG_ORIENTATION, uint16_t(o.orientation)) == 1;
    if (!o.icc.empty())
        ok &= TIFFSetField(tif, TIFFTAG_ICCPROFILE, uint32_t(o.icc.size()), o.icc.data()) == 1;
    if (!o.xmp.empty())
        ok &= TIFFSetField(tif, TIFFTAG_XMLPACKET, uint32_t(o.xmp.size()), o.xmp.data()) == 1;
    const int planes = o.separate ? spp : 1;
    const size_t group = o.separate ? bytes : bytes * size_t(spp);
    if (ok && o.tileSize > 0) {
        ok &= TIFFSetField(tif, TIFFTAG_TILEWIDTH, uint32_t(o.tileSize)) == 1;
        ok &= TIFFSetField(tif, TIFFTAG_TILELENGTH, uint32_t(o.tileSize)) == 1;
        Bytes tile(size_t(o.tileSize) * size_t(o.tileSize) * group);
        for (int c = 0; ok && c < planes; ++c)
            for (int y = 0; ok && y < h; y += o.tileSize)
                for (int x = 0; ok && x < w; x += o.tileSize) {
                    copy_tile(src, w, h, spp, bytes, x, y, o.tileSize, o.separate, c, tile);
                    ok &= TIFFWriteTile(tif, tile.data(), uint32_t(x), uint32_t(y), 0,
                                        uint16_t(c)) >= 0;
                }
    } else if (ok) {
        uint32_t rps = o.rowsPerStrip > 0 ? uint32_t(o.rowsPerStrip) : TIFFDefaultStripSize(tif, 0);
        ok &= TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rps) == 1;
        Bytes row(size_t(w) * group);
        for (int c = 0; ok && c < planes; ++c)
            for (int y = 0; ok && y < h; ++y) {
                const uint8_t *line = src + size_t(y) * size_t(w) * size_t(spp) * bytes;
                if (o.separate) {
                    for (int x = 0; x < w; ++x)
                        std::memcpy(&row[size_t(x) * bytes],
                                    line + (size_t(x) * size_t(spp) + size_t(c)) * bytes, bytes);
                } else {
                    std::memcpy(row.data(), line, row.size());
                }
                ok &= TIFFWriteScanline(tif, row.data(), uint32_t(y), uint16_t(c)) == 1;
            }
    }
    TIFFClose(tif);
    return ok;
}

// ---------------------------------------------------------------------------------------------
// JPEG

Bytes make_segment(uint8_t marker, const Bytes &payload)
{
    if (payload.size() > 65533)
        throw std::invalid_argument("JPEG segment payload too long");
    Bytes out{0xFF, marker, 0, 0};
    imagecore::put_be16(&out[2], uint16_t(payload.size() + 2));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<Bytes> make_icc_app2_chunks(const Bytes &profile, size_t chunkSize)
{
    if (chunkSize < 1 || chunkSize > 65519)
        throw std::invalid_argument("ICC chunk size");
    size_t count = (profile.size() + chunkSize - 1) / chunkSize;
    if (count == 0 || count > 255)
        throw std::invalid_argument("ICC chunk count");
    std::vector<Bytes> out;
    for (size_t s = 0; s < count; ++s) {
        Bytes payload{'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0};
        payload.push_back(uint8_t(s + 1));
        payload.push_back(uint8_t(count));
        size_t from = s * chunkSize, to = std::min(profile.size(), from + chunkSize);
        payload.insert(payload.end(), profile.begin() + long(from), profile.begin() + long(to));
        out.push_back(make_segment(0xE2, payload));
    }
    return out;
}

Bytes make_exif_app1(const Bytes &tiff)
{
    Bytes payload{'E', 'x', 'i', 'f', 0, 0};
    payload.insert(payload.end(), tiff.begin(), tiff.end());
    return make_segment(0xE1, payload);
}

static Bytes insert_jpeg_segments(const Bytes &jpeg, const std::vector<Bytes> &segments)
{
    if (jpeg.size() < 2 || jpeg[0] != 0xFF || jpeg[1] != 0xD8)
        throw std::invalid_argument("not a JPEG");
    size_t at = 2;
    if (jpeg.size() >= at + 4 && jpeg[at] == 0xFF && jpeg[at + 1] == 0xE0) {
        size_t len = imagecore::read_be16(&jpeg[at + 2]);
        if (at + 2 + len <= jpeg.size())
            at += 2 + len;
    }
    Bytes out(jpeg.begin(), jpeg.begin() + long(at));
    for (const Bytes &s : segments)
        out.insert(out.end(), s.begin(), s.end());
    out.insert(out.end(), jpeg.begin() + long(at), jpeg.end());
    return out;
}

namespace {

struct EncodeError {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

[[noreturn]] void encode_fatal(j_common_ptr cinfo)
{
    std::longjmp(reinterpret_cast<EncodeError *>(cinfo->err)->jump, 1);
}
void encode_silent(j_common_ptr) {}

// Only plain values live here across the library calls that may jump back.
bool encode_guarded(jpeg_compress_struct *cinfo, EncodeError *err, const uint8_t *pixels, int w,
                    int h, int spp, int quality, const JpegOptions *opt, unsigned char **mem,
                    unsigned long *memSize)
{
    if (setjmp(err->jump))
        return false;
    jpeg_create_compress(cinfo);
    jpeg_mem_dest(cinfo, mem, memSize);
    cinfo->image_width = JDIMENSION(w);
    cinfo->image_height = JDIMENSION(h);
    cinfo->input_components = spp;
    cinfo->in_color_space = spp == 1 ? JCS_GRAYSCALE : spp == 4 ? JCS_CMYK : JCS_RGB;
    jpeg_set_defaults(cinfo);
    jpeg_set_quality(cinfo, quality, TRUE);
    cinfo->write_JFIF_header = opt->jfif ? TRUE : FALSE;
    cinfo->density_unit = 1;
    cinfo->X_density = UINT16(opt->density);
    cinfo->Y_density = UINT16(opt->density);
    if (spp == 3 && !opt->subsample)
        cinfo->comp_info[0].h_samp_factor = cinfo->comp_info[0].v_samp_factor = 1;
    if (opt->progressive)
        jpeg_simple_progression(cinfo);
    jpeg_start_compress(cinfo, TRUE);
    const size_t rowBytes = size_t(w) * size_t(spp);
    while (cinfo->next_scanline < cinfo->image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels + cinfo->next_scanline * rowBytes);
        jpeg_write_scanlines(cinfo, &row, 1);
    }
    jpeg_finish_compress(cinfo);
    return true;
}

} // namespace

Bytes encode_jpeg(const uint8_t *pixels, int w, int h, int spp, int quality,
                  const std::vector<Bytes> &segments, const JpegOptions &options)
{
    if (w < 1 || h < 1 || (spp != 1 && spp != 3 && spp != 4))
        throw std::invalid_argument("encode_jpeg arguments");
    jpeg_compress_struct cinfo;
    EncodeError err;
    std::memset(&cinfo, 0, sizeof cinfo);
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = encode_fatal;
    err.pub.output_message = encode_silent;
    unsigned char *mem = nullptr;
    unsigned long memSize = 0;
    bool ok = encode_guarded(&cinfo, &err, pixels, w, h, spp, quality, &options, &mem, &memSize);
    jpeg_destroy_compress(&cinfo);
    const Bytes out = take_libjpeg_output(ok, mem, memSize, "libjpeg failed to encode");
    return segments.empty() ? out : insert_jpeg_segments(out, segments);
}

Bytes take_libjpeg_output(bool ok, unsigned char *mem, unsigned long size, const char *what)
{
    Bytes out;
    if (ok && mem)
        out.assign(mem, mem + size);
    std::free(mem);
    if (!ok)
        throw std::runtime_error(what);
    return out;
}

// ---------------------------------------------------------------------------------------------
// PSD / PSB

static Bytes packbits_encode(const uint8_t *data, size_t n)
{
    Bytes out;
    size_t i = 0;
    while (i < n) {
        size_t run = 1;
        while (i + run < n && run < 128 && data[i + run] == data[i])
            ++run;
        if (run >= 2) {
            out.push_back(uint8_t(int8_t(1 - int(run))));
            out.push_back(data[i]);
            i += run;
            continue;
        }
        // A literal stretch ends where a repeat of two or more begins.
        size_t lit = 1;
        while (i + lit < n && lit < 128 && !(i + lit + 1 < n && data[i + lit] == data[i + lit + 1]))
            ++lit;
        out.push_back(uint8_t(lit - 1));
        out.insert(out.end(), data + i, data + i + lit);
        i += lit;
    }
    return out;
}

namespace {

void put_be(Bytes &out, uint64_t v, int bytes)
{
    for (int k = bytes - 1; k >= 0; --k)
        out.push_back(uint8_t(v >> (8 * k)));
}

template <class T, class Store>
void split_planes(PsdBuilder &b, const T *pixels, uint32_t w, uint32_t h, int spp, int depth,
                  Store store)
{
    b.width = w;
    b.height = h;
    b.depth = depth;
    b.planes.assign(size_t(spp), Bytes{});
    const size_t n = size_t(w) * size_t(h);
    for (int c = 0; c < spp; ++c) {
        Bytes &plane = b.planes[size_t(c)];
        plane.reserve(n * size_t(depth / 8));
        for (size_t i = 0; i < n; ++i)
            store(plane, pixels[i * size_t(spp) + size_t(c)]);
    }
}

} // namespace

void PsdBuilder::set_interleaved8(const uint8_t *pixels, uint32_t w, uint32_t h, int spp)
{
    split_planes(*this, pixels, w, h, spp, 8, [](Bytes &p, uint8_t v) { p.push_back(v); });
}

void PsdBuilder::set_interleaved16(const uint16_t *pixels, uint32_t w, uint32_t h, int spp)
{
    split_planes(*this, pixels, w, h, spp, 16, [](Bytes &p, uint16_t v) { put_be(p, v, 2); });
}

void PsdBuilder::set_interleaved(const uint8_t *pixels, uint32_t w, uint32_t h, int spp, int bits)
{
    if (bits == 16)
        set_interleaved16(reinterpret_cast<const uint16_t *>(pixels), w, h, spp);
    else
        set_interleaved8(pixels, w, h, spp);
}

void PsdBuilder::set_interleaved32(const float *pixels, uint32_t w, uint32_t h, int spp)
{
    split_planes(*this, pixels, w, h, spp, 32, [](Bytes &p, float v) {
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        put_be(p, bits, 4);
    });
}

namespace {

Bytes psd_resources(const std::vector<PsdResource> &resources)
{
    Bytes out;
    for (const PsdResource &r : resources) {
        out.insert(out.end(), {'8', 'B', 'I', 'M'});
        put_be(out, r.id, 2);
        out.push_back(uint8_t(r.name.size()));
        out.insert(out.end(), r.name.begin(), r.name.end());
        if ((1 + r.name.size()) % 2)
            out.push_back(0);
        put_be(out, r.data.size(), 4);
        out.insert(out.end(), r.data.begin(), r.data.end());
        if (r.data.size() % 2)
            out.push_back(0);
    }
    return out;
}

} // namespace

uint64_t PsdBuilder::layer_mask_offset() const
{
    return 26 + 4 + colorModeData.size() + 4 + psd_resources(resources).size();
}

uint64_t PsdBuilder::image_data_offset() const
{
    return layer_mask_offset() + (version == 2 ? 8 : 4) + layerMask.size();
}

Bytes PsdBuilder::build() const
{
    Bytes out(signature.begin(), signature.end());
    put_be(out, uint16_t(version), 2);
    out.insert(out.end(), 6, 0);
    put_be(out, uint16_t(channels < 0 ? planes.size() : size_t(channels)), 2);
    put_be(out, height, 4);
    put_be(out, width, 4);
    put_be(out, uint16_t(depth), 2);
    put_be(out, uint16_t(mode), 2);
    put_be(out, colorModeData.size(), 4);
    out.insert(out.end(), colorModeData.begin(), colorModeData.end());
    Bytes res = psd_resources(resources);
    put_be(out, res.size(), 4);
    out.insert(out.end(), res.begin(), res.end());
    put_be(out, layerMask.size(), version == 2 ? 8 : 4);
    out.insert(out.end(), layerMask.begin(), layerMask.end());
    put_be(out, uint16_t(compression), 2);
    if (compression == 1) {
        const size_t rowBytes = size_t(width) * size_t(depth / 8);
        std::vector<Bytes> rows;
        for (const Bytes &plane : planes)
            for (uint32_t y = 0; y < height; ++y) {
                size_t from = std::min(plane.size(), size_t(y) * rowBytes);
                size_t to = std::min(plane.size(), from + rowBytes);
                rows.push_back(packbits_encode(plane.data() + from, to - from));
            }
        for (const Bytes &r : rows)
            put_be(out, r.size(), version == 2 ? 4 : 2);
        for (const Bytes &r : rows)
            out.insert(out.end(), r.begin(), r.end());
    } else {
        for (const Bytes &plane : planes)
            out.insert(out.end(), plane.begin(), plane.end());
    }
    return out;
}

Bytes make_strip_tiff(uint32_t w, uint32_t h, uint16_t spp, uint32_t strip, uint16_t compression)
{
    TiffBuilder t;
    const size_t ifd = t.add_ifd();
    const uint32_t at = t.add_blob(Bytes(strip, 7));
    t.add_longs(ifd, 256, {w});
    t.add_longs(ifd, 257, {h});
    t.add_shorts(ifd, 258, {8});
    t.add_shorts(ifd, 259, {compression});
    t.add_shorts(ifd, 262, {uint16_t(spp >= 3 ? 2 : 1)});
    t.add_longs(ifd, 273, {at});
    t.add_shorts(ifd, 277, {spp});
    t.add_longs(ifd, 278, {h});
    t.add_longs(ifd, 279, {strip});
    return t.build();
}

Bytes make_psd_header(int version, uint32_t side, int depth, int compression)
{
    PsdBuilder b;
    b.version = version;
    b.width = b.height = side;
    b.depth = depth;
    b.channels = 3;
    b.compression = compression;
    return b.build();
}

// ---------------------------------------------------------------------------------------------
// ICC

Bytes make_icc_profile(size_t length, const std::string &description, bool rgb)
{
    const size_t count = description.size() + 1;
    const size_t descSize = 12 + count + 4 + 4 + 2 + 1 + 67;
    size_t minimum = 144 + descSize;
    minimum += (4 - minimum % 4) % 4;
    const size_t total = std::max(length, minimum);
    Bytes p(total, 0);
    imagecore::put_be32(&p[0], uint32_t(total));
    imagecore::put_be32(&p[8], 0x02100000);
    std::memcpy(&p[12], "mntr", 4);
    std::memcpy(&p[16], rgb ? "RGB " : "CMYK", 4);
    std::memcpy(&p[20], "XYZ ", 4);
    std::memcpy(&p[36], "acsp", 4);
    imagecore::put_be32(&p[68], 0x0000F6D6);
    imagecore::put_be32(&p[72], 0x00010000);
    imagecore::put_be32(&p[76], 0x0000D32D);
    imagecore::put_be32(&p[128], 1);
    std::memcpy(&p[132], "desc", 4);
    imagecore::put_be32(&p[136], 144);
    imagecore::put_be32(&p[140], uint32_t(descSize));
    std::memcpy(&p[144], "desc", 4);
    imagecore::put_be32(&p[152], uint32_t(count));
    std::memcpy(&p[156], description.data(), description.size());
    return p;
}

} // namespace testsupport
