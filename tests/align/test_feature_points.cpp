// Feature points: box sums and the elimination solve against direct references, detection on
// blobs, flat, small, textured and shifted tiles, descriptors against a pixel-sum reading.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

#include "align/feature_points.h"
#include "align/projective.h"
#include "tests/support/warp.h"

using testsupport::SeededRandom;
using testsupport::speckle_photo;

namespace {

using Grey = std::vector<uint8_t>;

struct Points {
    int n = 0;
    std::vector<int> x, y, s;
    std::vector<float> d;
};

Points detect(const Grey &g, int w, int h, int maxPoints = 1309)
{
    Points p;
    const size_t cap = size_t(maxPoints) + 1;
    p.x.resize(cap), p.y.resize(cap), p.s.resize(cap), p.d.resize(cap * kDescriptorSize);
    p.n = kvdetect(1, w, h, maxPoints, 0, 0, g.data(), 0, p.x.data(), p.y.data(), p.s.data(),
                   p.d.data());
    return p;
}

// Sum of the grey values over columns x0..x1 and rows y0..y1, read pixel by pixel.
int64_t pixel_sum(const Grey &g, int w, int x0, int y0, int x1, int y1)
{
    int64_t s = 0;
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x)
            s += g[size_t(y) * size_t(w) + size_t(x)];
    return s;
}

std::vector<unsigned> integral_of(const Grey &g, int w, int h)
{
    std::vector<unsigned> I(g.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            I[size_t(y * w + x)] = unsigned(pixel_sum(g, w, 0, 0, x, y));
    return I;
}

// A Gaussian spot of the given peak on a flat ground.
Grey blob(int w, int h, int cx, int cy, double sigma, int ground, int peak)
{
    Grey g(size_t(w) * size_t(h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double r2 = double((x - cx) * (x - cx) + (y - cy) * (y - cy));
            g[size_t(y * w + x)] = uint8_t(
                std::lround(ground + (peak - ground) * std::exp(-r2 / (2 * sigma * sigma))));
        }
    return g;
}

// Dxx + Dyy of the size-15 box filter, from pixel sums.
int64_t laplacian15(const Grey &g, int w, int x, int y)
{
    const int64_t dxx = pixel_sum(g, w, x - 7, y - 4, x - 3, y + 4) +
                        pixel_sum(g, w, x + 3, y - 4, x + 7, y + 4) -
                        2 * pixel_sum(g, w, x - 2, y - 4, x + 2, y + 4);
    const int64_t dyy = pixel_sum(g, w, x - 4, y - 7, x + 4, y - 3) +
                        pixel_sum(g, w, x - 4, y + 3, x + 4, y + 7) -
                        2 * pixel_sum(g, w, x - 4, y - 2, x + 4, y + 2);
    return dxx + dyy;
}

// The descriptor read straight from the pixels: 4 x 4 cells of 2 x 2 squares of 4 x 4 pixels.
std::array<double, 64> reference_descriptor(const Grey &g, int w, int x, int y)
{
    std::array<double, 64> d{};
    for (int cell = 0; cell < 16; ++cell)
        for (int sq = 0; sq < 4; ++sq) {
            const int sx = x - 16 + (cell % 4) * 8 + (sq % 2) * 4;
            const int sy = y - 16 + (cell / 4) * 8 + (sq / 2) * 4;
            const double hx = double(pixel_sum(g, w, sx, sy, sx + 1, sy + 3) -
                                     pixel_sum(g, w, sx + 2, sy, sx + 3, sy + 3));
            const double hy = double(pixel_sum(g, w, sx, sy, sx + 3, sy + 1) -
                                     pixel_sum(g, w, sx, sy + 2, sx + 3, sy + 3));
            d[size_t(cell * 4)] += hx, d[size_t(cell * 4 + 1)] += std::fabs(hx);
            d[size_t(cell * 4 + 2)] += hy, d[size_t(cell * 4 + 3)] += std::fabs(hy);
        }
    double norm = 0;
    for (double v : d)
        norm += v * v;
    for (double &v : d)
        v = norm > 0 ? v / std::sqrt(norm) : 0;
    return d;
}

} // namespace

TEST(Sommation, MatchesPixelSumsIncludingBoxesAtTheOrigin)
{
    const int w = 37, h = 29;
    Grey g(size_t(w * h));
    SeededRandom rng(3);
    for (uint8_t &v : g)
        v = uint8_t(rng.below(256));
    const std::vector<unsigned> I = integral_of(g, w, h);
    for (auto [x0, y0, x1, y1] : {std::array{0, 0, 0, 0},
                                  {0, 0, 36, 28},
                                  {5, 3, 9, 20},
                                  {0, 7, 4, 7},
                                  {12, 0, 12, 28},
                                  {36, 28, 36, 28}})
        EXPECT_EQ(sommation(x0, y0, x1, y1, 0, w, I.data()), pixel_sum(g, w, x0, y0, x1, y1))
            << x0 << "," << y0 << " " << x1 << "," << y1;
    // Counted from an inner base, a box not at that base's origin reads the usual four corners.
    EXPECT_EQ(sommation(1, 1, 4, 6, 2 * w + 3, w, I.data()), pixel_sum(g, w, 4, 3, 7, 8));
    EXPECT_EQ(sommation(5, 5, 4, 6, 0, w, I.data()), 0u);
    EXPECT_EQ(sommation(0, 0, 1, 1, 0, w, nullptr), 0u);
}

TEST(GaussElim, SolvesAgainstCramerAndRefusesSingularSystems)
{
    const auto det3 = [](const std::array<double, 9> &m) {
        return m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
               m[2] * (m[3] * m[7] - m[4] * m[6]);
    };
    // The second system needs a row exchange at once (zero leading element).
    for (const auto &m : {std::array<double, 9>{2, 1, -1, -3, -1, 2, -2, 1, 2},
                          std::array<double, 9>{0, 2, 1, 1, 0, 3, 4, 1, 0}}) {
        const std::array<double, 3> b{8, -11, -3};
        std::array<double, 9> a = m;
        std::array<double, 3> rhs = b, x{};
        ASSERT_EQ(gauss_elim(3, a.data(), rhs.data(), x.data()), 1);
        for (int k = 0; k < 3; ++k) {
            std::array<double, 9> mk = m;
            for (int r = 0; r < 3; ++r)
                mk[size_t(r * 3 + k)] = b[size_t(r)];
            EXPECT_NEAR(x[size_t(k)], det3(mk) / det3(m), 1e-12);
        }
    }
    const double nan = std::nan("");
    for (const auto &m : {std::array<double, 9>{1, 2, 3, 2, 4, 6, 1, 0, 1}, // dependent rows
                          std::array<double, 9>{1, 0, 2, 3, 0, 1, 5, 0, 7}, // zero column
                          std::array<double, 9>{1, 2, 3, 4, nan, 6, 7, 8, 10}}) {
        std::array<double, 9> a = m;
        std::array<double, 3> b{1, 2, 3}, x{};
        EXPECT_EQ(gauss_elim(3, a.data(), b.data(), x.data()), -1);
    }
    double one = 1;
    EXPECT_EQ(gauss_elim(0, &one, &one, &one), -3);
    EXPECT_EQ(gauss_elim(1, nullptr, &one, &one), -3);
}

TEST(Kvdetect, FlatAndSmallTilesGiveNoPoints)
{
    struct Case {
        int w, h;
        bool textured;
        bool found;
    };
    for (const Case c : {Case{200, 200, false, false},
                         {42, 300, true, false},
                         {300, 42, true, false},
                         {300, 300, true, true}}) {
        const Grey g =
            c.textured ? speckle_photo(c.w, c.h, c.w * c.h / 150, 11) : Grey(size_t(c.w * c.h), 97);
        EXPECT_EQ(detect(g, c.w, c.h).n > 0, c.found) << c.w << "x" << c.h;
    }
}

TEST(Kvdetect, BlobFoundAtItsCentreWithTheLaplaciansSign)
{
    struct Case {
        int w, h, cx, cy, ground, peak;
        int sign; // of the scale: a bright spot has a negative Laplacian
    };
    for (const Case c : {Case{100, 90, 50, 40, 40, 220, -1},
                         {120, 100, 63, 47, 40, 220, -1},
                         {100, 90, 50, 40, 220, 40, 1}}) {
        const Points p = detect(blob(c.w, c.h, c.cx, c.cy, 2.5, c.ground, c.peak), c.w, c.h);
        int at = -1;
        for (int i = 0; i < p.n; ++i)
            if (p.x[size_t(i)] == c.cx && p.y[size_t(i)] == c.cy)
                at = i;
        ASSERT_GE(at, 0) << c.cx << "," << c.cy;
        EXPECT_EQ(p.s[size_t(at)] == 0 || (p.s[size_t(at)] > 0) == (c.sign > 0), true)
            << p.s[size_t(at)];
    }
}

TEST(Kvdetect, CountStopsAtMaxPointsPlusOneWithTheSamePoints)
{
    const int w = 300, h = 240;
    const Grey g = speckle_photo(w, h, 500, 5);
    const Points all = detect(g, w, h);
    ASSERT_GT(all.n, 40);
    for (int maxPoints : {0, 1, 17}) {
        const Points p = detect(g, w, h, maxPoints);
        ASSERT_EQ(p.n, maxPoints + 1);
        for (int i = 0; i < p.n; ++i) {
            EXPECT_EQ(p.x[size_t(i)], all.x[size_t(i)]);
            EXPECT_EQ(p.y[size_t(i)], all.y[size_t(i)]);
            EXPECT_EQ(p.s[size_t(i)], all.s[size_t(i)]);
        }
        EXPECT_TRUE(std::equal(p.d.begin(), p.d.begin() + p.n * 64, all.d.begin()));
    }
}

TEST(Kvdetect, PointsInRowOrderWithSignedScalesAndPixelSumDescriptors)
{
    const int w = 320, h = 200;
    const Grey g = speckle_photo(w, h, 420, 9);
    const Points p = detect(g, w, h);
    ASSERT_GT(p.n, 50);
    for (int i = 0; i < p.n; ++i) {
        const size_t k = size_t(i);
        if (i > 0) { // scan order, up to the +-0.6 pixel refinement of each point
            EXPECT_GE(p.y[k], p.y[k - 1] - 2);
        }
        EXPECT_LE(std::abs(p.s[k]), 50);
        if (p.s[k] != 0) {
            EXPECT_EQ(p.s[k] < 0, laplacian15(g, w, p.x[k], p.y[k]) < 0) << i;
        }
        const auto ref = reference_descriptor(g, w, p.x[k], p.y[k]);
        for (int j = 0; j < 64; ++j) // float sums of ints below 2^24, then one rounding
            ASSERT_NEAR(p.d[k * 64 + size_t(j)], ref[size_t(j)], 1e-6) << i << " " << j;
    }
}

TEST(Kvdetect, ShiftedTileGivesTheSamePointsShifted)
{
    const int w = 320, h = 240, dx = 7, dy = -4;
    const Grey g = speckle_photo(w, h, 500, 21);
    const Grey moved = testsupport::warp_photo(g, w, h, 1, testsupport::shift8(dx, dy));
    const Points a = detect(g, w, h), b = detect(moved, w, h);
    int checked = 0;
    for (int i = 0; i < a.n; ++i) {
        const size_t k = size_t(i);
        // Away from every border the responses move with the pixels.
        if (a.x[k] < 40 || a.x[k] > w - 50 || a.y[k] < 40 || a.y[k] > h - 50)
            continue;
        int j = 0;
        while (j < b.n && !(b.x[size_t(j)] == a.x[k] + dx && b.y[size_t(j)] == a.y[k] + dy))
            ++j;
        ASSERT_LT(j, b.n) << a.x[k] << "," << a.y[k];
        EXPECT_EQ(b.s[size_t(j)], a.s[k]);
        EXPECT_TRUE(std::equal(a.d.begin() + long(k * 64), a.d.begin() + long(k * 64 + 64),
                               b.d.begin() + long(j) * 64));
        ++checked;
    }
    EXPECT_GT(checked, 30);
}

TEST(Kvdescriptor, FlatWindowGivesZerosAndAPositiveScale)
{
    const int w = 40, h = 40;
    const std::vector<unsigned> I = integral_of(Grey(size_t(w * h), 200), w, h);
    int x = 20, y = 20, s = -7;
    std::vector<float> d(64, 1.0f);
    ASSERT_EQ(kvdescriptor(1, w, h, &x, &y, &s, I.data(), d.data()), 1);
    for (float v : d)
        EXPECT_EQ(v, 0.0f); // also not NaN: no division by a zero norm
    EXPECT_EQ(s, 7);
}

TEST(Kvdetect, RefusesBadArguments)
{
    const Grey g(100 * 100, 50);
    Points p = detect(g, 100, 100);
    EXPECT_EQ(
        kvdetect(1, 100, 100, 9, 0, 0, nullptr, 0, p.x.data(), p.y.data(), p.s.data(), p.d.data()),
        -3);
    for (auto [octaves, w, h, maxPoints, x0, expected] : {std::array{1, 0, 100, 9, 0, -3},
                                                          {1, 100, 100, -1, 0, -3},
                                                          {1, 100, 100, 9, -1, -3},
                                                          {1, 30000000, 1, 9, 0, -3},
                                                          {0, 100, 100, 9, 0, 0}})
        EXPECT_EQ(kvdetect(octaves, w, h, maxPoints, x0, 0, g.data(), 0, p.x.data(), p.y.data(),
                           p.s.data(), p.d.data()),
                  expected);
    // A point whose window leaves the image is refused before anything is written.
    const std::vector<unsigned> I = integral_of(Grey(40 * 40, 9), 40, 40);
    int x = 15, y = 20, s = 3;
    EXPECT_EQ(kvdescriptor(1, 40, 40, &x, &y, &s, I.data(), p.d.data()), -3);
    x = 25;
    EXPECT_EQ(kvdescriptor(1, 40, 40, &x, &y, &s, I.data(), p.d.data()), -3);
    EXPECT_EQ(s, 3);
}
