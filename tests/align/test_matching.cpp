// Matching and the projective fit: the run context, the least-squares adapter, four-pair fits,
// pairing rules, the sampled fit on planted transforms (noise, outliers,
// threads), and the whole chain on warped and shifted photos.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <thread>

#include "align/lm_adapter.h"
#include "align/projective.h"
#include "tests/align/align_test_util.h"
#include "tests/support/bracket_generator.h"
#include "tests/support/warp.h"

using aligntest::detect;
using aligntest::match;
using aligntest::PairSet;
using aligntest::Points;
using testsupport::apply8;
using testsupport::shift8;
using testsupport::similarity8;
using testsupport::Transform8;

namespace {

using Params = std::array<float, 8>;

// n pairs spread over the frame, mapped by t with Gaussian noise of sigma pixels; pairs k with
// k mod 10 < outliersPer10 get a target up to 40 pixels off instead.
PairSet planted_pairs(const Transform8 &t, int n, int w, int h, double sigma, int outliersPer10,
                      uint64_t seed)
{
    testsupport::SeededRandom rng(seed);
    PairSet p;
    for (int k = 0; k < n; ++k) {
        const int x = 10 + rng.below(w - 20), y = 10 + rng.below(h - 20);
        double X, Y;
        apply8(t, x, y, &X, &Y);
        if (k % 10 < outliersPer10)
            X = x + 80 * rng.uniform() - 40, Y = y + 80 * rng.uniform() - 40;
        p.x1.push_back(x), p.y1.push_back(y), p.d.push_back(float(0.05 + 0.5 * rng.uniform()));
        p.x2.push_back(int(std::lround(X + rng.normal(sigma))));
        p.y2.push_back(int(std::lround(Y + rng.normal(sigma))));
    }
    return p;
}

// find_at9 in a fresh run.
std::pair<float, Params> fit(const PairSet &p, int w, int h)
{
    AlignContext ctx;
    align_context_start(&ctx, w, h);
    Params t{};
    const float norm = find_at9(&ctx, w, h, p.n(), p.x1.data(), p.y1.data(), p.x2.data(),
                                p.y2.data(), p.d.data(), t.data(), 1);
    return {norm, t};
}

// Largest distance between the images of the frame's corners and centre under a and b.
double frame_error(const Params &a, const Transform8 &b, int w, int h)
{
    double worst = 0;
    for (int k = 0; k < 5; ++k) {
        const double x = k == 4 ? w / 2.0 : w * (k % 2), y = k == 4 ? h / 2.0 : h * (k / 2);
        double ax, ay, bx, by;
        map_point(a.data(), x, y, &ax, &ay);
        apply8(b, x, y, &bx, &by);
        worst = std::max(worst, std::hypot(ax - bx, ay - by));
    }
    return worst;
}

const Params kIdentity{1, 0, 0, 0, 1, 0, 0, 0};

} // namespace

TEST(AlignContext, BudgetFollowsTheSizeAndTheSequenceRestartsEveryRun)
{
    AlignContext ctx;
    for (auto [w, h, budget] : {std::array{100, 100, 20}, {1280, 1280, 160}, {0, -5, 20}}) {
        align_context_start(&ctx, w, h);
        EXPECT_EQ(ctx.maxMatchesOptimized, budget) << w << "x" << h;
    }
    std::vector<int> first(1000);
    for (int &v : first)
        v = align_rand(&ctx);
    EXPECT_GT(*std::max_element(first.begin(), first.end()), 1 << 30); // the whole 31 bits
    align_context_start(&ctx, 320, 240);
    for (int v : first)
        ASSERT_TRUE(v >= 0 && align_rand(&ctx) == v);
}

TEST(Lmmin, FitsAndReportsTheNormAtTheReturnedParameters)
{
    // y = p0 exp(p1 t) at t = 0..9, disturbed by +-0.05.
    std::array<double, 10> y;
    for (int k = 0; k < 10; ++k)
        y[size_t(k)] = 3 * std::exp(-0.5 * k) + 0.05 * ((k % 3) - 1);
    const auto model = [](const double *par, int m, const void *data, double *fvec, int *) {
        for (int k = 0; k < m; ++k)
            fvec[k] = static_cast<const double *>(data)[k] - par[0] * std::exp(par[1] * k);
    };
    double par[2] = {1, 0};
    lm_status_struct status;
    lmmin(2, par, 10, y.data(), model, &lm_control_double, &status);
    EXPECT_TRUE(status.outcome >= 1 && status.outcome <= 4) << status.outcome;
    EXPECT_NEAR(par[0], 3, 0.1);
    EXPECT_NEAR(par[1], -0.5, 0.05);
    double direct = 0;
    for (int k = 0; k < 10; ++k)
        direct += std::pow(y[size_t(k)] - par[0] * std::exp(par[1] * k), 2);
    EXPECT_NEAR(status.fnorm, std::sqrt(direct), 1e-12);
    lm_control_struct tight = lm_control_double; // a spent budget
    tight.maxfev = 3;
    par[0] = 1, par[1] = 0;
    lmmin(2, par, 10, y.data(), model, &tight, &status);
    EXPECT_EQ(status.outcome, 5);
}

TEST(CalcTransform4, ExactPairsGiveTheirTransform)
{
    // An integer affine map, and a projective one (q = x / 100 + 1) with whole images.
    for (auto [t, src] :
         {std::pair{Transform8{2, 0, 5, 0, 2, -3, 0, 0},
                    Params{10, 12, 200, 30, 40, 150, 180, 170}},
          {Transform8{1, 0, 0, 0, 1, 0, 1000, 0}, Params{0, 0, 100, 0, 0, 100, 100, 100}}}) {
        float pairs[16];
        for (int k = 0; k < 4; ++k) {
            double X, Y;
            apply8(t, src[size_t(2 * k)], src[size_t(2 * k + 1)], &X, &Y);
            pairs[4 * k] = src[size_t(2 * k)], pairs[4 * k + 1] = src[size_t(2 * k + 1)];
            pairs[4 * k + 2] = float(X), pairs[4 * k + 3] = float(Y);
        }
        Params got{};
        ASSERT_EQ(calc_transform4(pairs, got.data()), 1);
        for (size_t i = 0; i < 8; ++i) // g and h are carried x 100000
            EXPECT_NEAR(got[i], t[i], i >= 6 ? 1e-2 : 1e-6) << i;
    }
    // Collinear first three pairs: no affine start, transform untouched; unusable coordinates.
    float line[16] = {0, 0, 1, 1, 10, 10, 11, 11, 20, 20, 21, 21, 5, 40, 6, 41};
    Params got{9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_EQ(calc_transform4(line, got.data()), -1);
    EXPECT_EQ(got[0], 9.0f);
    for (float bad : {std::numeric_limits<float>::quiet_NaN(), 3e9f}) {
        line[3] = bad;
        EXPECT_EQ(calc_transform4(line, got.data()), -3);
    }
    // A fit that sends a frame corner to infinity (q = 0 at (1000, 0)) counts as failed.
    EXPECT_TRUE(transform_is_finite(kIdentity.data(), 1000, 800));
    for (const Params &t : {Params{1, 0, 0, 0, 1, 0, -100, 0}, {1, 0, NAN, 0, 1, 0, 0, 0}})
        EXPECT_FALSE(transform_is_finite(t.data(), 1000, 800));
}

TEST(FindPaires, WindowSharedPointRatioScaleBandAndOrder)
{
    // Points (x, y, scale, d1, d2): descriptor e0 + (d1 e1 + d2 e2) / 10. Window |dx| <= shift,
    // |dy| <= shift x 0.8. Expected pairs (x1, y1, x2, y2) in output order.
    using Pts = std::vector<std::array<int, 5>>;
    struct Case {
        int maxPairs, shift;
        Pts a, b;
        std::vector<std::array<int, 4>> pairs;
    };
    const Case cases[] = {
        // The window includes its bounds.
        {5, 10, {{100, 100, 0, 0, 0}}, {{110, 108, 0, 1, 0}}, {{100, 100, 110, 108}}},
        {5, 10, {{100, 100, 0, 0, 0}}, {{90, 92, 0, 1, 0}}, {{100, 100, 90, 92}}},
        {5, 10, {{100, 100, 0, 0, 0}}, {{111, 100, 0, 1, 0}, {100, 109, 0, 0, 0}}, {}},
        // Two A points nearest to one B point: the smaller distance wins, the first on ties.
        {5, 30, {{100, 100, 0, 3, 0}, {140, 100, 0, 2, 0}}, {{120, 100}}, {{140, 100, 120, 100}}},
        {5, 30, {{100, 100, 0, 3, 0}, {140, 100, 0, -3, 0}}, {{120, 100}}, {{100, 100, 120, 100}}},
        // Ratio: 0.25 against 0.36 is ambiguous, against 1.0 a match; the runner-up only counts
        // when it comes before the nearest in B's order.
        {5, 30, {{100, 100}}, {{102, 99, 0, 0, 6}, {101, 100, 0, 5, 0}}, {}},
        {5, 30, {{100, 100}}, {{102, 99, 0, 0, 10}, {101, 100, 0, 5, 0}}, {{100, 100, 101, 100}}},
        {5, 30, {{100, 100}}, {{101, 100, 0, 5, 0}, {102, 101, 0, 0, 6}}, {{100, 100, 101, 100}}},
        // Scale band +-50: a B point above it before the match does not end the scan.
        {5,
         30,
         {{100, 100, -30}},
         {{100, 95, 40}, {100, 101, -25, 1}, {100, 102, 21}},
         {{100, 100, 100, 101}}},
        // Nearest first, capped at the budget.
        {2,
         10,
         {{100, 100}, {300, 100}, {500, 100}},
         {{102, 101, 0, 3}, {302, 101, 0, 1}, {502, 101, 0, 2}},
         {{300, 100, 302, 101}, {500, 100, 502, 101}}},
    };
    for (const Case &c : cases) {
        Points a, b;
        for (auto [list, pts] : {std::pair{&a, &c.a}, {&b, &c.b}})
            for (auto [x, y, scale, d1, d2] : *pts) {
                list->x.push_back(x), list->y.push_back(y), list->s.push_back(scale), ++list->n;
                std::vector<float> d(64, 0.0f);
                d[0] = 1, d[1] = 0.1f * float(d1), d[2] = 0.1f * float(d2);
                list->d.insert(list->d.end(), d.begin(), d.end());
            }
        const PairSet p = match(a, b, c.maxPairs, c.shift, c.shift * 8 / 10);
        std::vector<std::array<int, 4>> got;
        for (size_t k = 0; k < size_t(p.n()); ++k)
            got.push_back({p.x1[k], p.y1[k], p.x2[k], p.y2[k]});
        EXPECT_EQ(got, c.pairs) << "case " << (&c - cases);
    }
    int out[2];
    float dist[2];
    EXPECT_EQ(find_paires(-1, 10, 10, 0, out, out, out, dist, 0, out, out, out, dist, out, out, out,
                          out, dist),
              -3);
    EXPECT_EQ(find_paires(2, 10, 10, 1, out, out, out, dist, 1, out, out, out, dist, out, out, out,
                          out, nullptr),
              -3);
}

TEST(FindAt9, FewPairsFewInliersOrLargeShiftsGiveTheIdentity)
{
    // n consistent pairs give a best count of n - 1 (the last pair is not sampled): 5 is
    // accepted, 4 refused. At 800 x 400 a sample needs |c| and |f| within a fifth of the width,
    // the final check |f| within a fifth of the height.
    for (auto [n, w, h, dx, dy, accepted] : {std::array{1, 640, 480, 3, -2, 0},
                                             {2, 640, 480, 3, -2, 0},
                                             {5, 640, 480, 3, -2, 0},
                                             {6, 640, 480, 3, -2, 1},
                                             {60, 800, 400, 200, 0, 0},
                                             {60, 800, 400, 0, 120, 0},
                                             {60, 800, 400, 0, 60, 1}}) {
        const auto [norm, t] = fit(planted_pairs(shift8(dx, dy), n, w, h, 0, 0, 17), w, h);
        EXPECT_EQ(norm >= 0, accepted == 1) << n << ": " << dx << "," << dy;
        EXPECT_EQ(t == kIdentity, accepted == 0);
        if (accepted) {
            EXPECT_LT(frame_error(t, shift8(dx, dy), w, h), 1e-3);
        }
    }
    AlignContext ctx;
    align_context_start(&ctx, 10, 10);
    float t[8];
    EXPECT_EQ(find_at9(&ctx, 10, 10, 3, nullptr, nullptr, nullptr, nullptr, nullptr, t, 1), -3.0f);
}

TEST(FindAt9, RecoversPlantedTransformsFromNoisyPairsWithOutliers)
{
    for (const Transform8 &t :
         {shift8(12, -7), similarity8(0.6, 1.008, 400, 300, -9, 5, 0.4, -0.3)}) {
        // Half-pixel noise on the inliers, 30 % of the pairs up to 40 pixels off: least squares
        // over dozens of inliers lands well within a pixel.
        const auto [norm, got] = fit(planted_pairs(t, 120, 800, 600, 0.5, 3, 99), 800, 600);
        ASSERT_GE(norm, 0);
        EXPECT_LT(frame_error(got, t, 800, 600), 1.0);
    }
}

TEST(FindAt9, SameInputSameOutputRepeatedAndConcurrent)
{
    const PairSet p = planted_pairs(similarity8(-0.4, 0.995, 400, 300, 4, 9, -0.2, 0.1), 150, 800,
                                    600, 1.0, 3, 7);
    const auto first = fit(p, 800, 600);
    ASSERT_GE(first.first, 0);
    std::vector<std::pair<float, Params>> results(4);
    std::vector<std::thread> threads;
    for (auto &r : results)
        threads.emplace_back([&r, &p] { r = fit(p, 800, 600); });
    for (std::thread &th : threads)
        th.join();
    results.push_back(fit(p, 800, 600));
    for (const auto &r : results)
        EXPECT_EQ(r, first);
}

TEST(FeatureAlignment, WarpedAndShiftedPhotosGiveBackTheirMotion)
{
    // A noisy texture under a projective warp: the chain recovers it within a pixel (whole-pixel
    // feature positions, fitted over many pairs).
    const int w = 640, h = 480;
    const Transform8 t = similarity8(0.8, 1.01, w / 2.0, h / 2.0, 6, -4, 0.3, -0.2);
    std::vector<uint8_t> a = testsupport::speckle_photo(w, h, 900, 31);
    std::vector<uint8_t> b = testsupport::warp_photo(a, w, h, 1, t);
    testsupport::add_noise(a, 2.0, 1);
    testsupport::add_noise(b, 2.0, 2);
    const PairSet p = match(detect(a, w, h), detect(b, w, h), 200, w / 10, h / 10);
    ASSERT_GT(p.n(), 50);
    const auto [norm, got] = fit(p, w, h);
    ASSERT_GE(norm, 0);
    EXPECT_LT(frame_error(got, t, w, h), 1.0);
    // The rendered scene moved by whole pixels: every pair carries the shift exactly.
    const auto scene = testsupport::render_photo(testsupport::make_radiance_map(480, 360), 2, 8, 1);
    const PairSet s = match(
        detect(scene, 480, 360),
        detect(testsupport::warp_photo(scene, 480, 360, 1, shift8(9, -5)), 480, 360), 50, 20, 20);
    ASSERT_GE(s.n(), 2);
    for (int k = 0; k < s.n(); ++k)
        EXPECT_TRUE(s.x2[size_t(k)] - s.x1[size_t(k)] == 9 &&
                    s.y2[size_t(k)] - s.y1[size_t(k)] == -5);
}

TEST(FindAt9, ShiftBoundsOfTheSamplesAndTheCheck)
{
    // A sample is plausible with |c| and |f| at most a fifth of the width; the check transform
    // then needs |f| within a fifth of the height. 800 x 600: 160 and 120 pixels. (The sample
    // bounds on a, b, d and e do not bind the result: the exact fit through four whole-pixel
    // pairs can be wild enough to pass them, and the refinement then finds the true motion.)
    const int w = 800, h = 600;
    for (auto [c, f, accepted] : {std::array{-150, 0, 1},
                                  {-170, 0, 0},
                                  {155, 0, 1},
                                  {0, 110, 1},
                                  {0, -118, 1},
                                  {0, 130, 0},
                                  {0, -150, 0}}) {
        const Transform8 t{1, 0, double(c), 0, 1, double(f), 0, 0};
        EXPECT_EQ(fit(planted_pairs(t, 60, w, h, 0, 0, 5), w, h).first >= 0, accepted == 1)
            << c << "," << f;
    }
}

TEST(StepAccepted, APairTwoPixelsOffDoesNotAgree)
{
    // 20 pairs of a shift: 9 exact, 11 moved as given. A pair agrees below a squared error of 4:
    // moved by exactly 2 pixels it does not, and 9 agreeing pairs are too few (12 needed).
    for (auto [dx, dy, accepted] : {std::array{0, 0, 1}, {2, 0, 0}, {0, -2, 0}, {1, 1, 1}}) {
        PairSet p = planted_pairs(shift8(5, -3), 20, 640, 480, 0, 0, 23);
        for (size_t k = 9; k < 20; ++k)
            p.x2[k] += dx, p.y2[k] += dy;
        const float t[8] = {1, 0, 5, 0, 1, -3, 0, 0};
        EXPECT_EQ(
            step_accepted(t, 640, 480, p.n(), p.x1.data(), p.y1.data(), p.x2.data(), p.y2.data()),
            accepted == 1)
            << dx << "," << dy;
    }
}

TEST(FindAt9, EveryPairIsRankedNotOnlyTheBudget)
{
    // 800 x 600 has a pair budget of (800 + 600) >> 4 = 87. The first 100 pairs here are far
    // off (the tiles of a textureless top), the last 60 carry the motion: a fit that only
    // looked at the first 87 would find nothing.
    PairSet p = planted_pairs(shift8(9, -4), 160, 800, 600, 0, 10, 31);
    const PairSet good = planted_pairs(shift8(9, -4), 60, 800, 600, 0, 0, 32);
    std::copy(good.x1.begin(), good.x1.end(), p.x1.begin() + 100);
    std::copy(good.y1.begin(), good.y1.end(), p.y1.begin() + 100);
    std::copy(good.x2.begin(), good.x2.end(), p.x2.begin() + 100);
    std::copy(good.y2.begin(), good.y2.end(), p.y2.begin() + 100);
    const auto [norm, t] = fit(p, 800, 600);
    ASSERT_GE(norm, 0);
    EXPECT_LT(frame_error(t, shift8(9, -4), 800, 600), 0.5);
}
