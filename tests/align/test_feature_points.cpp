// Feature points: box sums and the elimination solve against direct references, detection on
// blobs, flat, small and textured tiles, descriptors against a pixel-sum reading.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "align/projective.h"
#include "platform/bitmap.h"
#include "tests/align/align_test_util.h"
#include "tests/support/warp.h"

using aligntest::detect;
using aligntest::Points;
using testsupport::speckle_photo;

namespace {

using Grey = std::vector<uint8_t>;

// Grey values over columns x0..x1 and rows y0..y1, summed pixel by pixel.
int64_t pixel_sum(const Grey &g, int w, int x0, int y0, int x1, int y1)
{
    int64_t s = 0;
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x)
            s += g[size_t(y * w + x)];
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

// A Gaussian spot (sigma 2.5) of the given peak on a flat ground.
Grey blob(int w, int h, int cx, int cy, int ground, int peak)
{
    Grey g(size_t(w * h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            g[size_t(y * w + x)] = uint8_t(std::lround(
                ground +
                (peak - ground) * std::exp(-((x - cx) * (x - cx) + (y - cy) * (y - cy)) / 12.5)));
    return g;
}

// Dxx + Dyy of the size-15 box filter, from pixel sums.
int64_t laplacian15(const Grey &g, int w, int x, int y)
{
    return pixel_sum(g, w, x - 7, y - 4, x - 3, y + 4) +
           pixel_sum(g, w, x + 3, y - 4, x + 7, y + 4) -
           2 * pixel_sum(g, w, x - 2, y - 4, x + 2, y + 4) +
           pixel_sum(g, w, x - 4, y - 7, x + 4, y - 3) +
           pixel_sum(g, w, x - 4, y + 3, x + 4, y + 7) -
           2 * pixel_sum(g, w, x - 4, y - 2, x + 4, y + 2);
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
            const double v[4] = {hx, std::fabs(hx), hy, std::fabs(hy)};
            for (int k = 0; k < 4; ++k)
                d[size_t(cell * 4 + k)] += v[k];
        }
    double norm = 0;
    for (double v : d)
        norm += v * v;
    for (double &v : d)
        v /= std::sqrt(norm);
    return d;
}

} // namespace

TEST(Sommation, MatchesPixelSumsIncludingBoxesAtTheOrigin)
{
    const int w = 37, h = 29;
    Grey g(size_t(w * h));
    testsupport::SeededRandom rng(3);
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
    // From an inner base, a box away from that origin reads the usual four corners.
    EXPECT_EQ(sommation(1, 1, 4, 6, 2 * w + 3, w, I.data()), pixel_sum(g, w, 4, 3, 7, 8));
}

TEST(GaussElim, SolvesKnownSystemsAndRefusesSingularOnes)
{
    // b = A (1, -2, 3); the second system needs a row exchange at once, the last three are
    // singular (dependent rows, a zero column) or unusable (NaN).
    const double nan = std::nan("");
    for (auto [m, solvable] : {std::pair{std::array<double, 9>{2, 1, -1, -3, -1, 2, -2, 1, 2}, 1},
                               {{0, 2, 1, 1, 0, 3, 4, 1, 0}, 1},
                               {{1, 2, 3, 2, 4, 6, 1, 0, 1}, 0},
                               {{1, 0, 2, 3, 0, 1, 5, 0, 7}, 0},
                               {{1, 2, 3, 4, nan, 6, 7, 8, 10}, 0}}) {
        std::array<double, 9> a = m;
        std::array<double, 3> b{}, x{};
        for (size_t r = 0; r < 3; ++r)
            b[r] = m[r * 3] - 2 * m[r * 3 + 1] + 3 * m[r * 3 + 2];
        ASSERT_EQ(gauss_elim(3, a.data(), b.data(), x.data()), solvable ? 1 : -1);
        if (solvable) {
            EXPECT_NEAR(x[0], 1, 1e-12);
            EXPECT_NEAR(x[1], -2, 1e-12);
            EXPECT_NEAR(x[2], 3, 1e-12);
        }
    }
    double one = 1;
    EXPECT_EQ(gauss_elim(0, &one, &one, &one), -3);
}

TEST(Kvdetect, FlatAndSmallTilesGiveNoPoints)
{
    for (auto [w, h, textured, found] :
         {std::array{200, 200, 0, 0}, {42, 300, 1, 0}, {300, 42, 1, 0}, {300, 300, 1, 1}}) {
        const Grey g = textured ? speckle_photo(w, h, w * h / 150, 11) : Grey(size_t(w * h), 97);
        EXPECT_EQ(detect(g, w, h).n > 0, found == 1) << w << "x" << h;
    }
}

TEST(Kvdetect, BlobFoundAtItsCentreWithTheLaplaciansSign)
{
    // A bright spot has a negative Laplacian, a dark one a positive.
    for (auto [w, h, cx, cy, ground, peak] : {std::array{100, 90, 50, 40, 40, 220},
                                              {120, 100, 63, 47, 40, 220},
                                              {100, 90, 50, 40, 220, 40}}) {
        const Points p = detect(blob(w, h, cx, cy, ground, peak), w, h);
        int at = 0;
        while (at < p.n && !(p.x[size_t(at)] == cx && p.y[size_t(at)] == cy))
            ++at;
        ASSERT_LT(at, p.n) << cx << "," << cy;
        EXPECT_TRUE(p.s[size_t(at)] == 0 || (p.s[size_t(at)] < 0) == (peak > ground));
    }
}

TEST(Kvdetect, BudgetOfMaxPointsPlusOneIsSpreadOverTheTile)
{
    // A texture whose points crowd into the top rows: a budget taken in scan order would end
    // there. Kept points are points of the full list, in its order, and every cell of the 8 x 8
    // grid that has points keeps at least one when the budget allows one a cell.
    const int w = 320, h = 240;
    Grey g = speckle_photo(w, h, 1500, 5);
    for (size_t i = size_t(w) * 80; i < g.size(); ++i) // sparser below row 80
        if ((i / w) % 40 > 4)
            g[i] = 128;
    const Points all = detect(g, w, h, 1 << 20);
    ASSERT_GT(all.n, 200);
    for (int maxPoints : {0, 17, 63, 150}) {
        const Points p = detect(g, w, h, maxPoints);
        ASSERT_EQ(p.n, maxPoints + 1);
        std::set<int> cellsAll, cellsKept;
        size_t from = 0;
        for (size_t k = 0; k < size_t(p.n); ++k) {
            // the same point (position, scale, descriptor) further on in the full list
            while (from < size_t(all.n) && !(all.x[from] == p.x[k] && all.y[from] == p.y[k]))
                ++from;
            ASSERT_LT(from, size_t(all.n)) << maxPoints << " " << k;
            EXPECT_EQ(all.s[from], p.s[k]);
            EXPECT_TRUE(std::equal(p.d.begin() + ptrdiff_t(k * 64),
                                   p.d.begin() + ptrdiff_t(k * 64 + 64),
                                   all.d.begin() + ptrdiff_t(from * 64)));
            cellsKept.insert(p.y[k] * 8 / h * 8 + p.x[k] * 8 / w);
        }
        for (size_t k = 0; k < size_t(all.n); ++k)
            cellsAll.insert(all.y[k] * 8 / h * 8 + all.x[k] * 8 / w);
        if (maxPoints + 1 >= int(cellsAll.size())) {
            EXPECT_EQ(cellsKept, cellsAll) << maxPoints;
        }
        const int lowest = *std::max_element(p.y.begin(), p.y.begin() + p.n);
        if (maxPoints >= 17) { // not only the top rows
            EXPECT_GT(lowest, h * 3 / 4) << maxPoints;
        }
    }
}

TEST(Kvdetect, PointsInRowOrderWithSignedScalesAndPixelSumDescriptors)
{
    const int w = 320, h = 200;
    const Grey g = speckle_photo(w, h, 420, 9);
    const Points p = detect(g, w, h);
    ASSERT_GT(p.n, 50);
    for (size_t k = 0; k < size_t(p.n); ++k) {
        EXPECT_GE(p.y[k], k ? p.y[k - 1] - 2 : 0); // scan order, up to each point's refinement
        EXPECT_LE(std::abs(p.s[k]), 50);
        EXPECT_TRUE(p.s[k] == 0 || (p.s[k] < 0) == (laplacian15(g, w, p.x[k], p.y[k]) < 0)) << k;
        const auto ref = reference_descriptor(g, w, p.x[k], p.y[k]);
        for (size_t j = 0; j < 64; ++j) // exact integer sums, then one float rounding
            ASSERT_NEAR(p.d[k * 64 + j], ref[j], 1e-6) << k << " " << j;
    }
}

TEST(Kvdescriptor, FlatWindowGivesZerosAndBadArgumentsAreRefused)
{
    const Grey flat(40 * 40, 200);
    const std::vector<unsigned> I = integral_of(flat, 40, 40);
    int x = 20, y = 20, s = -7;
    std::vector<float> d(64, 1.0f);
    ASSERT_EQ(kvdescriptor(1, 40, 40, &x, &y, &s, I.data(), d.data()), 1);
    EXPECT_EQ(d, std::vector<float>(64, 0.0f)); // no division by a zero norm
    EXPECT_EQ(s, 7);
    for (int bad : {15, 25}) { // the window would leave the image
        x = bad;
        EXPECT_EQ(kvdescriptor(1, 40, 40, &x, &y, &s, I.data(), d.data()), -3);
    }
    Points p = detect(flat, 40, 40, 9);
    for (auto [octaves, w, h, maxPoints, x0, expected] : {std::array{1, 0, 40, 9, 0, -3},
                                                          {1, 40, 40, -1, 0, -3},
                                                          {1, 40, 40, 9, -1, -3},
                                                          {1, 30000000, 1, 9, 0, -3},
                                                          {0, 40, 40, 9, 0, 0}})
        EXPECT_EQ(kvdetect(octaves, w, h, maxPoints, x0, 0, flat.data(), 0, p.x.data(), p.y.data(),
                           p.s.data(), p.d.data()),
                  expected);
    EXPECT_EQ(
        kvdetect(1, 40, 40, 9, 0, 0, nullptr, 0, p.x.data(), p.y.data(), p.s.data(), p.d.data()),
        -3);
}

namespace {

// The detector read from its definition, without the project's code: integral image and box
// sums in 32-bit unsigned arithmetic, the three responses with a wrapping 32-bit product, the
// 3 x 3 x 3 extrema of the middle layer past +-10000, the quadratic refinement by Gaussian
// elimination with partial pivoting, offsets within 0.6, 0.6 and 0.5, positions in hundredths
// rounded half up. wrapped counts the products that passed the 32-bit range.
struct RefPoint {
    int x, y, scale;
    bool operator==(const RefPoint &) const = default;
};

std::vector<RefPoint> reference_detect(const Grey &g, int w, int h, int *wrapped,
                                       std::vector<double> *strengths = nullptr)
{
    std::vector<uint32_t> I(size_t(w * h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            I[size_t(y * w + x)] = uint32_t(g[size_t(y * w + x)]) +
                                   (x ? I[size_t(y * w + x - 1)] : 0u) +
                                   (y ? I[size_t((y - 1) * w + x)] : 0u) -
                                   (x && y ? I[size_t((y - 1) * w + x - 1)] : 0u);
    const auto at = [&](int x, int y) { return x < 0 || y < 0 ? 0u : I[size_t(y * w + x)]; };
    const auto box = [&](int x0, int y0, int x1, int y1) {
        return at(x1, y1) + at(x0 - 1, y0 - 1) - at(x0 - 1, y1) - at(x1, y0 - 1);
    };
    struct D {
        int32_t xx, yy, xy;
    };
    const auto derivatives = [&](int x, int y, int l) {
        const int o = (3 * l - 1) / 2, i = (l + 1) / 2, m = (l - 1) / 2, r = l - 1;
        const uint32_t xx = box(x - o, y - r, x - i, y + r) + box(x + i, y - r, x + o, y + r) -
                            2u * box(x - m, y - r, x + m, y + r);
        const uint32_t yy = box(x - r, y - o, x + r, y - i) + box(x - r, y + i, x + r, y + o) -
                            2u * box(x - r, y - m, x + r, y + m);
        const uint32_t xy = box(x - l, y - l, x - 1, y - 1) + box(x + 1, y + 1, x + l, y + l) -
                            box(x + 1, y - l, x + l, y - 1) - box(x - l, y + 1, x - 1, y + l);
        return D{int32_t(xx), int32_t(yy), int32_t(xy)};
    };
    const double norms[3] = {1, 7.72, 29.64};
    std::vector<float> layer[3];
    *wrapped = 0;
    for (int k = 0; k < 3; ++k) {
        layer[k].assign(size_t(w * h), 0.0f);
        for (int y = 20; y <= h - 21; ++y)
            for (int x = 20; x <= w - 21; ++x) {
                const D d = derivatives(x, y, 3 + 2 * k);
                const int64_t full = int64_t(d.xx) * d.yy;
                *wrapped += full != int64_t(int32_t(uint32_t(d.xx) * uint32_t(d.yy)));
                const int32_t product = int32_t(uint32_t(d.xx) * uint32_t(d.yy));
                layer[k][size_t(y * w + x)] =
                    float((double(product) - 0.81 * double(d.xy) * double(d.xy)) / norms[k]);
            }
    }
    const auto v = [&](int k, int x, int y) { return double(layer[k][size_t(y * w + x)]); };
    std::vector<RefPoint> points;
    for (int y = 21; y <= h - 22; ++y)
        for (int x = 21; x <= w - 22; ++x) {
            const double c = v(1, x, y);
            if (!(c >= 10000 || c <= -10000))
                continue;
            bool extremum = true;
            for (int k = 0; k < 3 && extremum; ++k)
                for (int dy = -1; dy <= 1 && extremum; ++dy)
                    for (int dx = -1; dx <= 1; ++dx)
                        if (!(k == 1 && dx == 0 && dy == 0) &&
                            !(c >= 10000 ? c > v(k, x + dx, y + dy) : c < v(k, x + dx, y + dy))) {
                            extremum = false;
                            break;
                        }
            if (!extremum)
                continue;
            double A[3][3] = {
                {v(1, x + 1, y) + v(1, x - 1, y) - 2 * c,
                 (v(1, x + 1, y + 1) - v(1, x - 1, y + 1) - v(1, x + 1, y - 1) +
                  v(1, x - 1, y - 1)) /
                     4,
                 (v(2, x + 1, y) - v(2, x - 1, y) - v(0, x + 1, y) + v(0, x - 1, y)) / 4},
                {0, v(1, x, y + 1) + v(1, x, y - 1) - 2 * c,
                 (v(2, x, y + 1) - v(2, x, y - 1) - v(0, x, y + 1) + v(0, x, y - 1)) / 4},
                {0, 0, v(2, x, y) + v(0, x, y) - 2 * c}};
            A[1][0] = A[0][1], A[2][0] = A[0][2], A[2][1] = A[1][2];
            double b[3] = {-(v(1, x + 1, y) - v(1, x - 1, y)) / 2,
                           -(v(1, x, y + 1) - v(1, x, y - 1)) / 2, -(v(2, x, y) - v(0, x, y)) / 2};
            bool solved = true;
            for (int col = 0; col < 3 && solved; ++col) {
                int p = col;
                for (int r = col + 1; r < 3; ++r)
                    if (std::fabs(A[r][col]) > std::fabs(A[p][col]))
                        p = r;
                if (A[p][col] == 0) {
                    solved = false;
                    break;
                }
                std::swap(A[p], A[col]);
                std::swap(b[p], b[col]);
                for (int r = col + 1; r < 3; ++r) {
                    const double f = A[r][col] / A[col][col];
                    for (int cc = col; cc < 3; ++cc)
                        A[r][cc] -= f * A[col][cc];
                    b[r] -= f * b[col];
                }
            }
            if (!solved)
                continue;
            double delta[3];
            for (int r = 2; r >= 0; --r) {
                double s = b[r];
                for (int cc = r + 1; cc < 3; ++cc)
                    s -= A[r][cc] * delta[cc];
                delta[r] = s / A[r][r];
            }
            if (!(std::fabs(delta[0]) <= 0.6 && std::fabs(delta[1]) <= 0.6 &&
                  std::fabs(delta[2]) <= 0.5))
                continue;
            const int X = 100 * x + int(100 * delta[0]), Y = 100 * y + int(100 * delta[1]);
            const int px = (X + 50) / 100, py = (Y + 50) / 100;
            const D d = derivatives(px, py, 5);
            const int magnitude = std::abs(int(100 * delta[2]));
            points.push_back({px, py, int64_t(d.xx) + d.yy < 0 ? -magnitude : magnitude});
            if (strengths)
                strengths->push_back(std::fabs(c));
        }
    return points;
}

} // namespace

TEST(Kvdetect, PointsOfARealPhotoFollowThePlainReading)
{
    // A real photo pins the constants: the response threshold, the 0.81 of the mixed term, the
    // layer norms, the offset bounds and the rounding of the positions. (Dxx x Dyy never leaves
    // the 32-bit range on 8-bit tiles: the largest Dxx and Dyy need opposite values on the same
    // pixels, so the wrapped and the full product agree here.)
    const int w = 320, h = 240;
    const Grey g =
        aligntest::real_crop("window_tripod_e995/HDRI_Sample_Scene_Window_-_06.jpg", w, h);
    if (g.empty())
        GTEST_SKIP() << "no real photo in " << HDR_TESTDATA_DIR;
    int wrapped = 0;
    const std::vector<RefPoint> expected = reference_detect(g, w, h, &wrapped);
    const Points p = detect(g, w, h, 1 << 20);
    std::vector<RefPoint> got;
    for (size_t k = 0; k < size_t(p.n); ++k)
        got.push_back({p.x[k], p.y[k], p.s[k]});
    EXPECT_GT(expected.size(), 100u);
    EXPECT_TRUE(got == expected) << got.size() << " points, expected " << expected.size();
    EXPECT_EQ(wrapped, 0);
    // A budget of one keeps the strongest response of the tile.
    std::vector<double> strengths;
    reference_detect(g, w, h, &wrapped, &strengths);
    const size_t strongest =
        size_t(std::max_element(strengths.begin(), strengths.end()) - strengths.begin());
    const Points one = detect(g, w, h, 0);
    ASSERT_EQ(one.n, 1);
    EXPECT_TRUE((RefPoint{one.x[0], one.y[0], one.s[0]} == expected[strongest]));
    // Rows in bands: the same points, scales and descriptors at every thread count, the budget's
    // spread included.
    for (int budget : {1 << 20, 40})
        for (int threads : {3, 8, 32}) {
            const Points a = detect(g, w, h, budget, 1), b = detect(g, w, h, budget, threads);
            ASSERT_EQ(a.n, b.n) << threads;
            EXPECT_TRUE(a.x == b.x && a.y == b.y && a.s == b.s && a.d == b.d) << threads;
        }
}
