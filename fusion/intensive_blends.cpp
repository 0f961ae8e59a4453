// The bilateral and square forms of the intensive blend. Samples of the square window that fall
// outside the image would read a zero border and add nothing, so the window is clipped to the
// image on the same grid instead: the same sums without a bordered copy of every photo.
#include "fusion/intensive_blends.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>
#include <vector>

#include "fusion/combination.h"
#include "fusion/detail/intensive.h"

namespace {

using fusion::detail::Positions;

// Weight exponent of a compression setting: 2^(compression / 5), a real quotient.
double compression_exponent(int compression)
{
    return std::exp2(double(compression) / 5.0);
}

// Per photo, one distance byte a pixel from the photo's samples at pos.
template <class F>
bool distance_planes(int n, size_t P, int spp, const uint8_t *stack, std::vector<uint8_t> &planes,
                     F distance)
{
    try {
        planes.resize(size_t(n) * P);
    } catch (const std::bad_alloc &) {
        return false;
    }
    const Positions pos = fusion::detail::positions_012(spp);
    for (size_t k = 0; k < size_t(n); ++k)
        for (size_t i = 0; i < P; ++i) {
            const uint8_t *px = stack + (k * P + i) * size_t(spp);
            planes[k * P + i] = distance(px[pos.p[0]], px[pos.p[1]], px[pos.p[2]]);
        }
    return true;
}

// The weighted mean of the photos at pixel (x, y) with the sums S, its saturation multiplied by
// satFactor when saturate is set, written as bytes.
void blend_pixel(int n, const float *S, bool power, double e, const uint8_t *stack, size_t P,
                 int spp, int x, int y, int w, int rowLen, bool saturate, float satFactor,
                 uint8_t *out, double *W)
{
    const Positions pos = fusion::detail::positions_012(spp);
    fusion::detail::photo_weights(n, S, power, e, W);
    const size_t i = size_t(y) * size_t(w) + size_t(x);
    float rgb[3];
    fusion::detail::weighted_mean(n, W, stack, P * size_t(spp), i * size_t(spp), pos, 1.0, rgb);
    if (saturate)
        fusion::detail::boost_saturation(rgb, satFactor, 0.003921569f, 255.0f);
    uint8_t *dst = out + size_t(y) * size_t(rowLen) + size_t(x) * size_t(spp);
    for (int c = 0; c < 3; ++c)
        dst[pos.p[c]] = lim8f(rgb[c]);
}

} // namespace

int kv_combi_intensive2(int step, int radius, int compression, int saturation, int n, int w, int h,
                        int rowLen, int spp, int, const uint8_t *stack, uint8_t *out)
{
    if (!fusion::detail::arguments_ok(n, w, std::max(h, 1), rowLen, spp, 8, 8, stack, out) ||
        step < 1 || radius < 1)
        return -3;
    if (int64_t(2) * radius >= h)
        return radius;
    const bool spatial = out[0] != 0;
    const size_t P = size_t(w) * size_t(h);
    uint8_t D[256];
    fusion::detail::grey_distance_table(D);
    std::vector<uint8_t> planes;
    std::vector<float> ring, S;
    std::vector<double> W;
    try {
        ring.resize(size_t(radius) + 1);
        S.resize(size_t(n));
        W.resize(size_t(n));
    } catch (const std::bad_alloc &) {
        return -4;
    }
    if (!distance_planes(n, P, spp, stack, planes, [&D](int c0, int c1, int c2) {
            const int mix = int(0.2 * c0 + 0.7 * c1 + 0.1 * c2);
            return D[std::clamp(mix, 0, 255)];
        }))
        return -4;
    float G[256];
    fusion::detail::gauss_table(256, 255.0f, G);
    for (int d = 1; d <= radius; ++d) {
        const float q = float(d) / float(radius);
        ring[size_t(d)] = spatial ? std::exp(-2.0f * (q * q)) : 1.0f;
    }
    const bool power = compression != 0;
    const double e = compression_exponent(compression);
    const float factor = float(1.0 + saturation * 0.1);
    for (int y = radius; y < h - radius; ++y) {
        for (int x = radius; int64_t(x) < int64_t(w) - radius; ++x) {
            const size_t i = size_t(y) * size_t(w) + size_t(x);
            for (int k = 0; k < n; ++k) {
                const uint8_t *c = planes.data() + size_t(k) * P + i;
                const int z = *c;
                auto term = [&](int dy, int dx) {
                    const int v = c[ptrdiff_t(dy) * w + dx];
                    return G[std::abs(v - z)] * float(v);
                };
                float sum = float(z);
                for (int d = 1; d <= radius; d += step) {
                    for (int j = 0; j < d; ++j) {
                        const float group = term(d - j, j) + term(-j, d - j) + term(-(d - j), -j) +
                                            term(j, -(d - j));
                        sum += spatial ? ring[size_t(d)] * group : group;
                    }
                    if (d > radius - step) // the next ring would pass the radius (or overflow)
                        break;
                }
                S[size_t(k)] = sum;
            }
            blend_pixel(n, S.data(), power, e, stack, P, spp, x, y, w, rowLen, saturation != 0,
                        factor, out, W.data());
        }
    }
    return h - radius;
}

int kv_combi_intensive3(int step, int radius, int compression, int, int n, int w, int h, int rowLen,
                        int spp, int, const uint8_t *stack, uint8_t *out)
{
    if (h < 1)
        return 0;
    if (!fusion::detail::arguments_ok(n, w, h, rowLen, spp, 8, 8, stack, out) || step < 1 ||
        radius < 1)
        return -3;
    const size_t P = size_t(w) * size_t(h);
    std::vector<uint8_t> planes;
    std::vector<float> S;
    std::vector<double> W;
    try {
        S.resize(size_t(n));
        W.resize(size_t(n));
    } catch (const std::bad_alloc &) {
        return -4;
    }
    if (!distance_planes(n, P, spp, stack, planes, [](int c0, int c1, int c2) {
            return uint8_t(0.2 * std::abs(c0 - 128) + 0.7 * std::abs(c1 - 128) +
                           0.1 * std::abs(c2 - 128));
        }))
        return -4;
    float G[129];
    fusion::detail::gauss_table(129, 128.0f, G);
    const bool power = compression != 0;
    const double e = compression_exponent(compression);
    // The first offset of the grid -radius, -radius + step, ... at or after lo; the grid never
    // shifts, only its part inside the image is summed.
    auto first_on_grid = [&](int64_t lo) {
        const int64_t skip = (lo + radius + step - 1) / step;
        return -int64_t(radius) + skip * step;
    };
    for (int y = 0; y < h; ++y) {
        const int64_t y0 = first_on_grid(std::max<int64_t>(-radius, -y));
        const int64_t y1 = std::min<int64_t>(radius, h - 1 - y);
        for (int x = 0; x < w; ++x) {
            const int64_t x0 = first_on_grid(std::max<int64_t>(-radius, -x));
            const int64_t x1 = std::min<int64_t>(radius, w - 1 - x);
            const size_t i = size_t(y) * size_t(w) + size_t(x);
            for (int k = 0; k < n; ++k) {
                const uint8_t *c = planes.data() + size_t(k) * P + i;
                const int z = *c;
                float sum = float(z);
                for (int64_t dy = y0; dy <= y1; dy += step)
                    for (int64_t dx = x0; dx <= x1; dx += step) {
                        const int v = c[dy * w + dx];
                        sum += G[std::abs(v - z)] * float(v);
                    }
                S[size_t(k)] = sum;
            }
            blend_pixel(n, S.data(), power, e, stack, P, spp, x, y, w, rowLen, false, 1.0f, out,
                        W.data());
        }
    }
    return h;
}
