// Matching and the projective fit: the run context, the least-squares adapter, the residuals,
// four-pair fits, pairing rules, the sampled fit on planted transforms (with noise, outliers and
// threads), and the whole chain on warped photos and on a real hand-held bracket.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <vector>

#include "align/feature_points.h"
#include "align/lm_adapter.h"
#include "align/matching.h"
#include "align/projective.h"
#include "platform/bitmap.h"
#include "tests/support/bracket_generator.h"
#include "tests/support/warp.h"

using testsupport::apply8;
using testsupport::SeededRandom;
using testsupport::Transform8;

namespace {

struct PairSet {
    std::vector<int> x1, y1, x2, y2;
    std::vector<float> d;
    int n() const { return int(x1.size()); }
    void add(int a, int b, int c, int e, float dist)
    {
        x1.push_back(a), y1.push_back(b), x2.push_back(c), y2.push_back(e), d.push_back(dist);
    }
};

// n pairs of points spread over the frame mapped by t, with Gaussian noise of sigma pixels;
// pairs k with k mod 10 < outliersPer10 get a random target up to 40 pixels off instead.
PairSet planted_pairs(const Transform8 &t, int n, int w, int h, double sigma, int outliersPer10,
                      uint64_t seed)
{
    SeededRandom rng(seed);
    PairSet p;
    for (int k = 0; k < n; ++k) {
        const int x = 10 + rng.below(w - 20), y = 10 + rng.below(h - 20);
        double X, Y;
        apply8(t, x, y, &X, &Y);
        if (k % 10 < outliersPer10) {
            X = x + 80 * rng.uniform() - 40;
            Y = y + 80 * rng.uniform() - 40;
        }
        p.add(x, y, int(std::lround(X + rng.normal(sigma))),
              int(std::lround(Y + rng.normal(sigma))), float(0.05 + 0.5 * rng.uniform()));
    }
    return p;
}

struct Fit {
    float norm = 0;
    std::array<float, 8> t{};
};

Fit fit(const PairSet &p, int w, int h)
{
    AlignContext ctx;
    align_context_start(&ctx, w, h);
    Fit f;
    f.norm = find_at9(&ctx, w, h, p.n(), p.x1.data(), p.y1.data(), p.x2.data(), p.y2.data(),
                      p.d.data(), f.t.data(), 1);
    return f;
}

// Largest distance between the images of the frame's corners and centre under a and b.
double frame_error(const std::array<float, 8> &a, const Transform8 &b, int w, int h)
{
    double worst = 0;
    for (auto [x, y] : {std::array{0.0, 0.0},
                        {double(w), 0.0},
                        {0.0, double(h)},
                        {double(w), double(h)},
                        {w / 2.0, h / 2.0}}) {
        double ax, ay, bx, by;
        map_point(a.data(), x, y, &ax, &ay);
        apply8(b, x, y, &bx, &by);
        worst = std::max(worst, std::hypot(ax - bx, ay - by));
    }
    return worst;
}

bool is_identity(const std::array<float, 8> &t)
{
    return t == std::array<float, 8>{1, 0, 0, 0, 1, 0, 0, 0};
}

struct Points {
    int n = 0;
    std::vector<int> x, y, s;
    std::vector<float> d;
};

Points detect(const std::vector<uint8_t> &g, int w, int h)
{
    Points p;
    p.x.resize(1310), p.y.resize(1310), p.s.resize(1310), p.d.resize(1310 * 64);
    p.n =
        kvdetect(1, w, h, 1309, 0, 0, g.data(), 0, p.x.data(), p.y.data(), p.s.data(), p.d.data());
    return p;
}

PairSet match(const Points &a, const Points &b, int maxPairs, int shiftX, int shiftY)
{
    PairSet p;
    p.x1.resize(size_t(maxPairs)), p.y1.resize(size_t(maxPairs)), p.x2.resize(size_t(maxPairs));
    p.y2.resize(size_t(maxPairs)), p.d.resize(size_t(maxPairs));
    const int n = find_paires(maxPairs, shiftX, shiftY, a.n, a.x.data(), a.y.data(), a.s.data(),
                              a.d.data(), b.n, b.x.data(), b.y.data(), b.s.data(), b.d.data(),
                              p.x1.data(), p.y1.data(), p.x2.data(), p.y2.data(), p.d.data());
    EXPECT_GE(n, 0);
    for (auto *v : {&p.x1, &p.y1, &p.x2, &p.y2})
        v->resize(size_t(std::max(n, 0)));
    p.d.resize(size_t(std::max(n, 0)));
    return p;
}

// Hand-made point lists for the pairing rules: a descriptor is the unit vector e0 plus the
// given components.
struct List {
    Points p;
    void add(int x, int y, int scale, std::initializer_list<std::pair<int, float>> extra = {})
    {
        p.x.push_back(x), p.y.push_back(y), p.s.push_back(scale);
        std::vector<float> d(64, 0.0f);
        d[0] = 1.0f;
        for (auto [k, v] : extra)
            d[size_t(k)] += v;
        p.d.insert(p.d.end(), d.begin(), d.end());
        ++p.n;
    }
};

} // namespace

TEST(AlignContext, BudgetFollowsTheSizeAndTheSequenceRestartsEveryRun)
{
    AlignContext ctx;
    for (auto [w, h, budget] :
         {std::array{100, 100, 20}, {1280, 1280, 160}, {0, -5, 20}, {6000, 4000, 625}}) {
        align_context_start(&ctx, w, h);
        EXPECT_EQ(ctx.maxMatchesOptimized, budget) << w << "x" << h;
    }
    align_context_start(&ctx, 640, 480);
    std::vector<int> first;
    for (int i = 0; i < 1000; ++i)
        first.push_back(align_rand(&ctx));
    EXPECT_GE(*std::min_element(first.begin(), first.end()), 0);
    EXPECT_GT(*std::max_element(first.begin(), first.end()), 1 << 30); // the whole 31-bit range
    align_context_start(&ctx, 320, 240);
    for (int v : first)
        ASSERT_EQ(align_rand(&ctx), v);
}

TEST(Lmmin, FitsAndReportsTheNormAtTheReturnedParameters)
{
    // y = p0 exp(p1 t) at t = 0..9, exact and with a fixed disturbance.
    struct Data {
        double y[10];
    };
    const auto model = [](const double *par, int m, const void *data, double *fvec, int *) {
        const auto *d = static_cast<const Data *>(data);
        for (int k = 0; k < m; ++k)
            fvec[k] = d->y[k] - par[0] * std::exp(par[1] * k);
    };
    for (double wobble : {0.0, 0.05}) {
        Data data;
        for (int k = 0; k < 10; ++k)
            data.y[k] = 3 * std::exp(-0.5 * k) + wobble * ((k % 3) - 1);
        double par[2] = {1, 0};
        lm_status_struct status;
        lmmin(2, par, 10, &data, model, &lm_control_double, &status);
        EXPECT_GE(status.outcome, 1);
        EXPECT_LE(status.outcome, 4);
        EXPECT_NEAR(par[0], 3, wobble > 0 ? 0.1 : 1e-9);
        EXPECT_NEAR(par[1], -0.5, wobble > 0 ? 0.05 : 1e-9);
        double direct = 0;
        for (int k = 0; k < 10; ++k)
            direct += std::pow(data.y[k] - par[0] * std::exp(par[1] * k), 2);
        EXPECT_NEAR(status.fnorm, std::sqrt(direct), 1e-12);
    }
    // A spent budget, improper and bad input.
    Data data{};
    double par[2] = {1, 0};
    lm_status_struct status;
    lm_control_struct tight = lm_control_double;
    tight.maxfev = 3;
    data.y[0] = 5;
    lmmin(2, par, 10, &data, model, &tight, &status);
    EXPECT_EQ(status.outcome, 5);
    par[0] = 1, par[1] = 0;
    lmmin(2, par, 1, &data, model, &lm_control_double, &status);
    EXPECT_EQ(status.outcome, 0);
    EXPECT_EQ(par[0], 1);
    EXPECT_NEAR(status.fnorm, 4, 1e-12);
    lmmin(0, par, 10, &data, model, &lm_control_double, &status);
    EXPECT_EQ(status.outcome, -3);
    EXPECT_TRUE(std::isnan(status.fnorm));
}

TEST(EvaluateTransform, ResidualsAreTargetMinusMappedPoint)
{
    const Transform8 t{1.01, 0.02, 5, -0.01, 0.99, -3, 0.5, -0.2};
    const int x1[2] = {10, 300}, y1[2] = {20, 200}, x2[2] = {15, 310}, y2[2] = {18, 190};
    const PairBlock block{x1, y1, x2, y2};
    double fa[5], fb[5];
    std::fill_n(fa, 5, 7.0), std::fill_n(fb, 5, 7.0);
    evaluate_single_transform8(t.data(), 5, &block, fa, nullptr);
    evaluate_transform(t.data(), 5, &block, fb, nullptr);
    for (int k = 0; k < 2; ++k) {
        double X, Y;
        apply8(t, x1[k], y1[k], &X, &Y);
        EXPECT_NEAR(fa[2 * k], x2[k] - X, 1e-12);
        EXPECT_NEAR(fa[2 * k + 1], y2[k] - Y, 1e-12);
        EXPECT_NEAR(fb[2 * k], (x2[k] - X) / 1000, 1e-15);
        EXPECT_NEAR(fb[2 * k + 1], (y2[k] - Y) / 1000, 1e-15);
    }
    EXPECT_EQ(fa[4], 0.0); // an odd residual count leaves no stale value
}

TEST(CalcTransform4, ExactPairsGiveTheirTransform)
{
    struct Case {
        Transform8 t;
        std::array<float, 8> src; // four source points
    };
    // An integer affine map, and a projective one with q = x / 100 + 1 whose images are whole.
    for (const Case &c : {Case{{2, 0, 5, 0, 2, -3, 0, 0}, {10, 12, 200, 30, 40, 150, 180, 170}},
                          Case{{1, 0, 0, 0, 1, 0, 1000, 0}, {0, 0, 100, 0, 0, 100, 100, 100}}}) {
        float pairs[16];
        for (int k = 0; k < 4; ++k) {
            double X, Y;
            apply8(c.t, c.src[size_t(2 * k)], c.src[size_t(2 * k + 1)], &X, &Y);
            const float p[4] = {c.src[size_t(2 * k)], c.src[size_t(2 * k + 1)], float(X), float(Y)};
            std::copy(p, p + 4, pairs + 4 * k);
        }
        std::array<float, 8> t{};
        ASSERT_EQ(calc_transform4(pairs, t.data()), 1);
        for (int i = 0; i < 8; ++i) // g and h are carried x 100000
            EXPECT_NEAR(t[size_t(i)], c.t[size_t(i)], i >= 6 ? 1e-2 : 1e-6) << i;
    }
    // Collinear first three pairs: no affine start, transform untouched.
    float line[16] = {0, 0, 1, 1, 10, 10, 11, 11, 20, 20, 21, 21, 5, 40, 6, 41};
    std::array<float, 8> t{9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_EQ(calc_transform4(line, t.data()), -1);
    EXPECT_EQ(t[0], 9.0f);
    line[3] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(calc_transform4(line, t.data()), -3);
    line[3] = 3e9f;
    EXPECT_EQ(calc_transform4(line, t.data()), -3);
}

TEST(TransformIsFinite, CornersOnTheVanishingLineFail)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        std::array<float, 8> t;
        bool finite;
    };
    // g = -100 puts corner (1000, 0) on q = 0 exactly.
    for (const Case &c : {Case{{1, 0, 0, 0, 1, 0, 0, 0}, true},
                          {{1, 0, nan, 0, 1, 0, 0, 0}, false},
                          {{1, 0, 0, 0, 1, 0, -100, 0}, false},
                          {{1, 0, 0, 0, 1, 0, -99, 0}, true}})
        EXPECT_EQ(transform_is_finite(c.t.data(), 1000, 800), c.finite) << c.t[6];
}

TEST(FindPaires, WindowBoundsAreInclusive)
{
    for (auto [dx, dy, pairs] :
         {std::array{10, 8, 1}, {-10, -8, 1}, {11, 0, 0}, {0, 9, 0}, {-11, 0, 0}, {0, -9, 0}}) {
        List a, b;
        a.add(100, 100, 10);
        b.add(100 + dx, 100 + dy, 10, {{1, 0.1f}});
        EXPECT_EQ(match(a.p, b.p, 5, 10, 8).n(), pairs) << dx << "," << dy;
    }
}

TEST(FindPaires, SharedPointRatioScaleBandAndOrder)
{
    // Two A points both nearest to one B point: the smaller distance wins, the first on ties.
    for (auto [second, winner] : {std::pair{0.2f, 140}, {0.3f, 100}, {-0.3f, 100}}) {
        List a, b;
        a.add(100, 100, 0, {{1, 0.3f}});
        a.add(140, 100, 0, {{1, second}});
        b.add(120, 100, 0);
        const PairSet p = match(a.p, b.p, 5, 30, 30);
        ASSERT_EQ(p.n(), 1);
        EXPECT_EQ(p.x1[0], winner);
    }
    // Ratio: best 0.25 against 0.36 is ambiguous, against 1.0 a match; the runner-up only
    // counts when it comes before the nearest in B's order.
    for (auto [other, otherFirst, pairs] :
         {std::tuple{0.6f, true, 0}, {1.0f, true, 1}, {0.6f, false, 1}}) {
        List a, b;
        a.add(100, 100, 0);
        if (otherFirst)
            b.add(102, 100, 0, {{2, other}});
        b.add(101, 100, 0, {{1, 0.5f}});
        if (!otherFirst)
            b.add(102, 100, 0, {{2, other}});
        EXPECT_EQ(match(a.p, b.p, 5, 30, 30).n(), pairs) << other << " " << otherFirst;
    }
    // A B point outside the scale band before the match does not end the scan.
    {
        List a, b;
        a.add(100, 100, -30);
        b.add(100, 95, 40);
        b.add(100, 101, -25, {{3, 0.1f}});
        b.add(100, 102, 21, {{3, 0.01f}}); // out of band: -30 + 50 < 21
        const PairSet p = match(a.p, b.p, 5, 30, 30);
        ASSERT_EQ(p.n(), 1);
        EXPECT_EQ(p.y2[0], 101);
    }
    // Pairs come nearest first, capped at the budget.
    List a, b;
    for (auto [x, extra] : {std::pair{100, 0.3f}, {300, 0.1f}, {500, 0.2f}}) {
        a.add(x, 100, 0);
        b.add(x + 2, 101, 0, {{1, extra}});
    }
    const PairSet p = match(a.p, b.p, 2, 10, 10);
    ASSERT_EQ(p.n(), 2);
    EXPECT_EQ(p.x1[0], 300);
    EXPECT_EQ(p.x1[1], 500);
    EXPECT_EQ(p.x2[1], 502);
    EXPECT_NEAR(p.d[0], 0.01f, 1e-6);
    int out = 0;
    EXPECT_EQ(find_paires(-1, 10, 10, a.p.n, a.p.x.data(), a.p.y.data(), a.p.s.data(), a.p.d.data(),
                          b.p.n, b.p.x.data(), b.p.y.data(), b.p.s.data(), b.p.d.data(), &out, &out,
                          &out, &out, nullptr),
              -3);
    EXPECT_EQ(find_paires(2, 10, 10, a.p.n, a.p.x.data(), a.p.y.data(), a.p.s.data(), a.p.d.data(),
                          b.p.n, b.p.x.data(), b.p.y.data(), b.p.s.data(), b.p.d.data(), &out, &out,
                          &out, &out, nullptr),
              -3);
}

TEST(FindAt9, TooFewPairsOrInliersGiveTheIdentity)
{
    // n consistent pairs give a best count of n - 1 (the last pair is not sampled): 5 is
    // accepted, 4 refused.
    for (auto [n, accepted] : {std::pair{1, false}, {2, false}, {5, false}, {6, true}}) {
        const PairSet p = planted_pairs(testsupport::shift8(3, -2), n, 640, 480, 0, 0, 17);
        const Fit f = fit(p, 640, 480);
        EXPECT_EQ(f.norm >= 0, accepted) << n;
        if (accepted) {
            EXPECT_NEAR(f.norm, 0, 1e-6);
            EXPECT_LT(frame_error(f.t, testsupport::shift8(3, -2), 640, 480), 1e-3);
        } else {
            EXPECT_EQ(f.norm, -1.0f);
            EXPECT_TRUE(is_identity(f.t));
        }
    }
}

TEST(FindAt9, ShiftsBeyondAFifthOfTheFrameAreRefused)
{
    // 800 x 400: a sample needs |c| and |f| within a fifth of the width, the final check |f|
    // within a fifth of the height.
    for (auto [dx, dy, accepted] : {std::array{200, 0, 0}, {0, 120, 0}, {0, 60, 1}}) {
        const PairSet p = planted_pairs(testsupport::shift8(dx, dy), 60, 800, 400, 0, 0, 5);
        const Fit f = fit(p, 800, 400);
        EXPECT_EQ(f.norm >= 0, accepted == 1) << dx << "," << dy;
        EXPECT_EQ(is_identity(f.t), accepted == 0);
    }
    AlignContext ctx;
    align_context_start(&ctx, 10, 10);
    float t[8];
    EXPECT_EQ(find_at9(&ctx, 0, 10, 0, nullptr, nullptr, nullptr, nullptr, nullptr, t, 1), -3.0f);
    EXPECT_EQ(find_at9(&ctx, 10, 10, 3, nullptr, nullptr, nullptr, nullptr, nullptr, t, 1), -3.0f);
}

TEST(FindAt9, RecoversPlantedTransformsFromNoisyPairsWithOutliers)
{
    const int w = 800, h = 600;
    for (const Transform8 &t :
         {testsupport::shift8(12, -7),
          testsupport::similarity8(0.6, 1.008, w / 2.0, h / 2.0, -9, 5, 0.4, -0.3)}) {
        // Half-pixel noise on the inliers, 30 % of the pairs up to 40 pixels off.
        const Fit f = fit(planted_pairs(t, 120, w, h, 0.5, 3, 99), w, h);
        ASSERT_GE(f.norm, 0);
        // Least squares over dozens of half-pixel-noisy inliers: well within a pixel.
        EXPECT_LT(frame_error(f.t, t, w, h), 1.0);
    }
}

TEST(FindAt9, SameInputSameOutputRepeatedAndConcurrent)
{
    const int w = 800, h = 600;
    const Transform8 t = testsupport::similarity8(-0.4, 0.995, 400, 300, 4, 9, -0.2, 0.1);
    const PairSet p = planted_pairs(t, 150, w, h, 1.0, 3, 7);
    const Fit first = fit(p, w, h);
    ASSERT_GE(first.norm, 0);
    std::vector<Fit> results(4);
    std::vector<std::thread> threads;
    for (Fit &r : results)
        threads.emplace_back([&r, &p] { r = fit(p, w, h); });
    for (std::thread &th : threads)
        th.join();
    results.push_back(fit(p, w, h));
    for (const Fit &r : results) {
        EXPECT_EQ(r.norm, first.norm);
        EXPECT_EQ(r.t, first.t);
    }
}

TEST(FeatureAlignment, WarpedPhotoGivesBackItsWarp)
{
    const int w = 640, h = 480;
    const Transform8 t = testsupport::similarity8(0.8, 1.01, w / 2.0, h / 2.0, 6, -4, 0.3, -0.2);
    std::vector<uint8_t> a = testsupport::speckle_photo(w, h, 900, 31);
    std::vector<uint8_t> b = testsupport::warp_photo(a, w, h, 1, t);
    testsupport::add_noise(a, 2.0, 1);
    testsupport::add_noise(b, 2.0, 2);
    const PairSet p = match(detect(a, w, h), detect(b, w, h), 200, w / 10, h / 10);
    ASSERT_GT(p.n(), 50);
    const Fit f = fit(p, w, h);
    ASSERT_GE(f.norm, 0);
    // Whole-pixel feature positions, fitted over many pairs.
    EXPECT_LT(frame_error(f.t, t, w, h), 1.0);
}

TEST(FeatureAlignment, ShiftedRenderedPhotoPairsCarryTheShift)
{
    const int w = 480, h = 360, dx = 9, dy = -5;
    const std::vector<uint8_t> a =
        testsupport::render_photo(testsupport::make_radiance_map(w, h), 2.0f, 8, 1);
    const std::vector<uint8_t> b = testsupport::warp_photo(a, w, h, 1, testsupport::shift8(dx, dy));
    const PairSet p = match(detect(a, w, h), detect(b, w, h), 50, 20, 20);
    ASSERT_GE(p.n(), 2);
    for (int k = 0; k < p.n(); ++k) {
        EXPECT_EQ(p.x2[size_t(k)] - p.x1[size_t(k)], dx);
        EXPECT_EQ(p.y2[size_t(k)] - p.y1[size_t(k)], dy);
    }
}

TEST(FeatureAlignment, HandheldBracketPairsAgreeWithTheFit)
{
    const std::string dir = std::string(HDR_TESTDATA_DIR) + "/iphone6_handheld/";
    if (!std::filesystem::exists(dir + "5.JPG"))
        GTEST_SKIP() << "no " << dir;
    // Quarter-size greys (816 x 612) of the stored frames.
    const auto grey = [&](const char *name, int *w, int *h) {
        const auto bm = platform::BitmapImageRep::imageRepWithContentsOfFile(dir + name);
        if (!bm || bm->samplesPerPixel() < 3 || bm->bitsPerSample() != 8)
            throw std::runtime_error(std::string("cannot decode ") + name);
        *w = bm->pixelsWide() / 4, *h = bm->pixelsHigh() / 4;
        std::vector<uint8_t> g(size_t(*w) * size_t(*h));
        for (int y = 0; y < *h; ++y)
            for (int x = 0; x < *w; ++x) {
                int s = 0;
                for (int j = 0; j < 16; ++j) {
                    const uint8_t *q = bm->bitmapData() +
                                       size_t(4 * y + j / 4) * size_t(bm->bytesPerRow()) +
                                       size_t(4 * x + j % 4) * size_t(bm->samplesPerPixel());
                    s += (54 * q[0] + 183 * q[1] + 19 * q[2]) >> 8;
                }
                g[size_t(y) * size_t(*w) + size_t(x)] = uint8_t(s / 16);
            }
        return g;
    };
    int w = 0, h = 0;
    const std::vector<uint8_t> first = grey("5.JPG", &w, &h);
    const Points ref = detect(first, w, h);
    for (const char *name : {"7.JPG", "8.JPG"}) {
        const std::vector<uint8_t> other = grey(name, &w, &h);
        const PairSet p = match(ref, detect(other, w, h), 200, w / 10, h / 10);
        ASSERT_GT(p.n(), 100) << name;
        const Fit f = fit(p, w, h);
        ASSERT_GE(f.norm, 0) << name;
        int agree = 0;
        for (int k = 0; k < p.n(); ++k) {
            double X, Y;
            map_point(f.t.data(), p.x1[size_t(k)], p.y1[size_t(k)], &X, &Y);
            agree += std::hypot(X - p.x2[size_t(k)], Y - p.y2[size_t(k)]) < 2.0;
        }
        // Hand-held shake: most pairs within 2 pixels of the fit, the centre moved a few pixels.
        EXPECT_GT(agree * 3, p.n() * 2) << name;
        double cx, cy;
        map_point(f.t.data(), w / 2.0, h / 2.0, &cx, &cy);
        EXPECT_LT(std::hypot(cx - w / 2.0, cy - h / 2.0), 9.0) << name;
    }
}
