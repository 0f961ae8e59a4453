// HDR buffer conversions in memory. The statistics keep their historical scales: fbuf2rgbe
// reports 256 times the luminance of its float source, hdrMinMax the unscaled value of the
// integer luma times 2^(e - 128).
#include "imagecore/hdr_buffers.h"

#include <cstring>

#include "imagecore/pixel_buffers.h"
#include "imagecore/psd_reader.h"
#include "platform/checked_size.h"

namespace {

// rgbeBuf sizes: false for a negative side or a byte count that overflows.
bool rgbe_size_ok(int w, int h)
{
    return w >= 0 && h >= 0 && platform::checked_product({4, w, h}).has_value();
}

int luma(const uint8_t *row, size_t w, size_t x)
{
    return (54 * row[x] + 183 * row[w + x] + 19 * row[2 * w + x]) >> 8;
}

} // namespace

int fbuf2rgbe(int w, int h, int spp, float *min, float *max, float *mean, const float *source,
              uint8_t *rgbe)
{
    if (!rgbe_size_ok(w, h) || spp < 1 || !platform::checked_product({w, h, spp}) || !min || !max ||
        !mean || (!source && w > 0 && h > 0) || (!rgbe && w > 0 && h > 0))
        return -3;
    int blue = spp - 1;
    if (spp == 2 || spp == 4)
        --blue; // the last sample is alpha
    const size_t b = size_t(blue), g = b / 2, step = size_t(spp), width = size_t(w);
    float lo = 1e8f, hi = 0.0f;
    double sum = 0;
    size_t count = 0;
    for (int y = 0; y < h; ++y) {
        uint8_t *row = rgbe + 4 * width * size_t(y);
        const float *p = source + width * step * size_t(y);
        for (size_t x = 0; x < width; ++x, p += step) {
            const float v = float(0.3 * p[0] + 0.6 * p[g] + 0.1 * p[b]);
            if (v > 0 && v < lo)
                lo = v;
            if (v > hi)
                hi = v;
            sum += v;
            ++count;
            imagecore::put_rgbe(row, w, int(x), p[0], p[g], p[b]);
        }
    }
    *min = lo * 256.0f;
    *max = hi * 256.0f;
    *mean = count ? float(sum * 256.0 / double(count)) : 0.0f;
    return h;
}

int hdrMinMax(int w, int h, const uint8_t *rgbe, float *min, float *max, float *mean)
{
    if (!rgbe_size_ok(w, h) || !min || !max || !mean || (!rgbe && w > 0 && h > 0))
        return -3;
    float table[256];
    exp_lut(table, 0);
    float lo = 1e11f, hi = 0.0f;
    double sum = 0;
    size_t count = 0;
    const size_t width = size_t(w);
    for (int y = 0; y < h; ++y) {
        const uint8_t *row = rgbe + 4 * width * size_t(y);
        for (size_t x = 0; x < width; ++x) {
            const int e = row[3 * width + x];
            if (e == 0)
                continue;
            const float v = float(luma(row, width, x)) * table[e];
            sum += v;
            ++count;
            // Extreme exponents are left out of the range: they are clipped or lost pixels.
            if (e >= 51 && e < 200) {
                if (v > hi)
                    hi = v;
                if (v > 1e-7f && v < lo)
                    lo = v;
            }
        }
    }
    *min = lo;
    *max = hi;
    *mean = count ? float(sum / double(count)) : 0.0f;
    return h;
}

int hdr2cgbuf(int w, int h, const uint8_t *rgbe, float *out)
{
    float lo, hi, mean;
    const int r = hdrMinMax(w, h, rgbe, &lo, &hi, &mean);
    if (r < 0 || (!out && w > 0 && h > 0))
        return -3;
    const float span = hi - lo;
    if (!(span > 0))
        return -1;
    float table[256];
    exp_lut(table, 0);
    const size_t width = size_t(w);
    for (int y = 0; y < h; ++y) {
        const uint8_t *row = rgbe + 4 * width * size_t(y);
        float *o = out + 4 * width * size_t(y);
        for (size_t x = 0; x < width; ++x, o += 4) {
            const int e = row[3 * width + x];
            for (size_t c = 0; c < 3; ++c) {
                float v = e == 0 ? 0.0f : (float(row[c * width + x]) * table[e] - lo) / span;
                o[c] = v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v);
            }
        }
    }
    return h;
}

int from16to8(int, int h, int, int rowBytes, uint8_t *buffer)
{
    if (h < 1)
        return 0;
    if (rowBytes < 0 || !buffer)
        return -3;
    const size_t total = size_t(h) * size_t(rowBytes / 2);
    // Byte k is written after sample k (bytes 2k, 2k + 1) was read: the walk never overtakes.
    for (size_t k = 0; k < total; ++k) {
        uint16_t s;
        std::memcpy(&s, buffer + 2 * k, 2);
        buffer[k] = uint8_t(s >> 8);
    }
    return h;
}

int buildLUT(int n, const int *x, const float *y, float *lut, int lutLength)
{
    if (n < 2)
        return 0;
    if (!x || !y || !lut || lutLength < 0)
        return -3;
    int written = 0;
    for (int k = 0; k + 1 < n; ++k) {
        const int64_t x0 = x[k], x1 = x[k + 1];
        if (x0 >= x1)
            continue;
        const float s = (y[k + 1] - y[k]) / float(x1 - x0);
        const float offset = y[k] - float(x0) * s;
        // Knots may lie outside the table: only the indices inside it are written.
        const int64_t first = x0 > 0 ? x0 : 0, end = x1 < lutLength ? x1 : lutLength;
        for (int64_t i = first; i < end; ++i, ++written)
            lut[i] = float(i) * s + offset;
    }
    return written;
}

float morder2float(const uint8_t *b)
{
    return b ? imagecore::psd_float_decode(b) : 0.0f;
}
