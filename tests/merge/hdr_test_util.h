// Helpers of the HDR filter and denoiser tests: small rgbeBufs built from a per-pixel function,
// pixel access, deterministic noise, and a plain reading of the a trous decomposition.
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
    size_t pos(int x, int y) const { return 4 * size_t(w) * size_t(y) + size_t(x); }
    Quad at(int x, int y) const
    {
        const size_t p = pos(x, y), s = size_t(w);
        return {bytes[p], bytes[p + s], bytes[p + 2 * s], bytes[p + 3 * s]};
    }
    void set(int x, int y, Quad q)
    {
        const size_t p = pos(x, y), s = size_t(w);
        for (size_t c = 0; c < 4; ++c)
            bytes[p + c * s] = q[c];
    }
    // value = mantissa x 2^(e - 136), written out rather than through the library's table.
    Rgb value(int x, int y) const
    {
        const Quad q = at(x, y);
        if (q[3] == 0)
            return {0, 0, 0};
        const double f = std::ldexp(1.0, q[3] - 136);
        return {float(q[0] * f), float(q[1] * f), float(q[2] * f)};
    }
};

// An image whose pixel (x, y) is the encoding of f(x, y).
template <class F> Rgbe make_rgbe(int w, int h, F f)
{
    Rgbe img{w, h, std::vector<uint8_t>(size_t(w) * size_t(h) * 4)};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Rgb c = f(x, y);
            imagecore::put_rgbe(img.bytes.data() + img.pos(0, y), w, x, c[0], c[1], c[2]);
        }
    return img;
}

// Deterministic noise in [-1, 1) from a seed and a position (an integer hash, no library RNG).
inline float noise(uint32_t seed, int x, int y)
{
    uint32_t v = seed * 0x9E3779B9u ^ uint32_t(x) * 0x85EBCA6Bu ^ uint32_t(y) * 0xC2B2AE35u;
    v ^= v >> 16;
    v *= 0x7FEB352Du;
    v ^= v >> 15;
    v *= 0x846CA68Bu;
    v ^= v >> 16;
    return float(v >> 8) / float(1 << 23) - 1.0f;
}

// The decomposition as its definition reads, in double: S_L = the [1 2 1] / 16 filter with holes
// at 2^L applied to S_(L-1) in two dimensions at once, mirrored at the borders; the result is the
// soft-thresholded details S_(L-1) - S_L plus S_4. tau(L, v) is the threshold at smoothed value v.
template <class Tau>
std::vector<double> reference_decomposition(const std::vector<double> &plane, int w, int h, Tau tau)
{
    auto mirror = [](int j, int n) { return j < 0 ? -j : (j > n - 1 ? 2 * (n - 1) - j : j); };
    std::vector<double> prev = plane, result(plane.size(), 0.0);
    for (int level = 0; level < 5; ++level) {
        const int d = 1 << level;
        std::vector<double> s(plane.size());
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                double sum = 0;
                for (int j = -1; j <= 1; ++j)
                    for (int i = -1; i <= 1; ++i)
                        sum += (2 - std::abs(i)) * (2 - std::abs(j)) *
                               prev[size_t(mirror(y + j * d, h)) * size_t(w) +
                                    size_t(mirror(x + i * d, w))];
                s[size_t(y) * size_t(w) + size_t(x)] = sum / 16.0;
            }
        for (size_t i = 0; i < plane.size(); ++i) {
            const double detail = prev[i] - s[i], t = tau(level, s[i]);
            // A negative threshold moves a detail away from 0 on its own side.
            double kept = 0;
            if (detail < 0)
                kept = std::min(detail + t, 0.0);
            else if (detail > 0)
                kept = std::max(detail - t, 0.0);
            result[i] += kept;
        }
        prev = s;
    }
    for (size_t i = 0; i < plane.size(); ++i)
        result[i] += prev[i];
    return result;
}

// c_L of the denoisers, from its definition.
inline double reference_coefficient(int level)
{
    return 0.8002 * std::exp(-2.6 * std::sqrt(level + 1.0)) / std::exp(-2.6);
}

} // namespace hdrtest
