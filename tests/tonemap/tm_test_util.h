// Helpers of the tone-mapping tests: rgbeBuf images built from linear values.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "tests/support/bracket_generator.h"

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

// A w x h rgbeBuf from interleaved RGB floats; by default the test scene of that size.
inline std::vector<uint8_t> encode_rgbe(int w, int h, std::vector<float> rgb = {})
{
    if (rgb.empty())
        rgb = testsupport::make_radiance_map(w, h).rgb;
    std::vector<uint8_t> out(size_t(w) * size_t(h) * 4);
    for (size_t i = 0; i < size_t(w) * size_t(h); ++i)
        put_rgbe(out.data() + i / size_t(w) * 4 * size_t(w), w, int(i % size_t(w)), rgb[i * 3],
                 rgb[i * 3 + 1], rgb[i * 3 + 2]);
    return out;
}

} // namespace tmtest
