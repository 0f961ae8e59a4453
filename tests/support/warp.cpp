// Known warps and seeded noise; double precision throughout so tests can state tolerances from
// the sampling alone.
#include "tests/support/warp.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace testsupport {

Transform8 identity8()
{
    return {1, 0, 0, 0, 1, 0, 0, 0};
}

Transform8 shift8(double dx, double dy)
{
    return {1, 0, dx, 0, 1, dy, 0, 0};
}

Transform8 similarity8(double degrees, double s, double cx, double cy, double dx, double dy,
                       double g, double h)
{
    const double r = degrees * M_PI / 180.0, c = s * std::cos(r), n = s * std::sin(r);
    // X = c (x - cx) - n (y - cy) + cx + dx, Y = n (x - cx) + c (y - cy) + cy + dy
    return {c, -n, cx + dx - c * cx + n * cy, n, c, cy + dy - n * cx - c * cy, g, h};
}

void apply8(const Transform8 &t, double x, double y, double *X, double *Y)
{
    const double q = t[6] / 100000.0 * x + t[7] / 100000.0 * y + 1.0;
    *X = (t[0] * x + t[1] * y + t[2]) / q;
    *Y = (t[3] * x + t[4] * y + t[5]) / q;
}

bool invert8(const Transform8 &t, Transform8 *inverse)
{
    const double m[3][3] = {{t[0], t[1], t[2]}, {t[3], t[4], t[5]}, {t[6] / 1e5, t[7] / 1e5, 1}};
    double inv[3][3];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            // Cofactor of (c, r): the adjugate is the transposed cofactor matrix.
            const int r0 = (c + 1) % 3, r1 = (c + 2) % 3, c0 = (r + 1) % 3, c1 = (r + 2) % 3;
            inv[r][c] = m[r0][c0] * m[r1][c1] - m[r0][c1] * m[r1][c0];
        }
    const double det = m[0][0] * inv[0][0] + m[0][1] * inv[1][0] + m[0][2] * inv[2][0];
    if (det == 0 || inv[2][2] == 0)
        return false;
    const double k = inv[2][2]; // scale so the last element is 1
    *inverse = {inv[0][0] / k, inv[0][1] / k, inv[0][2] / k,       inv[1][0] / k,
                inv[1][1] / k, inv[1][2] / k, inv[2][0] / k * 1e5, inv[2][1] / k * 1e5};
    return true;
}

std::vector<uint8_t> warp_photo(const std::vector<uint8_t> &in, int w, int h, int spp,
                                const Transform8 &t, uint8_t fill)
{
    Transform8 back;
    if (w < 1 || h < 1 || spp < 1 || in.size() < size_t(w) * size_t(h) * size_t(spp) ||
        !invert8(t, &back))
        throw std::invalid_argument("warp_photo");
    std::vector<uint8_t> out(size_t(w) * size_t(h) * size_t(spp), fill);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double sx, sy;
            apply8(back, x, y, &sx, &sy);
            const double fx0 = std::floor(sx), fy0 = std::floor(sy);
            if (!(fx0 >= 0 && fy0 >= 0 && fx0 + 1 < w && fy0 + 1 < h))
                continue;
            const size_t ix = size_t(fx0), iy = size_t(fy0);
            const double fx = sx - fx0, fy = sy - fy0;
            for (int c = 0; c < spp; ++c) {
                const auto at = [&](size_t xx, size_t yy) {
                    return double(in[(yy * size_t(w) + xx) * size_t(spp) + size_t(c)]);
                };
                const double v = at(ix, iy) * (1 - fx) * (1 - fy) + at(ix + 1, iy) * fx * (1 - fy) +
                                 at(ix, iy + 1) * (1 - fx) * fy + at(ix + 1, iy + 1) * fx * fy;
                out[(size_t(y) * size_t(w) + size_t(x)) * size_t(spp) + size_t(c)] =
                    uint8_t(std::clamp(std::floor(v + 0.5), 0.0, 255.0));
            }
        }
    return out;
}

uint64_t SeededRandom::next()
{
    uint64_t z = (m_state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

double SeededRandom::uniform()
{
    return double(next() >> 11) * 0x1.0p-53;
}

int SeededRandom::below(int n)
{
    return n < 1 ? 0 : int(uniform() * n);
}

double SeededRandom::normal(double sigma)
{
    // Box-Muller; 1 - u keeps the logarithm finite.
    const double u = 1.0 - uniform(), v = uniform();
    return sigma * std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * M_PI * v);
}

void add_noise(std::vector<uint8_t> &samples, double sigma, uint64_t seed)
{
    SeededRandom rng(seed);
    for (uint8_t &s : samples)
        s = uint8_t(std::clamp(std::floor(double(s) + rng.normal(sigma) + 0.5), 0.0, 255.0));
}

std::vector<uint8_t> speckle_photo(int w, int h, int n, uint64_t seed)
{
    if (w < 1 || h < 1 || n < 0)
        throw std::invalid_argument("speckle_photo");
    std::vector<double> v(size_t(w) * size_t(h), 128.0);
    SeededRandom rng(seed);
    for (int k = 0; k < n; ++k) {
        const double cx = rng.uniform() * w, cy = rng.uniform() * h;
        const double r = 3.0 + 9.0 * rng.uniform();
        const double contrast = (rng.uniform() < 0.5 ? -1.0 : 1.0) * (40.0 + 60.0 * rng.uniform());
        const int x0 = std::max(0, int(cx - r - 2)), x1 = std::min(w - 1, int(cx + r + 2));
        const int y0 = std::max(0, int(cy - r - 2)), y1 = std::min(h - 1, int(cy + r + 2));
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) {
                const double d = std::hypot(x + 0.5 - cx, y + 0.5 - cy);
                // A disc with a one-pixel soft edge.
                v[size_t(y) * size_t(w) + size_t(x)] +=
                    contrast * std::clamp(r + 0.5 - d, 0.0, 1.0);
            }
    }
    std::vector<uint8_t> out(v.size());
    for (size_t i = 0; i < v.size(); ++i)
        out[i] = uint8_t(std::clamp(std::floor(v[i] + 0.5), 0.0, 255.0));
    return out;
}

} // namespace testsupport
