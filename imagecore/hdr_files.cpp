// HDR file conversions. The readers check that the file holds every byte the caller's size
// promises before they allocate or write anything, so a hostile size costs neither memory nor a
// half-written output.
#include "imagecore/hdr_files.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "imagecore/byte_order.h"
#include "imagecore/detail/rgb_strip_tiff.h"
#include "imagecore/detail/trace.h"
#include "imagecore/float_clamp.h"
#include "imagecore/hdr_buffers.h"
#include "imagecore/pixel_buffers.h"
#include "imagecore/radiance.h"
#include "imagecore/tiff_strips.h"
#include "platform/checked_size.h"
#include "platform/file_holder.h"

namespace {

using imagecore::detail::trace;

constexpr bool kTraceHdrFiles = false;

// A header sized by its file may hold size / 128 - 128 lines.
constexpr long kLinesPerFileBytes = 128, kFileBytesNotHeader = 128;

// Channel offsets of red, green and blue in a pixel of spp samples.
struct Channels {
    size_t g, b;
    explicit Channels(size_t spp) : g((spp - 1) / 2), b(spp - 1) {}
};

// The 16-bit strip of a TIFF, checked to lie inside the file, read row by row.
class Strip16 {
public:
    // 0; -1 when the file cannot be opened or does not hold the strip; -3 for bad sizes.
    int open(const char *path, int w, int h, int spp, int offset)
    {
        auto bytes = platform::image_bytes(w, h, spp, 2);
        if (!path || !bytes || offset < 0 || !platform::checked_product({w, h, 4}))
            return -3;
        uint64_t length = 0;
        m_f = platform::open_measured(path, length);
        if (!m_f) {
            trace(kTraceHdrFiles, "can't open %s\n", path);
            return -1;
        }
        if (!platform::range_inside(uint64_t(offset), *bytes, length) ||
            std::fseek(m_f.get(), long(offset), SEEK_SET) != 0)
            return -1;
        m_spp = size_t(spp);
        m_row.resize(size_t(w) * m_spp);
        return 0;
    }
    bool next() { return std::fread(m_row.data(), 2, m_row.size(), m_f.get()) == m_row.size(); }
    // Pixel x of the row read last, each sample s as s x scale (0 as 1).
    imagecore::Rgbe pixel(size_t x, float scale) const
    {
        const Channels c(m_spp);
        const uint16_t *p = m_row.data() + x * m_spp;
        auto lin = [scale](uint16_t s) { return double(float(s ? s : 1) * scale); };
        return imagecore::encode_rgbe(lin(p[0]), lin(p[c.g]), lin(p[c.b]));
    }

private:
    platform::FilePtr m_f;
    size_t m_spp = 0;
    std::vector<uint16_t> m_row;
};

// The first line of a text, so that it cannot start header lines of its own.
std::string_view first_line(const char *text)
{
    if (!text)
        return {};
    std::string_view s(text);
    return s.substr(0, s.find('\n'));
}

int convert_to_hdr(const char *tiffPath, int w, int h, int spp, int offset, const char *sourceName,
                   const char *hdrPath)
{
    Strip16 strip;
    if (!hdrPath)
        return -3;
    if (const int r = strip.open(tiffPath, w, h, spp, offset))
        return r;
    platform::FilePtr out = platform::open_file(hdrPath, "wb");
    if (!out) {
        trace(kTraceHdrFiles, "can't open %s\n", hdrPath);
        return -1;
    }
    std::string lines = "# Converted by Kestrovald Zenit 2.1 from ";
    lines += first_line(sourceName);
    lines += '\n';
    const std::string header = imagecore::radiance_header(lines, h, w);
    if (std::fwrite(header.data(), 1, header.size(), out.get()) != header.size())
        return -1;
    const size_t width = size_t(w);
    std::vector<uint8_t> row(4 * width);
    for (int y = 0; y < h; ++y) {
        if (!strip.next()) {
            trace(kTraceHdrFiles, "fread failed for row: %d\n", y);
            return -1;
        }
        for (size_t x = 0; x < width; ++x) {
            const imagecore::Rgbe c = strip.pixel(x, 1.0f / 4096.0f);
            uint8_t *p = row.data() + 4 * x;
            p[0] = c.r, p[1] = c.g, p[2] = c.b, p[3] = c.e;
            if (kTraceHdrFiles && y % (h / 4 ? h / 4 : 1) == 0 &&
                x % (width / 4 ? width / 4 : 1) == 0)
                trace(kTraceHdrFiles, "%d,%d i:%zu  rgbe %d %d %d exp %d\n", y, int(x), x, c.r, c.g,
                      c.b, c.e);
        }
        if (std::fwrite(row.data(), 1, row.size(), out.get()) != row.size()) {
            trace(kTraceHdrFiles, "fwrite failed for row: %d\n", y);
            return -1;
        }
    }
    // Buffered bytes meet a full disk only here.
    return std::fclose(out.release()) == 0 ? h : -1;
}

int read_float_tiff(const char *path, const int info[], float *min, float *max, float *mean,
                    uint8_t *rgbe)
{
    const int w = info[0], h = info[1], spp = info[3], offset = info[5];
    auto bytes = platform::image_bytes(w, h, spp, 4);
    if (!bytes || offset < 0 || !platform::checked_product({w, h, 4}))
        return -3;
    uint64_t length = 0;
    platform::FilePtr f = platform::open_measured(path, length);
    if (!f)
        return -1;
    uint8_t mark[2];
    uint16_t order = 0;
    if (platform::read_at(f.get(), length, 0, mark, 2))
        order = imagecore::read_be16(mark);
    if ((order != imagecore::kOrderII && order != imagecore::kOrderMM) ||
        !platform::range_inside(uint64_t(offset), *bytes, length) ||
        std::fseek(f.get(), long(offset), SEEK_SET) != 0)
        return -2;

    const size_t width = size_t(w), n = size_t(spp);
    const Channels c(n);
    std::vector<float> px(n);
    float lo = 1e11f, hi = 0.0f;
    double sum = 0;
    for (int y = 0; y < h; ++y) {
        uint8_t *row = rgbe + 4 * width * size_t(y);
        for (size_t x = 0; x < width; ++x) {
            for (size_t s = 0; s < n; ++s)
                px[s] = readfloat(order, f.get());
            const float v = float(0.3 * px[0] + 0.6 * px[c.g] + 0.1 * px[c.b]);
            if (v > 0 && v < lo)
                lo = v;
            if (v > hi)
                hi = v;
            sum += v;
            imagecore::put_rgbe(row, w, int(x), px[0], px[c.g], px[c.b]);
        }
        if (std::feof(f.get()) || std::ferror(f.get()))
            return -2;
    }
    *min = lo * 256.0f;
    *max = hi * 256.0f;
    *mean = float(sum * 256.0 / (double(width) * double(h)));
    return 1;
}

int write_tiff16(float gamma, const uint8_t *rgbe, int w, int h, const char *path)
{
    float lo, hi, mean;
    hdrMinMax(w, h, rgbe, &lo, &hi, &mean);
    if (!(hi - lo > 0.0f))
        return -1;
    const float k = 1.0f / (hi - lo), inverse = 1.0f / gamma;
    const size_t width = size_t(w);
    float table[256];
    exp_lut(table, 0);
    const imagecore::detail::StripTiffWriter order{true};
    const int r =
        imagecore::detail::write_rgb_strip_tiff(path, true, w, h, 16, 1, [&](int y, uint8_t *row) {
            const uint8_t *src = rgbe + 4 * width * size_t(y);
            for (size_t x = 0; x < width; ++x) {
                const int e = src[3 * width + x];
                for (size_t c = 0; c < 3; ++c) {
                    const float d = float(src[c * width + x]) - lo;
                    float v = 0.0f;
                    if (e != 0)
                        v = gamma == 1.0f ? d * 65535.0f * k * table[e]
                                          : 65535.0f * std::pow(d * k * table[e], inverse);
                    order.u16(row + 6 * x + 2 * c, uint16_t(imagecore::clamp_to_int(v, 0, 65535)));
                }
            }
        });
    return r == 0 ? h : r;
}

} // namespace

int fp2rgbe(const char *path, const int info[], float *min, float *max, float *mean, uint8_t *rgbe)
{
    if (!path || !info || !min || !max || !mean || !rgbe)
        return -3;
    try {
        return read_float_tiff(path, info, min, max, mean, rgbe);
    } catch (const std::bad_alloc &) {
        return -4;
    }
}

int tif2hdr(const char *tiffPath, int w, int h, int spp, int offset, const char *sourceName,
            const char *hdrPath)
{
    trace(kTraceHdrFiles, "tif2hdr ofp %s  w %d  h %d\n", tiffPath ? tiffPath : "", w, h);
    try {
        return convert_to_hdr(tiffPath, w, h, spp, offset, sourceName, hdrPath);
    } catch (const std::bad_alloc &) {
        return -4;
    }
}

int tif2exrbuf(const char *path, int w, int h, int spp, int offset, uint8_t *rgbe)
{
    if (!rgbe)
        return -3;
    try {
        Strip16 strip;
        if (const int r = strip.open(path, w, h, spp, offset))
            return r;
        const size_t width = size_t(w);
        for (int y = 0; y < h; ++y) {
            if (!strip.next())
                return -1;
            uint8_t *row = rgbe + 4 * width * size_t(y);
            for (size_t x = 0; x < width; ++x)
                imagecore::put_rgbe(row, w, int(x), strip.pixel(x, 1.0f / 65536.0f));
        }
        return h;
    } catch (const std::bad_alloc &) {
        return -4;
    }
}

int hdr2tif(float gamma, const uint8_t *rgbe, int w, int h, const char *path)
{
    using imagecore::detail::kRgbStripIfdBytes;
    using imagecore::detail::kRgbStripMaxSide;
    if (!rgbe || !path || w < 1 || h < 1 || w > kRgbStripMaxSide || h > kRgbStripMaxSide ||
        !std::isfinite(gamma) || !(gamma > 0.0f))
        return -3;
    // Every offset of the file is a 32-bit LONG.
    if (6 * uint64_t(w) * uint64_t(h) > uint64_t(UINT32_MAX) - 8 - kRgbStripIfdBytes)
        return -3;
    try {
        return write_tiff16(gamma, rgbe, w, h, path);
    } catch (const std::bad_alloc &) {
        return -4;
    }
}

int rgbe_dim(const char *path, int info[3])
{
    if (!path || !info)
        return -3;
    platform::FilePtr f = platform::open_file(path, "rb");
    if (!f)
        return -1;
    const long size = platform::file_length(f.get());
    if (size < 0 || size > long(INT_MAX))
        return -1;
    const long maxLines = size / kLinesPerFileBytes - kFileBytesNotHeader;
    if (maxLines < 2)
        return -1;
    int height = 0, width = 0;
    const long line = imagecore::radiance_scan_header(
        f.get(), maxLines, imagecore::kRadianceLineSize, &height, &width, [](const char *) {});
    if (line == imagecore::kHeaderEnd)
        return -2;
    // The sizes a header claims are held to what the kernels take, as the photo readers' are.
    if (line == imagecore::kHeaderNoResolution || !platform::kernel_sized(width, height, 3))
        return -3;
    info[0] = width;
    info[1] = height;
    info[2] = int(size);
    return int(line);
}
