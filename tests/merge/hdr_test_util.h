// Helpers of the HDR filter and denoiser tests: small rgbeBufs built from a per-pixel function,
// pixel access written out from the format's definition, and deterministic noise.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "imagecore/pixel_buffers.h"

namespace hdrtest {

using Quad = std::array<uint8_t, 4>;
using Rgb = std::array<float, 3>;

struct Rgbe {
    int w = 0, h = 0;
    std::vector<uint8_t> bytes;
    Quad at(int x, int y) const
    {
        const size_t p = 4 * size_t(w) * size_t(y) + size_t(x), s = size_t(w);
        return {bytes[p], bytes[p + s], bytes[p + 2 * s], bytes[p + 3 * s]};
    }
    void set(int x, int y, Quad q)
    {
        for (size_t c = 0; c < 4; ++c)
            bytes[4 * size_t(w) * size_t(y) + size_t(x) + c * size_t(w)] = q[c];
    }
    Rgb value(int x, int y) const // mantissa x 2^(e - 136), exponent 0 black
    {
        const Quad q = at(x, y);
        const double f = q[3] == 0 ? 0.0 : std::ldexp(1.0, q[3] - 136);
        return {float(q[0] * f), float(q[1] * f), float(q[2] * f)};
    }
};

template <class F> Rgbe make_rgbe(int w, int h, F f)
{
    Rgbe img{w, h, std::vector<uint8_t>(size_t(w) * size_t(h) * 4)};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Rgb c = f(x, y);
            imagecore::put_rgbe(img.bytes.data() + 4 * size_t(w) * size_t(y), w, x, c[0], c[1],
                                c[2]);
        }
    return img;
}

// Deterministic noise in [-1, 1) from a seed and a position (an integer hash).
inline float noise(uint32_t seed, int x, int y)
{
    uint32_t v = seed * 0x9E3779B9u ^ uint32_t(x) * 0x85EBCA6Bu ^ uint32_t(y) * 0xC2B2AE35u;
    v = (v ^ (v >> 16)) * 0x7FEB352Du;
    v = (v ^ (v >> 15)) * 0x846CA68Bu;
    return float((v ^ (v >> 16)) >> 8) / float(1 << 23) - 1.0f;
}

} // namespace hdrtest
