// Transform utilities: residuals and their truncation, exact fits against known transforms, the
// simplex fits' stopping rules, and the descriptor distance, grey conversion and matrix product.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cmath>
#include <tuple>
#include <vector>

#include "align/detail/transform_fit.h"
#include "align/projective.h"
#include "align/transform_utils.h"
#include "tests/support/warp.h"

using align::detail::downhill_simplex;
using align::detail::SimplexFit;
using testsupport::apply8;
using testsupport::similarity8;
using testsupport::Transform8;
using F6 = std::array<float, 6>;

namespace {

struct Pairs {
    std::vector<int> x, y, X, Y;
    Pairs(std::initializer_list<std::array<int, 4>> list)
    {
        for (auto [a, b, c, d] : list)
            x.push_back(a), y.push_back(b), X.push_back(c), Y.push_back(d);
    }
    int n() const { return int(x.size()); }
};

// A 5 x 5 grid moved by (7, -3), and ndim + 1 vertices around the identity: vertex v > 0 moves
// parameter v - 1 by 2 (shifts), 0.01 (linear terms) or 0.5 (perspective terms).
const Pairs kGrid = [] {
    Pairs p{};
    for (int i = 0; i < 25; ++i) {
        const int x = 20 + 40 * (i / 5), y = 10 + 30 * (i % 5);
        p.x.push_back(x), p.y.push_back(y), p.X.push_back(x + 7), p.Y.push_back(y - 3);
    }
    return p;
}();

std::vector<float> identity_simplex(int ndim)
{
    std::vector<float> s(size_t(ndim * (ndim + 1)), 0.0f);
    for (int v = 0; v <= ndim; ++v) {
        s[size_t(v * ndim)] = s[size_t(v * ndim + 4)] = 1.0f;
        if (v > 0)
            s[size_t(v * ndim + v - 1)] += (v == 3 || v == 6) ? 2.0f : (v > 6 ? 0.5f : 0.01f);
    }
    return s;
}

int simplex(SimplexFit fit, int ndim, const Pairs &p, const std::vector<float> &start,
            std::vector<float> &result, int *passes)
{
    result.resize(size_t(ndim));
    return downhill_simplex(fit, ndim, p.n(), p.x.data(), p.y.data(), p.X.data(), p.Y.data(),
                            start.data(), result.data(), passes);
}

} // namespace

TEST(CalcDiffTrans, TruncatedSumsOfTheAffineOrProjectiveMapping)
{
    std::vector<float> id(8, 9.0f);
    ASSERT_EQ(make_identity(id.data()), 0);
    const std::vector<float> shift04{1, 0, 0.4f, 0, 1, 0, 0, 0},
        table{1e6f, 1e6f, 1e6f, 1e6f, 1e6f, 1e6f, 1e6f, 1e6f, 2, 0.5f, -3, 0.25f, 1, 4, 0, 0},
        persp{1, 0, 0, 0, 1, 0, 1000, -500}; // q = x / 100 - y / 200 + 1
    struct Case {
        const std::vector<float> *t;
        int index;
        Pairs p;
        int affine, full;
    } cases[] = {
        {&id, 0, {{3, 4, 3, 4}, {100, -7, 100, -7}}, 0, 0},
        {&shift04, 0, {{0, 0, 0, 0}, {10, 20, 10, 20}}, 0, 0},                         // 0.4 + 0.4
        {&shift04, 0, {{0, 0, 0, 0}, {1, 2, 1, 2}, {3, 0, 3, 0}, {9, 9, 9, 9}}, 1, 1}, // 1.6
        // 6.25 + (18 + 19) + 3 + (357 + 89) = 492.25, read from index 8.
        {&table,
         8,
         {{1, 2, 0, 0}, {-4, 6, 10, -10}, {8, -2, 12, 7}, {300, 200, 340, 190}},
         492,
         492},
        // (100, 0) -> (50, 0) against (60, 5); (0, 100) -> (0, 200) against (0, 0).
        {&persp, 0, {{100, 0, 60, 5}, {0, 100, 0, 0}}, 45 + 100, 15 + 200},
    };
    for (const Case &c : cases) {
        const auto args = [&c](auto f) {
            return f(8, c.p.n(), c.t->data(), c.index, c.p.x.data(), c.p.y.data(), c.p.X.data(),
                     c.p.Y.data());
        };
        EXPECT_EQ(args(calc_diff4trans), c.affine) << c.affine;
        EXPECT_EQ(args(calc_diff8trans), c.full) << c.full;
    }
    // The affine layout converted keeps its residual; g and h are cleared.
    const Pairs &p = cases[3].p;
    std::vector<float> full(8, 7.0f);
    ASSERT_EQ(convert_trans_6to8(table.data() + 8, full.data()), 0);
    EXPECT_EQ(full, std::vector<float>(table.begin() + 8, table.end()));
    EXPECT_EQ(calc_diff8trans(8, 4, full.data(), 0, p.x.data(), p.y.data(), p.X.data(), p.Y.data()),
              492);
    // No pairs, bad arguments, and sums that are not finite or exceed an int (ranked worst).
    const std::vector<float> nan{NAN, 0, 0, 0, 1, 0, 0, 0}, far{1, 0, 1e30f, 0, 1, 0, 0, 0};
    for (auto *f : {calc_diff4trans, calc_diff8trans}) {
        EXPECT_EQ(f(8, 0, nullptr, 0, nullptr, nullptr, nullptr, nullptr), 0);
        EXPECT_EQ(f(8, 1, id.data(), -1, p.x.data(), p.y.data(), p.X.data(), p.Y.data()), -3);
        EXPECT_EQ(f(8, 1, id.data(), 0, p.x.data(), nullptr, p.X.data(), p.Y.data()), -3);
        for (const auto *t : {&nan, &far})
            EXPECT_EQ(f(8, 1, t->data(), 0, p.x.data(), p.y.data(), p.X.data(), p.Y.data()),
                      INT_MAX);
    }
    EXPECT_EQ(convert_trans_6to8(nullptr, full.data()), -3);
}

TEST(TrRot, RotationsOfEitherSignAndPastNinetyDegrees)
{
    const FloatPoint p1{12, -5}, p2{-30, 41};
    for (double degrees : {30.0, -30.0, 120.0, -120.0, 180.0})
        for (double scale : {1.0, 0.5}) { // only the direction of q1 - q2 counts
            // q1 = R p1 + t and q1 - q2 = scale R (p1 - p2), R an explicit rotation matrix.
            const Transform8 r = similarity8(degrees, 1, 0, 0, 17.5, -8.25);
            double X1, Y1;
            apply8(r, p1.x, p1.y, &X1, &Y1);
            const double ux = p1.x - p2.x, uy = p1.y - p2.y;
            const FloatPoint q1{float(X1), float(Y1)},
                q2{float(X1 - scale * (r[0] * ux + r[1] * uy)),
                   float(Y1 - scale * (r[3] * ux + r[4] * uy))};
            F6 got{};
            ASSERT_EQ(trRot(got.data(), p1, p2, q1, q2), 1) << degrees;
            // Single precision on coordinates up to 50: 1e-5 on cos and sin, 1e-3 on shifts.
            for (size_t i = 0; i < 6; ++i)
                EXPECT_NEAR(got[i], r[i], i % 3 == 2 ? 1e-3 : 1e-5) << degrees << " " << scale;
        }
    // Degenerate: one vertical or horizontal line, |s| = 2, NaN, an overflowing shift.
    const std::array<FloatPoint, 4> bad[] = {
        {{{5, 1}, {5, 9}, {0, 0}, {3, 4}}},   {{{1, 5}, {9, 5}, {0, 0}, {3, 4}}},
        {{{0, 0}, {1, 1}, {0, 0}, {2, -2}}},  {{{0, 0}, {1, 1}, {0, 0}, {-2, 2}}},
        {{{NAN, 0}, {1, 1}, {0, 0}, {1, 1}}}, {{{0, 0}, {1, 1}, {1e38f, 3e38f}, {1, 1}}}};
    for (const auto &[a, b, c, d] : bad) {
        F6 got{9, 9, 9, 9, 9, 9};
        EXPECT_EQ(trRot(got.data(), a, b, c, d), -1) << a.x << " " << c.x;
        EXPECT_EQ(got, (F6{9, 9, 9, 9, 9, 9}));
    }
    EXPECT_EQ(trRot(nullptr, {0, 0}, {1, 1}, {0, 0}, {1, 1}), -3);
}

TEST(CalcTransform3, RecoversKnownAffinesAndRefusesCollinearPoints)
{
    const FloatPoint s[3] = {{3, 7}, {120, -15}, {-40, 90}};
    for (const Transform8 &t :
         {Transform8{1, 0, 0, 0, 1, 0, 0, 0}, Transform8{1.5, -0.25, 10, 0.5, 0.75, -4, 0, 0},
          similarity8(-120, 0.9, 50, 40, 6, -2)}) {
        FloatPoint q[3];
        for (int k = 0; k < 3; ++k) {
            double X, Y;
            apply8(t, s[k].x, s[k].y, &X, &Y);
            q[k] = {float(X), float(Y)};
        }
        F6 got{};
        ASSERT_EQ(calc_transform3(got.data(), s[0], q[0], s[1], q[1], s[2], q[2]), 1);
        for (size_t i = 0; i < 6; ++i) // targets rounded to float: ~1e-5 on 100
            EXPECT_NEAR(got[i], t[i], 1e-4) << i;
    }
    const FloatPoint q{1, 2};
    for (auto [a, b, c] : {std::array<FloatPoint, 3>{{{0, 0}, {10, 10}, {20, 20}}},
                           {{{5, 3}, {5, 3}, {40, 1}}},
                           {{{0, 0}, {1, 0}, {0, NAN}}}}) {
        F6 got{9, 9, 9, 9, 9, 9};
        EXPECT_EQ(calc_transform3(got.data(), a, q, b, q, c, q), -1);
        EXPECT_EQ(got, (F6{9, 9, 9, 9, 9, 9}));
    }
    EXPECT_EQ(calc_transform3(nullptr, {0, 0}, q, {1, 0}, q, {0, 1}, q), -3);
}

TEST(DownhillSimplex, StopsAndFirstStepsOnHandTracedSimplices)
{
    // One pair from (0, 0), so only c and f count: vertices given as (c, f), a = e = 1. The
    // projective member gets two more vertices, copies of 1 and 2 with g = 0.5.
    struct Case {
        std::array<float, 14> v; // (c, f) of vertices 0..6
        int X, passes;
        float expectedC, expectedF;
        bool bothMembers;
    } cases[] = {
        // Equal residuals (1): vertex 0.
        {{1.5f, 0, 0, 1.5f, -1.5f, 0, 0, -1.5f, 1, 0.5f, 0.5f, 1, -1, -0.5f}, 0, 1, 1.5f, 0, true},
        // A perfect vertex ends the fit after the pass that ranks it.
        {{3, 0, 2, 1, 0, -2, 0.25f, 0.5f, -1, 1, 1, 4, -3, -1}, 0, 1, 0.25f, 0.5f, true},
        // Expansion: hi (0, 0), m = (1, 0); R = (2, 0) beats lo, so E = (3, 0) replaces hi.
        {{0, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0}, 3, 2, 3, 0, false},
        // No expansion when E only ties lo: X = 2, R = (2, 0) scores 0, E = (3, 0) scores 1 = r_lo,
        // so R replaces hi and ends the fit the pass after.
        {{0, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0}, 2, 2, 2, 0, false},
        // Reflection, then shrink: hi v5, m = (1, 8.5 / 6); R = (3.5, 0.08) is no better than
        // next-hi and replaces hi; K = (2.25, 0.75) gains nothing: all move halfway to lo v4,
        // and v3 lands on (0.125, 0.375).
        {{0.5f, 3, 2, 1, 0.25f, 3.5f, -1.75f, 1.5f, 2, -0.75f, -1.5f, 2.75f, 3, 0.25f},
         0,
         2,
         0.125f,
         0.375f,
         false},
    };
    for (const Case &c : cases)
        for (auto [fit, ndim] : {std::pair{SimplexFit::Affine, 6}, {SimplexFit::Projective, 8}}) {
            if (ndim == 8 && !c.bothMembers)
                continue;
            std::vector<float> start, got;
            for (int v = 0; v <= ndim; ++v) {
                const size_t k = size_t(v < 7 ? v : v - 6);
                const float p[8] = {1, 0, c.v[2 * k], 0, 1, c.v[2 * k + 1], v < 7 ? 0.0f : 0.5f, 0};
                start.insert(start.end(), p, p + ndim);
            }
            const float expected[8] = {1, 0, c.expectedC, 0, 1, c.expectedF, 0, 0};
            int passes = 0;
            ASSERT_EQ(simplex(fit, ndim, Pairs{{0, 0, c.X, 0}}, start, got, &passes), 1);
            EXPECT_EQ(passes, c.passes) << c.X << " " << c.v[0];
            EXPECT_EQ(got, std::vector<float>(expected, expected + ndim)) << c.X << " " << c.v[0];
        }
}

TEST(DownhillSimplex, ProjectiveFitFindsAShiftAffineFitStopsAtFifteenPasses)
{
    std::vector<float> full(8), affine(6), limited;
    ASSERT_EQ(find_transform(8, 25, kGrid.x.data(), kGrid.y.data(), kGrid.X.data(), kGrid.Y.data(),
                             identity_simplex(8).data(), full.data()),
              1);
    // Integer residuals have plateaus: the fit ends within half a pixel at the grid's corners
    // (the identity is 7 + 3 pixels off at every pair).
    for (auto [x, y] : {std::pair{20, 10}, {180, 10}, {20, 130}, {180, 130}}) {
        float X, Y;
        map_point_stored(full.data(), float(x), float(y), &X, &Y);
        EXPECT_NEAR(X, x + 7, 0.5) << x << "," << y;
        EXPECT_NEAR(Y, y - 3, 0.5) << x << "," << y;
    }
    int passes = 0;
    ASSERT_EQ(simplex(SimplexFit::Projective, 8, kGrid, identity_simplex(8), limited, &passes), 1);
    EXPECT_GT(passes, 15);
    // The same problem is not solved in 15 passes, where the affine member stops.
    ASSERT_EQ(simplex(SimplexFit::Affine, 6, kGrid, identity_simplex(6), limited, &passes), 1);
    EXPECT_EQ(passes, 15);
    ASSERT_EQ(find_affine(6, 25, kGrid.x.data(), kGrid.y.data(), kGrid.X.data(), kGrid.Y.data(),
                          identity_simplex(6).data(), affine.data()),
              1);
    EXPECT_EQ(affine, limited);
    // Bad arguments: another ndim, a negative count, null pointers; result untouched.
    const std::vector<float> s = identity_simplex(9);
    std::vector<float> result(9, 9.0f);
    for (auto [fit, ndim, n, pairs, start] : {std::tuple{&find_affine, 8, 25, &kGrid.x, &s},
                                              {&find_transform, 6, 25, &kGrid.x, &s},
                                              {&find_affine, 6, -1, &kGrid.x, &s},
                                              {&find_transform, 8, 25, nullptr, &s},
                                              {&find_affine, 6, 25, &kGrid.x, nullptr}})
        EXPECT_EQ(fit(ndim, n, pairs ? pairs->data() : nullptr, kGrid.y.data(), kGrid.X.data(),
                      kGrid.Y.data(), start ? start->data() : nullptr, result.data()),
                  -3);
    EXPECT_EQ(result, std::vector<float>(9, 9.0f));
}

TEST(SmallHelpers, DescriptorDistanceGreyAndMatrixProduct)
{
    const float A[] = {9, 1, 2, 3}, B[] = {9, 9, 0.5f, 2.5f, 4.5f};
    float d = 7;
    EXPECT_EQ(descr_diff5(A, 1, B, 2, 3, &d), 3);
    EXPECT_EQ(d, 2.75f); // 0.5^2 + 0.5^2 + 1.5^2
    EXPECT_EQ(descr_diff5(nullptr, 0, B, 0, 0, &d), 0);
    EXPECT_EQ(d, 0.0f);
    EXPECT_EQ(descr_diff5(A, -1, B, 0, 2, &d), -3);

    // spp 1 reproduces the samples (from the second photo's offset, and high bytes at 16 bits);
    // spp 3 weighs 54, 183, 19; spp 4 reads samples 0, 1, 3; spp 2 samples 0, 0, 1.
    const std::vector<uint8_t> mono{1, 2, 3, 0, 17, 255},
        rgb{255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 20, 30}, rgba{10, 20, 200, 30}, two{100, 200};
    const std::vector<uint16_t> mono16{0x00FF, 0x11AB, 0xFFFF}, rgb16{0x0AFF, 0x1480, 0x1E00};
    struct Case {
        int width, spp, bps, offset;
        const void *src;
        std::vector<uint8_t> grey;
    } cases[] = {{3, 1, 8, 3, mono.data(), {0, 17, 255}},
                 {3, 1, 16, 0, mono16.data(), {0, 17, 255}},
                 {4, 3, 8, 0, rgb.data(), {53, 182, 18, 18}},
                 {1, 3, 16, 0, rgb16.data(), {18}},
                 {1, 4, 8, 0, rgba.data(), {18}},
                 {1, 2, 8, 0, two.data(), {107}}};
    for (const Case &c : cases) {
        std::vector<uint8_t> grey(size_t(c.width), 7);
        ASSERT_EQ(greyscale(c.width, 1, c.spp, c.bps, c.offset, c.src, grey.data()), 1);
        EXPECT_EQ(grey, c.grey) << c.spp << " " << c.bps;
    }
    std::vector<uint8_t> grey(3, 7);
    EXPECT_EQ(greyscale(3, 1, 1, 12, 0, mono.data(), grey.data()), 0);
    EXPECT_EQ(greyscale(3, 0, 1, 8, 0, mono.data(), grey.data()), 0);
    EXPECT_EQ(greyscale(3, 1, 1, 8, -1, mono.data(), grey.data()), -3);
    EXPECT_EQ(greyscale(1 << 30, 1 << 30, 32, 16, 0, mono.data(), grey.data()), -3);
    EXPECT_EQ(grey, std::vector<uint8_t>(3, 7));

    // A x B, not B x A (which is 23, 34, 31, 46).
    const float M[] = {1, 2, 3, 4}, N[] = {5, 6, 7, 8};
    float C[4] = {9, 9, 9, 9};
    EXPECT_EQ(matrix_mult(0, M, N, C), 0);
    EXPECT_EQ(matrix_mult(2, M, nullptr, C), -3);
    EXPECT_EQ(C[0], 9.0f);
    ASSERT_EQ(matrix_mult(2, M, N, C), 2);
    EXPECT_EQ(std::vector<float>(C, C + 4), (std::vector<float>{19, 22, 43, 50}));
}
