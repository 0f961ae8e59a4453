// Helpers of the tone-mapping tests: rgbeBuf images built from linear values.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

namespace tmtest {

// Pixel x of a row-planar rgbeBuf row of width w from three linear values.
inline void put_rgbe(uint8_t *row, int w, int x, double r, double g, double b)
{
    double m = std::fmax(r, std::fmax(g, b));
    if (!(m > 1e-32)) {
        row[x] = row[x + w] = row[x + 2 * w] = row[x + 3 * w] = 0;
        return;
    }
    int e;
    double k = std::frexp(m, &e) * 256.0 / m;
    row[x] = uint8_t(r * k);
    row[x + w] = uint8_t(g * k);
    row[x + 2 * w] = uint8_t(b * k);
    row[x + 3 * w] = uint8_t(e + 128);
}

// A w x h rgbeBuf from interleaved RGB floats.
inline std::vector<uint8_t> encode_rgbe(int w, int h, const std::vector<float> &rgb)
{
    std::vector<uint8_t> out(size_t(w) * size_t(h) * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const float *p = &rgb[(size_t(y) * size_t(w) + size_t(x)) * 3];
            put_rgbe(out.data() + size_t(y) * 4 * size_t(w), w, x, p[0], p[1], p[2]);
        }
    return out;
}

// A grey log ramp over the row-major pixel index: value 2^(lo + (hi - lo) i / (n - 1)), with a
// tint per row so that the channels differ.
inline std::vector<float> tinted_ramp(int w, int h, double lo, double hi)
{
    std::vector<float> rgb(size_t(w) * size_t(h) * 3);
    const size_t n = size_t(w) * size_t(h);
    for (size_t i = 0; i < n; ++i) {
        double v = std::exp2(lo + (hi - lo) * double(i) / double(n > 1 ? n - 1 : 1));
        int y = int(i / size_t(w));
        double t = (y % 3) * 0.25;
        rgb[i * 3] = float(v * (1.0 + t));
        rgb[i * 3 + 1] = float(v);
        rgb[i * 3 + 2] = float(v * (1.0 - 0.5 * t));
    }
    return rgb;
}

} // namespace tmtest
