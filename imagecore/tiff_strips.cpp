// TIFF strip and block readers. Rows are read whole with fread, so every short read is seen,
// whatever the depth; 16-bit samples are assembled in place afterwards.
#include "imagecore/tiff_strips.h"

#include <climits>
#include <cstring>
#include <new>
#include <vector>

#include "imagecore/byte_order.h"
#include "imagecore/detail/trace.h"
#include "imagecore/psd_reader.h"
#include "platform/checked_size.h"
#include "platform/file_holder.h"

namespace {

using imagecore::detail::trace;

constexpr bool kTraceStrips = false;

constexpr int kBigEndian = 1, kLittleEndian = 2;

// Bytes of a row of width x spp samples of `bytes` bytes; 0 when past the int range.
size_t row_bytes(int width, int spp, int bytes)
{
    auto n = platform::checked_product({width, spp, bytes});
    return n && *n <= size_t(INT_MAX) ? *n : 0;
}

platform::FilePtr open_source(const char *path)
{
    platform::FilePtr f = platform::open_file(path, "rb");
    if (!f)
        trace(kTraceStrips, "can't open %s\n", path);
    return f;
}

bool seek_to(FILE *f, uint64_t offset)
{
    return offset <= uint64_t(LONG_MAX) && std::fseek(f, long(offset), SEEK_SET) == 0;
}

// Turns the n file-order 16-bit samples at p into host-order uint16_t in place.
void assemble16(uint8_t *p, size_t n, int order)
{
    for (size_t i = 0; i < n; ++i, p += 2) {
        const uint16_t v = order == kBigEndian ? imagecore::read_be16(p) : imagecore::read_le16(p);
        std::memcpy(p, &v, 2);
    }
}

// Reads `count` rows of rowBytes bytes into out; returns 0, or -n for a short read of row n
// (counting from 1).
int read_rows(FILE *f, uint8_t *out, size_t rowBytes, int64_t count, int bytesPerSample, int order)
{
    for (int64_t i = 0; i < count; ++i, out += rowBytes) {
        if (std::fread(out, 1, rowBytes, f) != rowBytes) {
            trace(kTraceStrips, "fread failed for row: %d\n", int(i + 1));
            return -int(i + 1);
        }
        if (bytesPerSample == 2)
            assemble16(out, rowBytes / 2, order);
    }
    return 0;
}

} // namespace

int read_strip_tif(const char *path, int band, int bandHeight, int width, int rows, int spp,
                   int bps, int rowsPerStrip, int height, const int *stripOffsets, int order,
                   void *out)
{
    if (!path || !stripOffsets || !out || band < 0 || bandHeight < 0 || rows < 0 || height < 0 ||
        (bps != 8 && bps != 16) || (bps == 16 && order != kBigEndian && order != kLittleEndian))
        return -3;
    const int bytes = bps / 8;
    const size_t rowBytes = row_bytes(width, spp, bytes);
    if (rowBytes == 0)
        return -3;
    platform::FilePtr f = open_source(path);
    if (!f)
        return -1;
    if (rowsPerStrip < 1)
        return -1;

    const int64_t rps = rowsPerStrip, stripCount = (int64_t(height) + rps - 1) / rps;
    const int64_t firstRow = int64_t(band) * bandHeight;
    int64_t first, n, skip, perStrip;
    if (rps == height) {
        first = 0, n = 1, skip = firstRow, perStrip = rows;
    } else if (rps > bandHeight) {
        first = firstRow / rps, n = 1, skip = firstRow % rps;
        perStrip = rows < rps - skip ? rows : rps - skip;
    } else {
        n = rows / rps;
        if (n == 0)
            return 0;
        first = band * n, skip = 0, perStrip = rows < rps ? rows : rps;
    }

    uint8_t *dst = static_cast<uint8_t *>(out);
    int last = 0;
    for (int64_t s = first; s < first + n && s < stripCount; ++s, skip = 0) {
        // The image's last strip may be short.
        const int64_t left = height - (s * rps + skip);
        const int64_t count = perStrip < left ? perStrip : left;
        if (count <= 0)
            break;
        const uint64_t at = uint64_t(uint32_t(stripOffsets[s])) + uint64_t(skip) * rowBytes;
        if (!seek_to(f.get(), at))
            return -1;
        const int r = read_rows(f.get(), dst, rowBytes, count, bytes, order);
        if (r < 0)
            return r;
        dst += size_t(count) * rowBytes;
        last = int(count);
    }
    return last;
}

int load_tif(const char *path, int width, int height, int spp, int offset, int order, uint16_t *out)
{
    trace(kTraceStrips, "load_tif ofp %s  w %d  h %d  endianOrder=%d  offset=%d\n",
          path ? path : "", width, height, order, offset);
    if (height <= 0)
        return 0;
    if (!path || !out || offset < 0 || (order != kBigEndian && order != kLittleEndian))
        return -3;
    const size_t rowBytes = row_bytes(width, spp, 2);
    if (rowBytes == 0)
        return -3;
    platform::FilePtr f = open_source(path);
    if (!f)
        return -1;
    if (!seek_to(f.get(), uint64_t(offset)))
        return -1;
    const int r = read_rows(f.get(), reinterpret_cast<uint8_t *>(out), rowBytes, height, 2, order);
    return r < 0 ? r : height;
}

float readfloat(uint16_t order, FILE *f)
{
    uint8_t b[4];
    if (!f || std::fread(b, 1, 4, f) != 4)
        return 0.0f;
    if (order == imagecore::kOrderII) {
        const uint8_t be[4] = {b[3], b[2], b[1], b[0]};
        return imagecore::psd_float_decode(be);
    }
    return imagecore::psd_float_decode(b);
}

void kv_flip_image(int code, int W, int H, void *buf)
{
    trace(kTraceStrips, "Flipping image with %d", code);
    auto pixels = platform::checked_product({W, H, 8});
    if (!buf || W < 1 || H < 1 || !pixels)
        return;
    const size_t w = size_t(W), h = size_t(H), total = w * h;
    std::vector<uint32_t> done;
    try {
        done.assign((total + 31) / 32, 0);
    } catch (const std::bad_alloc &) {
        return;
    }
    auto source = [&](size_t d) {
        size_t row = (code & 4) ? d % h : d / w;
        size_t col = (code & 4) ? d / h : d % w;
        if (code & 2)
            row = h - 1 - row;
        if (code & 1)
            col = w - 1 - col;
        return row * w + col;
    };
    auto marked = [&](size_t i) { return (done[i / 32] >> (i % 32)) & 1u; };
    auto mark = [&](size_t i) { done[i / 32] |= 1u << (i % 32); };

    uint8_t *p = static_cast<uint8_t *>(buf);
    // Each cycle of the permutation is walked once: its start's pixel is held while every
    // destination takes its source's pixel, and the last destination takes the held one.
    for (size_t start = 0; start < total; ++start) {
        if (marked(start))
            continue;
        uint8_t held[8];
        std::memcpy(held, p + 8 * start, 8);
        size_t d = start;
        for (;;) {
            mark(d);
            const size_t s = source(d);
            if (s == start) {
                std::memcpy(p + 8 * d, held, 8);
                break;
            }
            std::memcpy(p + 8 * d, p + 8 * s, 8);
            d = s;
        }
    }
}
