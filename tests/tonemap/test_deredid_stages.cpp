// The three stages of the local operator against plain readings of their definitions: stage 1's
// pyramid, gradients, factors and right-hand sides (both modes, with and without the 360-degree
// wrap), the percentile adjustment, stage 2's settings, solve and prolongation, stage 3's
// constants and pixels; bad arguments; the whole enhancer against the generated scene.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <tuple>
#include <vector>

#include "imagecore/banded.h"
#include "platform/data.h"
#include "tests/support/bracket_generator.h"
#include "tests/support/image_compare.h"
#include "tests/support/warp.h"
#include "tests/tonemap/tm_test_util.h"
#include "tonemap/cg_kernels.h"
#include "tonemap/deredid_attenuation.h"
#include "tonemap/deredid_colour.h"
#include "tonemap/deredid_luminance.h"
#include "tonemap/deredid_poisson.h"
#include "tonemap/detail/deredid_levels.h"
#include "tonemap/range_map.h"
#include "tonemap/rodo.h"
#include "tonemap/tm_color.h"
#include "tonemap/tm_dim.h"
#include "tonemap/tone_map.h"

namespace {

using Vec = std::vector<float>;
using tonemap::detail::Level;

std::vector<float> defaults()
{
    std::vector<float> p(kTmParamCount);
    tmparam_default(kMethodDeredid, 0, p.data());
    return p;
}

// A level read with explicit coordinates.
struct Grid {
    int w = 0, h = 0;
    Vec v;
    Grid(int w_, int h_) : w(w_), h(h_), v(size_t(w_) * size_t(h_)) {}
    Grid(int w_, int h_, const float *src) : w(w_), h(h_), v(src, src + size_t(w_) * size_t(h_)) {}
    float &at(int x, int y) { return v[size_t(y) * size_t(w) + size_t(x)]; }
    float at(int x, int y) const { return v[size_t(y) * size_t(w) + size_t(x)]; }
};

// ---- Plain readings of stage 1, from its description --------------------------------------

Grid ref_reduce(const Grid &g, bool wrap)
{
    Grid o((g.w + 1) / 2, (g.h + 1) / 2);
    for (int j = 0; j < o.h; ++j)
        for (int i = 0; i < o.w; ++i) {
            const int x = 2 * i, y = 2 * j;
            const bool noL = x == 0, noR = x == g.w - 1, noU = y == 0, noD = y == g.h - 1;
            auto c = [&](int dx, int dy) { return g.at(x + dx, y + dy); };
            float v;
            if ((noL || noR) && (noU || noD)) {
                v = 0.5f * c(0, 0) + 0.25f * c(noL ? 1 : -1, 0) + 0.25f * c(0, noU ? 1 : -1);
            } else if (noU && wrap) {
                const float f = g.at(0, 0), m = g.at(g.w / 2, 0);
                v = 0.25f * c(0, 0) + 0.125f * (c(-1, 0) + c(1, 0) + f + c(0, 1)) +
                    0.0625f * (f + m + c(-1, 1) + c(1, 1));
            } else if (noU || noD) {
                const int dy = noU ? 1 : -1;
                v = 0.33333f * c(0, 0) + 0.166667f * (c(-1, 0) + c(1, 0) + c(0, dy)) +
                    (c(-1, dy) + c(1, dy)) / 12.0f;
            } else if (wrap || (!noL && !noR)) { // inside, or a side column wrapped
                auto col = [&](int dx, int dy) {
                    return g.at(((x + dx) % g.w + g.w) % g.w, y + dy);
                };
                v = 0.25f * c(0, 0) + 0.125f * (col(-1, 0) + col(1, 0) + c(0, -1) + c(0, 1)) +
                    0.0625f * (col(-1, -1) + col(1, -1) + col(-1, 1) + col(1, 1));
            } else {
                const int dx = noL ? 1 : -1;
                v = 0.33333f * c(0, 0) + 0.166667f * (c(dx, 0) + c(0, -1) + c(0, 1)) +
                    (c(dx, -1) + c(dx, 1)) / 12.0f;
            }
            o.at(i, j) = v;
        }
    return o;
}

Grid ref_gradients(const Grid &g, bool wrap, float s, double *sum)
{
    Grid o(g.w, g.h);
    *sum = 0;
    for (int y = 0; y < g.h; ++y)
        for (int x = 0; x < g.w; ++x) {
            const bool corner = (y == 0 || y == g.h - 1) && (x == 0 || x == g.w - 1);
            const bool wrapX = wrap && !corner;
            const float c = g.at(x, y);
            const float l = x > 0 ? g.at(x - 1, y) : (wrapX ? g.at(g.w - 1, y) : c);
            const float r = x < g.w - 1 ? g.at(x + 1, y) : (wrapX ? g.at(0, y) : c);
            const float u = y > 0 ? g.at(x, y - 1) : (wrapX ? g.at(g.w / 2, 0) : c);
            const float d = y < g.h - 1 ? g.at(x, y + 1) : c;
            float gx = r - l, gy = d - u;
            if (std::fabs(gx) > 100)
                gx = 0;
            if (std::fabs(gy) > 100)
                gy = 0;
            o.at(x, y) = std::sqrt(gx * gx + gy * gy) * s;
            *sum += o.at(x, y);
        }
    return o;
}

float ref_spread(const Grid &c, int fw, int fh, int x, int y, bool wrap)
{
    const int i = x / 2, j = y / 2;
    const bool xo = x % 2, yo = y % 2;
    const bool lastCol = fw % 2 == 0 && x == fw - 1, lastRow = fh % 2 == 0 && y == fh - 1;
    if (lastCol && lastRow)
        return c.at(i, j);
    if (lastCol)
        return yo ? (wrap ? (c.at(i, j) + c.at(0, j) + c.at(i, j + 1) + c.at(0, j + 1)) * 0.25f
                          : (c.at(i, j) + c.at(i, j + 1)) * 0.5f)
                  : (wrap ? (c.at(i, j) + c.at(0, j)) * 0.5f : c.at(i, j));
    if (lastRow)
        return xo ? (c.at(i, j) + c.at(i + 1, j)) * 0.5f : c.at(i, j);
    if (xo && yo)
        return (c.at(i, j) + c.at(i + 1, j) + c.at(i, j + 1) + c.at(i + 1, j + 1)) * 0.25f;
    if (xo)
        return (c.at(i, j) + c.at(i + 1, j)) * 0.5f;
    if (yo)
        return (c.at(i, j) + c.at(i, j + 1)) * 0.5f;
    return c.at(i, j);
}

Grid ref_times_upsampled(const Grid &coarse, Grid fine, bool wrap)
{
    for (int y = 0; y < fine.h; ++y)
        for (int x = 0; x < fine.w; ++x)
            fine.at(x, y) *= ref_spread(coarse, fine.w, fine.h, x, y, wrap);
    return fine;
}

Grid ref_divergence(const Grid &L, const Grid &P)
{
    Grid o(L.w, L.h);
    for (int y = 0; y < L.h; ++y)
        for (int x = 0; x < L.w; ++x) {
            double v = 0;
            if (x + 1 < L.w)
                v += (L.at(x + 1, y) - L.at(x, y)) * P.at(x, y);
            if (y + 1 < L.h)
                v += (L.at(x, y + 1) - L.at(x, y)) * P.at(x, y);
            if (x > 0)
                v += (L.at(x - 1, y) - L.at(x, y)) * P.at(x - 1, y);
            if (y > 0)
                v += (L.at(x, y - 1) - L.at(x, y)) * P.at(x, y - 1);
            o.at(x, y) = float(v);
        }
    return o;
}

// Stage 1 from level 0's log luminance: the right-hand sides it leaves, level by level (slider:
// levels 0 .. max(A - 2, 0); light: level 0). In slider mode *next receives the attenuation
// factors of the level after the last right-hand side, which the stage leaves as they are (w 0
// when there is no such level).
std::vector<Grid> ref_stage1(const Grid &log0, const std::vector<float> &p, int levelsA,
                             int levelsB, bool slider, Grid *next = nullptr)
{
    const bool wrap = int(p[kDeIs360]) != 0;
    std::vector<Grid> L{log0};
    while (int(L.size()) <= levelsB && L.back().w > 5 && L.back().h > 5)
        L.push_back(ref_reduce(L.back(), wrap));
    const double p6 = p[kDeMicrocontrast], p7 = p[kDeMicrosmoothing];
    const double sldA = 0.1 * std::pow(2.0, p6 <= 2 ? p6 / 2.5 : (p6 - 2) * 0.125 + 0.8);
    const double epsF = p7 > 11 ? (p7 - 11) / 10 + 0.7333 : p7 / 15;
    const double e = -((p[kDeLuminosity] + 10) * 0.6 + 1) / 100;
    std::vector<Grid> F;
    float s = 0.5f;
    for (const Grid &g : L) {
        double sum;
        Grid m = ref_gradients(g, wrap, s, &sum);
        s /= 2;
        const double mean = sum / double(g.w * g.h), alpha = sldA * mean;
        if (alpha > 0)
            for (float &v : m.v)
                if (v != 0)
                    v = float(std::pow((v + mean * epsF) / alpha, e));
        F.push_back(m);
    }
    std::vector<Grid> out;
    if (!slider) {
        for (size_t l = F.size() - 1; l-- > 0;)
            F[l] = ref_times_upsampled(F[l + 1], F[l], wrap);
        Grid r = ref_divergence(L[0], F[0]);
        for (float &v : r.v)
            if (std::fabs(v) > 100)
                v = 0;
        return {r};
    }
    const int depth = p[kDeSolverTolerance] <= 0 ? 5 : 4;
    const int last = int(F.size()) - 1, lastRhs = std::min(std::max(levelsA - 2, 0), last);
    if (next)
        *next = lastRhs < last ? F[size_t(lastRhs) + 1] : Grid(0, 0);
    for (int q = 0; q <= lastRhs; ++q) {
        const int top = std::min(q + depth, last);
        Grid P = F[size_t(top)];
        for (int l = top - 1; l >= q; --l)
            P = ref_times_upsampled(P, F[size_t(l)], wrap);
        out.push_back(ref_divergence(L[size_t(q)], P));
    }
    return out;
}

// The stage-1 inputs of an image: the record, buffers, the source as scratch.
struct Stage1Run {
    int w, h;
    std::vector<float> p;
    tm_dims d{};
    float table[256];
    float lum[kLumParamCount] = {};
    std::vector<uint8_t> rgbe, scratch;
    Vec work;
    Stage1Run(int w_, int h_, std::vector<float> p_, double texture = 0.2)
        : w(w_), h(h_), p(std::move(p_)), rgbe(tmtest::encode_rgbe(w_, h_, texture))
    {
        exp_lut(table, -8);
        tm_dim(w, h, p.data(), &d);
        const size_t total = size_t(std::max(d.v[kTdTotalA], d.v[kTdTotalB]));
        scratch.assign(total * 4, 0);
        std::memcpy(scratch.data(), rgbe.data(), rgbe.size());
        work.assign(total, -7.0f);
    }
    int run(int nbProc)
    {
        const dim_param dim{{w, h, 3, 8, 16, 0, w * 3, 0}};
        return calc_tm1(0, p.data(), &d, lum, table, nullptr, dim, nullptr, {nbProc, 0, {}},
                        scratch.data(), scratch.size(), work.data());
    }
    Grid log_luminance() const
    {
        Grid g(w, h);
        float l[kLumParamCount] = {};
        calc_tm0(0, 3, w, h, w * 3, w, h, w, h, l, table, nullptr, rgbe.data(), g.v.data());
        return g;
    }
};

} // namespace

TEST(DeredidStage1, ParametersFromTheSliders)
{
    const auto p = defaults();
    const auto a = tonemap::detail::attenuation_params(p.data());
    EXPECT_FLOAT_EQ(a.e, -0.07f);
    EXPECT_FLOAT_EQ(a.epsFactor, 2.0f / 15);
    EXPECT_DOUBLE_EQ(a.sldA, 0.1);
    EXPECT_EQ(a.is360, 0);
    // Microsmoothing past 11, Microcontrast past 2, Luminosity 10, a 360-degree panorama.
    auto q = p;
    q[kDeMicrosmoothing] = 21;
    q[kDeMicrocontrast] = 4;
    q[kDeLuminosity] = 10;
    q[kDeIs360] = 1.9f;
    const auto b = tonemap::detail::attenuation_params(q.data());
    EXPECT_FLOAT_EQ(b.epsFactor, 1.7333f);
    EXPECT_NEAR(b.sldA, 0.1 * std::pow(2.0, 1.05), 1e-12);
    EXPECT_FLOAT_EQ(b.e, -0.13f);
    EXPECT_EQ(b.is360, 1);
    q[kDeMicrocontrast] = 1; // up to 2: 0.1 x 2^(p6 / 2.5)
    EXPECT_NEAR(tonemap::detail::attenuation_params(q.data()).sldA, 0.1 * std::pow(2.0, 0.4),
                1e-12);
}

TEST(AdjustPercentile, MovesOffTheEndsAndStopsAfterFortyCalls)
{
    // 100 samples: dark ones in bin 30000, the rest at the top (bin 65000).
    for (const auto &[dark, start, expected, calls] :
         {std::tuple{40, 0.495f, 0.495 * std::pow(0.99, 22), 24}, // stops below 0.40
          {20, 0.495f, 0.495 * std::pow(0.99, 39), 40},           // never gets there: 40 calls
          {70, 0.495f, 0.495, 2}}) {                              // already in range
        std::vector<int> hist(65536, 0);
        hist[30000] = dark;
        hist[65000] = 100 - dark;
        int counter = 1;
        const float f = adjust_percentile(100, 65536, hist.data(), start, &counter);
        EXPECT_NEAR(f, expected, 1e-5) << dark;
        EXPECT_EQ(counter, calls) << dark;
    }
    std::vector<int> low(65536, 0);
    low[100] = 100; // everything at the bottom: grows by 1 % a call up to the stop
    int counter = 1;
    EXPECT_NEAR(adjust_percentile(100, 65536, low.data(), 0.505f, &counter),
                0.505 * std::pow(1.01, 39), 1e-5);
    counter = 40; // a counter already at the stop
    EXPECT_EQ(adjust_percentile(100, 65536, low.data(), 0.3f, &counter), 0.3f);
    EXPECT_EQ(adjust_percentile(100, 65536, nullptr, 0.3f, &counter), 0.3f);
}

// The median decides the start of the adjustment. 800 pixels of a few luminances: one at 1e-4
// (the bottom bin), then counts at 1e-3 (bin 13100), 0.1 (bin 39300), 1.5 (bin 54700, below the
// 58982 that starts a downward adjustment) and 10 (the top bin).
TEST(DeredidStage1, PercentilesStartTheAdjustmentFromTheMedian)
{
    const float value[5] = {1e-4f, 1e-3f, 0.1f, 1.5f, 10.0f};
    // counts of the five values; expected [3], [4], [5] as indices into value
    for (const auto &[counts, s3, s4, s5] :
         {std::tuple{std::array{1, 0, 319, 0, 480}, 2, 2, 4}, // bright median: 0.495 to 0.3968
          {std::array{1, 0, 199, 0, 600}, 4, 2, 4},           // 40 calls reach only 0.334
          {std::array{1, 0, 500, 0, 299}, 2, 2, 4},           // in range: 0.5, 0.25, 0.75
          {std::array{1, 419, 100, 0, 280}, 2, 1, 4},         // dark median: 0.505 to 0.5255
          // Median at 1.5, in range: 0.25 of 800 is 200, which the values up to 0.1 reach but
          // do not exceed, so 1.5 (an adjustment to 0.495 would take 0.1; f / 3, 1e-3).
          {std::array{1, 150, 49, 398, 202}, 3, 3, 4}}) {
        const int w = 40, h = 20;
        std::vector<uint8_t> rgbe(size_t(w) * h * 4);
        int i = 0;
        for (int k = 0; k < 5; ++k)
            for (int n = 0; n < counts[size_t(k)]; ++n, ++i)
                imagecore::put_rgbe(rgbe.data() + size_t(i / w) * 4 * w, w, i % w, value[k],
                                    value[k], value[k]);
        Stage1Run run(w, h, defaults());
        std::memcpy(run.scratch.data(), rgbe.data(), rgbe.size());
        ASSERT_EQ(run.run(1), 0);
        // A bin's value lies within one bin (and the encoding's rounding) of the log.
        EXPECT_NEAR(run.lum[3], std::log(value[s3]), 0.01) << counts[2];
        EXPECT_NEAR(run.lum[4], std::log(value[s4]), 0.01) << counts[2];
        EXPECT_NEAR(run.lum[5], std::log(value[s5]), 0.01) << counts[2];
        EXPECT_NEAR(run.lum[6], std::log(value[4]), 0.01); // the top 0.25 % lie at the top
    }
}

// Both modes, odd and even sides, with and without the wrap, against the plain reading. Spikes
// of the log luminance of 9.2 and 60 give light-mode right-hand sides of about -37, which stay,
// and -240, beyond 100, which become 0. In slider mode the level after the last right-hand side
// keeps its factors.
TEST(DeredidStage1, RightHandSidesMatchAPlainReading)
{
    // Slider sizes of 4 levels (right-hand sides at 0 to 2), small ones of 1.
    for (const auto &[w, h, slider, is360, tol18, spikes] :
         {std::tuple{521, 389, true, 0, 0.0f, false},
          {520, 390, true, 1, 0.0f, false},
          {97, 61, true, 0, 0.0f, false},
          {97, 61, false, 1, 0.0f, false},
          {64, 48, false, 0, 0.0f, false},
          {127, 95, false, 0, 0.0f, true},
          {523, 387, true, 0, 1.0f, false},
          // 4 megapixels: where level sums drift
          {2448, 1700, true, 0, 0.0f, false},
          {2448, 1700, false, 0, 0.0f, false}}) {
        auto p = defaults();
        p[kDeSmoothingMode] = slider ? 1 : 0;
        p[kDeIs360] = float(is360);
        p[kDeSolverTolerance] = tol18;
        p[kDeLuminosity] = spikes ? -10 : 0; // e = -0.01: factors near 1 leave the spikes whole
        Stage1Run run(w, h, p);
        for (int k = 0; spikes && k < 8; ++k) {
            const int x = 11 + 13 * k, y = 7 + 10 * k;
            const double f = k % 2 ? 1e26 : 1e4;
            imagecore::put_rgbe(run.rgbe.data() + size_t(y) * 4 * w, w, x, 0.18 * f, 0.18 * f,
                                0.18 * f);
        }
        std::memcpy(run.scratch.data(), run.rgbe.data(), run.rgbe.size());
        const Grid log0 = run.log_luminance();
        ASSERT_EQ(run.run(1), 0);
        Grid next(0, 0);
        const auto ref =
            ref_stage1(log0, p, int(run.d.v[kTdLevelsA]), int(run.d.v[kTdLevelsB]), slider, &next);
        ASSERT_EQ(ref.size(), slider ? size_t(std::max<int64_t>(run.d.v[kTdLevelsA] - 1, 1)) : 1);
        if (spikes) {
            const float *rhs = run.work.data();
            EXPECT_LT(rhs[7 * w + 11], -10) << "kept";
            EXPECT_EQ(rhs[17 * w + 24], 0) << "beyond 100";
        }
        int64_t offset = 0;
        auto expect_level = [&](const Grid &want, const char *what) {
            double scale = 0;
            for (float v : want.v)
                scale = std::max(scale, double(std::fabs(v)));
            // Float sums in another order and powers of float quotients: a few units in the
            // last place of the largest value.
            const auto diff = testsupport::compare_images(want.v.data(), run.work.data() + offset,
                                                          want.v.size(), scale * 1e-4);
            EXPECT_EQ(diff.count, 0u)
                << w << "x" << h << " " << what << " max " << diff.maxDiff << " of " << scale;
        };
        for (size_t k = 0; k < ref.size(); ++k) {
            expect_level(ref[k], "right-hand side");
            // A divergence with no flux across the border: each level sums to about 0 (unless
            // values beyond 100 were cut).
            double sum = 0, abs = 0;
            for (size_t i = 0; i < ref[k].v.size(); ++i) {
                sum += run.work[size_t(offset) + i];
                abs += std::fabs(run.work[size_t(offset) + i]);
            }
            EXPECT_TRUE(spikes || std::fabs(sum) < 1e-4 * abs) << k << ": " << sum << " " << abs;
            offset += int64_t(ref[k].w) * ref[k].h;
        }
        if (slider && next.w > 0)
            expect_level(next, "factors after the last right-hand side");
    }
}

TEST(DeredidStage1, OneThreeAndEightThreadsGiveTheSameBits)
{
    // Every level from 16384 pixels on is banded: log luminance, reduction, histogram, gradient
    // magnitudes and divergence in place (their band edges), products of the levels; with and
    // without the 360-degree wrap.
    for (float mode : {0.0f, 1.0f})
        for (float wrap : {0.0f, 1.0f}) {
            auto p = defaults();
            p[kDeSmoothingMode] = mode;
            p[kDeIs360] = wrap;
            Stage1Run one(1031, 1027, p);
            ASSERT_EQ(one.run(1), 0);
            for (int threads : {3, 8}) {
                Stage1Run more(1031, 1027, p);
                ASSERT_EQ(more.run(threads), 0);
                EXPECT_EQ(std::memcmp(one.work.data(), more.work.data(), one.work.size() * 4), 0)
                    << mode << " " << wrap << " " << threads;
                EXPECT_EQ(std::memcmp(one.lum, more.lum, sizeof one.lum), 0);
            }
        }
}

// The mean gradient magnitude of a 12-megapixel level, which sets alpha and epsilon, is exact:
// a float running sum over so many pixels would lose most of the last ones. The level is a ramp
// of log luminance with steps that floats hold exactly, so every magnitude is known: central
// differences inside, one-sided ones on the border.
TEST(DeredidStage1, MeanGradientOfATwelveMegapixelLevelIsExact)
{
    const int w = 4000, h = 3000;
    const float a = 1.0f / 256, b = 1.0f / 512, s = 0.5f;
    Vec level(size_t(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            level[size_t(y) * w + size_t(x)] = a * float(x) + b * float(y);
    // Each class of pixel: its count and its magnitude (gx, gy the differences it takes).
    auto m = [&](float gx, float gy) { return double(std::sqrt(gx * gx + gy * gy) * s); };
    const double inside = m(2 * a, 2 * b), side = m(a, 2 * b), topBottom = m(2 * a, b);
    const double corner = m(a, b);
    const double n = double(w) * h;
    const double want = (double(w - 2) * (h - 2) * inside + 2.0 * (h - 2) * side +
                         2.0 * (w - 2) * topBottom + 4 * corner) /
                        n;
    const double sum = tonemap::detail::gradient_magnitudes(level.data(), w, h, 0, s);
    EXPECT_NEAR(sum / n, want, want * 1e-9);
    EXPECT_EQ(level[size_t(h / 2) * w + w / 2], float(inside));
    EXPECT_EQ(level[size_t(h / 2) * w], float(side));
    EXPECT_EQ(level[w / 2], float(topBottom));
    EXPECT_EQ(level[size_t(w) * h - 1], float(corner));
}

TEST(DeredidStage1, RefusesBadArgumentsBeforeTouchingABuffer)
{
    const auto p = defaults();
    Stage1Run run(40, 30, p);
    const dim_param dim{{40, 30, 3, 8, 16, 0, 120, 0}};
    const std::vector<uint8_t> scratch = run.scratch;
    tm_dims small = run.d;
    small.v[kTdWidth] = 9; // a side of 9 pixels
    tm_dims wrong = run.d;
    wrong.v[kTdTotalB] = wrong.v[kTdTotalA] = 100; // totals too small for the pyramid
    struct Case {
        int docType;
        const tm_dims *d;
        size_t capacity;
        optim_param_struct opt;
        int rc;
    };
    const size_t cap = run.scratch.size();
    for (const Case &c :
         {Case{0, &small, cap, {1, 0, {}}, -1}, Case{0, &run.d, cap, {1, 1, {}}, -3}, // no file
          Case{0, &run.d, cap - 1, {1, 0, {}}, -3}, Case{3, &run.d, cap, {1, 0, {}}, -3},
          Case{-1, &run.d, cap, {1, 0, {}}, -3}, Case{0, &wrong, cap, {1, 0, {}}, -3},
          Case{0, nullptr, cap, {1, 0, {}}, -3}}) {
        EXPECT_EQ(calc_tm1(c.docType, p.data(), c.d, run.lum, run.table, nullptr, dim, nullptr,
                           c.opt, run.scratch.data(), c.capacity, run.work.data()),
                  c.rc);
        EXPECT_EQ(run.scratch, scratch);
        EXPECT_TRUE(std::all_of(run.work.begin(), run.work.end(), [](float v) { return v == -7; }));
    }
}

// ---- Stage 2 -------------------------------------------------------------------------------

TEST(DeredidStage2, IterationBudgetAndTolerancesFromTheSlots)
{
    using namespace tonemap::detail;
    for (const auto &[s17, iters] : {std::pair{0.0f, 50}, {10.0f, 150}, {-36.0f, 0}, {5.0f, 86}})
        EXPECT_EQ(cg_max_iterations(s17), iters) << s17;
    for (const auto &[s18, tol] : {std::pair{0.0f, 1e-5f},
                                   {1.9f, 1e-6f},
                                   {-1.5f, 1e-4f},
                                   {-2.0f, 3e-4f},
                                   {2.0f, 1e-7f},
                                   {7.0f, 1e-6f}})
        EXPECT_EQ(cg_base_tolerance(s18), tol) << s18;
    EXPECT_EQ(cg_tolerance_factor(3, 3, true), 0.0001f);
    EXPECT_EQ(cg_tolerance_factor(1600, 1601, false), 1.0f);
    EXPECT_FLOAT_EQ(cg_tolerance_factor(2000, 2000, false), float(20 * std::log(2.0)));
    // Mean side 1800: ln(1.8), not the 0 an integer quotient would give.
    EXPECT_FLOAT_EQ(cg_tolerance_factor(1800, 1801, false), float(20 * std::log(1.8)));
}

TEST(DeredidStage2, ProlongationFromThreeByThree)
{
    Vec K(9);
    for (int i = 0; i < 9; ++i)
        K[size_t(i)] = float(1 << i); // every mean of coarse pixels is a different sum
    const float k[3][3] = {{1, 2, 4}, {8, 16, 32}, {64, 128, 256}};
    auto m2 = [](float a, float b) { return (a + b) / 2; };
    auto m4 = [](float a, float b, float c, float d) { return (a + b + c + d) / 4; };
    for (int is360 : {0, 1}) {
        Vec six(36), five(25);
        tonemap::detail::prolongate(K.data(), 3, 3, six.data(), 6, 6, is360);
        tonemap::detail::prolongate(K.data(), 3, 3, five.data(), 5, 5, is360);
        for (int j = 0; j < 3; ++j) {
            const float *r = k[j], *d = k[std::min(j + 1, 2)];
            // Rows 2j and 2j + 1 (the last row, 5, repeats row 4's coarse row).
            const Vec even = {r[0],           m2(r[0], r[1]), r[1],
                              m2(r[1], r[2]), r[2],           is360 ? m2(r[2], r[0]) : r[2]};
            const Vec odd =
                j < 2 ? Vec{m2(r[0], d[0]), m4(r[0], r[1], d[0], d[1]),
                            m2(r[1], d[1]), m4(r[1], r[2], d[1], d[2]),
                            m2(r[2], d[2]), is360 ? m4(r[2], r[0], d[2], d[0]) : m2(r[2], d[2])}
                      : Vec{r[0], m2(r[0], r[1]), r[1], m2(r[1], r[2]), r[2], r[2]};
            EXPECT_EQ(Vec(six.begin() + 12 * j, six.begin() + 12 * j + 6), even) << j << is360;
            EXPECT_EQ(Vec(six.begin() + 12 * j + 6, six.begin() + 12 * j + 12), odd) << j;
            EXPECT_EQ(Vec(five.begin() + 10 * j, five.begin() + 10 * j + 5),
                      Vec(even.begin(), even.begin() + 5));
            if (j < 2) {
                EXPECT_EQ(Vec(five.begin() + 10 * j + 5, five.begin() + 10 * j + 10),
                          Vec(odd.begin(), odd.begin() + 5));
            }
        }
    }
}

// b = A u of a known zero-mean u: the solve returns u up to a constant.
TEST(DeredidStage2, RecoversAKnownFieldUpToAConstant)
{
    for (int threads : {0, 8}) {
        const int w = 37, h = 23, n = w * h;
        const size_t N = size_t(n);
        Vec u(N), b(N), x(N, 0.0f);
        testsupport::SeededRandom rnd(7);
        double mean = 0;
        for (float &v : u)
            mean += v = float(rnd.uniform());
        for (float &v : u)
            v -= float(mean / n);
        ASSERT_EQ(tm20m(ThreadCount(0), w, h, 0, u.data(), b.data()), h);
        const int iters = tm20(1e-12f, w, h, 2000, 0, ThreadCount(threads), b.data(), x.data());
        EXPECT_GT(iters, 10);
        double xm = 0;
        for (float v : x)
            xm += v;
        for (int i = 0; i < n; ++i)
            ASSERT_NEAR(x[size_t(i)] - xm / n, u[size_t(i)], 2e-3) << i;
        // Started at the answer: the first direction meets A p . p = 0 and nothing moves.
        Vec b2(N);
        tm20m(ThreadCount(0), w, h, 0, u.data(), b2.data());
        Vec x2 = u;
        EXPECT_EQ(tm20(1e-12f, w, h, 50, 0, ThreadCount(0), b2.data(), x2.data()), 0);
        EXPECT_EQ(x2, u);
    }
    EXPECT_EQ(tm20(1e-5f, 1, 5, 50, 0, ThreadCount(0), nullptr, nullptr), -3);
}

// Every level count solves level 0 at least: the result is exp of u with A u = b, whatever
// right-hand side stage 1 left.
TEST(DeredidStage2, SolvesLevelZeroWithOneLevelOrMore)
{
    const int w = 40, h = 30, n = w * h;
    const size_t N = size_t(n);
    Vec u(N), b(N);
    for (int i = 0; i < n; ++i)
        u[size_t(i)] = 0.3f * std::sin(0.2f * float(i % w)) * std::cos(0.3f * float(i / w));
    tm20m(ThreadCount(0), w, h, 0, u.data(), b.data());
    auto p = defaults();
    p[kDeSliderSmoothing] = 20; // 450 iterations: converged
    for (int levels : {0, 1, 2, 3}) {
        const std::vector<Level> lv = tonemap::detail::halving_levels(w, h, std::max(levels, 1));
        Vec work(size_t(lv.back().offset + lv.back().pixels()), 0.0f);
        std::copy(b.begin(), b.end(), work.begin());
        // Coarser levels hold zeros: a solution of 0 spread down as the first guess.
        ASSERT_EQ(calc_tm2new2(levels, p.data(), work.data(), {{w, h, 3, 8, 16, 0, w * 3, 0}},
                               {1, 0, {}}),
                  n);
        Vec logu(N), back(N);
        for (int i = 0; i < n; ++i)
            logu[size_t(i)] = std::log(work[size_t(i)]);
        tm20m(ThreadCount(0), w, h, 0, logu.data(), back.data());
        for (int i = 0; i < n; ++i)
            ASSERT_NEAR(back[size_t(i)], b[size_t(i)], 1e-3) << levels << " " << i;
    }
    Vec work(10);
    EXPECT_EQ(calc_tm2(3, 3, 10, 3, p.data(), work.data(), {{40, 30}}, {1, 1, {}}), -3);
}

// ---- Stage 3 -------------------------------------------------------------------------------

TEST(DeredidStage3, ConstantsFromTheSliders)
{
    const auto p = defaults();
    float lum[7] = {0.5f, 200, 0.001f, -1, -2, 0, 1};
    const Tm31Constants k = tm31_constants(0, p.data(), lum, 16);
    EXPECT_FLOAT_EQ(k.wg, 0.27f);
    EXPECT_FLOAT_EQ(k.eg, 0.45f);
    EXPECT_FLOAT_EQ(k.sb, 0.46f);
    EXPECT_EQ(k.g, 1.0f);
    EXPECT_EQ(k.step, 0);
    EXPECT_FALSE(k.temperature);
    EXPECT_EQ(k.M, 65535.0f);
    for (const auto &[slider, g] : {std::pair{50.0f, 1.0f},
                                    {0.0f, 2.0f},
                                    {-1.0f, 1.0f},
                                    {100.0f, 0.5f},
                                    {150.0f, 0.25f},
                                    {155.0f, 1.0f}}) {
        auto q = p;
        q[kDeGamma] = slider;
        EXPECT_FLOAT_EQ(tm31_constants(0, q.data(), lum, 8).g, g) << slider;
    }
    for (const auto &[sat, eg, step] : {std::tuple{50.0f, 0.45f, 0},
                                        {50.1f, 0.3511f, 0},
                                        {39.0f, 0.45f, -2},
                                        {40.0f, 0.45f, 0},
                                        {56.0f, 0.416f, 1}}) {
        auto q = p;
        q[kDeColorSaturation] = sat;
        const Tm31Constants c = tm31_constants(0, q.data(), lum, 8);
        EXPECT_NEAR(c.eg, eg, 1e-4) << sat;
        EXPECT_EQ(c.step, step) << sat;
    }
    auto q = p;
    q[kDeColorTemperature] = 1; // 6240 K
    float xyz[3] = {};
    kelvin2XYZ(6240, xyz);
    const Tm31Constants t = tm31_constants(1, q.data(), lum, 8);
    EXPECT_TRUE(t.temperature);
    EXPECT_FLOAT_EQ(t.kx, xyz[0] / 0.950456f);
    EXPECT_FLOAT_EQ(t.kz, xyz[2] / 1.088754f);
    EXPECT_NEAR(t.wg, (129.4 - 70) * 0.0051, 1e-6); // 16- and 8-bit sources
}

namespace {

double ref_smooth(double x, double x0, double x1)
{
    if (x1 > x0 ? x >= x1 : x <= x1)
        return 1;
    if (x1 > x0 ? x <= x0 : x >= x0)
        return 0;
    const double t = (x - x0) / (x1 - x0);
    return 3 * t * t - 2 * t * t * t;
}

// One pixel of stage 3 read off its description, in double precision: the three channel values
// in output units (before truncation), or zeros.
std::array<double, 3> ref_pixel(int docType, const std::vector<float> &p, const float *lum,
                                double R, double G, double B, double scale, double l)
{
    std::array<double, 3> out{};
    const double Y = 0.2126 * R + 0.7152 * G + 0.0722 * B;
    if (Y <= 0)
        return out;
    const double lY = std::log(Y * scale);
    const double p2 = p[kDeColorSaturation], S = std::max(1.0f, p[kDeStrength]);
    const double wg =
        docType == 0 ? (100 - S) * 0.009 : (S > 40 ? (129.4 - S) * 0.0051 : (100 - S) * 0.0076);
    const double eg = p2 <= 50 ? 0.45 : (p2 - 50) * 0.011 - 0.1 + 0.45;
    const double sb = p2 / 100;
    double L = l;
    if (wg > 0 || p[kDeShadowsClipping] > 0) {
        const double y = Y * scale / lum[0], Bm = lum[1];
        const double gc = std::log(y + 1) * std::log(10.0) / std::log(Bm + 1) /
                          std::log(8 * std::pow(y / Bm, 0.23) + 2);
        L = std::pow(gc, eg) * wg + (1 - wg) * l;
        const double a = std::log(lum[2]);
        const double t1 = a + (lum[3] - a) * p[kDeShadowsClipping] * 0.01;
        const double t0 = t1 - (std::log(lum[0] * lum[1]) - lum[3]) * 0.4;
        if (p[kDeShadowsClipping] > 0 && lY < t1) {
            const double w = lY < t0 ? 1 : std::clamp(1 - ref_smooth(lY, t0, t1), 0.0, 1.0);
            L = L * (1 - w) + 0.02 * w;
        }
    }
    const double g = std::pow(2.0, (50.0 - p[kDeGamma]) / 50);
    L = std::pow(L, g > 0.24 && g < 2.01 ? g : 1);
    double V[3] = {R, G, B};
    if (p[kDeColorTemperature] != 0) {
        float xyz[3] = {0.950456f, 1, 1.088754f};
        kelvin2XYZ(int(6500 - 260 * p[kDeColorTemperature]), xyz);
        const double X = xyz[0] / 0.950456 * (0.4124 * R + 0.3576 * G + 0.1805 * B);
        const double Z = xyz[2] / 1.088754 * (0.0193 * R + 0.1192 * G + 0.9505 * B);
        V[0] = std::max(0.0, 3.2406 * X - 1.5372 * Y - 0.4986 * Z);
        V[1] = std::max(0.0, -0.9689 * X + 1.8758 * Y + 0.0415 * Z);
        V[2] = std::max(0.0, 0.0557 * X - 0.204 * Y + 1.057 * Z);
    }
    const double p13 = p[kDeSaturationHighlights], p14 = p[kDeSaturationShadows];
    double s = sb;
    if (lY >= lum[3] && p13 != 0)
        s += p13 / 10 * (p13 <= 0 ? sb : 1 - sb) * ref_smooth(lY, lum[3], lum[5]);
    else if (lY < lum[3] && p14 != 0)
        s += p14 / 10 * (p14 <= 0 ? sb : 1 - sb) * ref_smooth(lY, lum[3], lum[4]);
    s = std::clamp(s, 0.0, 1.0);
    for (int c = 0; c < 3; ++c)
        out[size_t(c)] = std::pow(V[c] / Y, s) * L;
    const double p9 = p[kDeHighlightsSmoothing], p10 = p[kDeShadowsSmoothing];
    if (p9 > 0 || p10 > 0) {
        const double wl = p[kDeWhiteClip] >= 0 && p[kDeWhiteClip] <= 10 ? p[kDeWhiteClip] : 0.25;
        const double hs = p9 > 0 ? (100 - (wl + 0.001)) / 100 / std::exp(double(lum[6])) : 1;
        float Q[3];
        for (int c = 0; c < 3; ++c)
            Q[c] = float(std::pow(V[c] * hs * scale, 0.45));
        const double Yq = 0.2 * Q[0] + 0.7 * Q[1] + 0.1 * Q[2];
        const double f = p9 > 0 && Yq > L ? p9 / 100 : (p10 > 0 && Yq < L ? p10 / 200 : -1);
        if (f >= 0) {
            const int step = p2 < 40 || p2 > 50 ? int((p2 - 50) / 5) : 0;
            if (step != 0) {
                float hsl[3];
                rgb2hsl_norm(Q, hsl);
                hsl[1] = std::min(hsl[1] * (1 + 0.1f * float(step)), 1.0f);
                hsl2rgb_norm(hsl, Q);
            }
            for (int c = 0; c < 3; ++c)
                out[size_t(c)] = f * Q[c] + (1 - f) * out[size_t(c)];
        }
    }
    return out;
}

// A source of each kind from the generated scene (textured), with its curve.
struct Source {
    int docType;
    std::vector<uint8_t> bytes;
    std::vector<float> curve;
};

Source make_source(int docType, int w, int h)
{
    Source s{docType, {}, {}};
    if (docType == kDocRgbe) {
        s.bytes = tmtest::encode_rgbe(w, h, 0.2);
        return s;
    }
    const int bits = docType == kDocRgb16 ? 16 : 8;
    s.bytes = testsupport::render_photo(testsupport::make_radiance_map(w, h), 0.5f, bits, 3);
    s.curve.resize(bits == 16 ? 65536 : 256);
    camcurve(0, int(s.curve.size()), s.curve.data());
    return s;
}

} // namespace

TEST(DeredidStage3, PixelsMatchAPlainReading)
{
    const int w = 29, h = 19;
    const float lum[7] = {0.4f, 60, 0.004f, -1.1f, -2.2f, 0.3f, 2.5f};
    auto with = [](std::initializer_list<std::pair<int, float>> slots) {
        auto p = defaults();
        for (const auto &[k, v] : slots)
            p[size_t(k)] = v;
        return p;
    };
    const std::vector<std::vector<float>> records = {
        defaults(),
        with({{kDeShadowsClipping, 60}, {kDeGamma, 20}}),
        with({{kDeColorTemperature, 3}, {kDeStrength, 20}}),
        with({{kDeSaturationHighlights, 6}, {kDeSaturationShadows, -4}}),
        with({{kDeHighlightsSmoothing, 40}, {kDeShadowsSmoothing, 70}, {kDeColorSaturation, 30}}),
        with({{kDeStrength, 100}, {kDeColorSaturation, 70}}), // no global curve
    };
    float table[256];
    exp_lut(table, -8);
    for (int docType : {0, 1, 2})
        for (size_t r = 0; r < records.size(); ++r)
            for (int bits : {8, 16})
                for (int threads : {1, 8}) {
                    const auto &p = records[r];
                    Source src = make_source(docType, w, h);
                    Vec lumMap(size_t(w) * h);
                    for (size_t i = 0; i < lumMap.size(); ++i)
                        lumMap[i] = 0.05f + float(i % 37) / 20.0f;
                    Vec mapped = lumMap;
                    const dim_param dim{{w, h, 3, 8, bits, docType ? 3 * w : 0, 3 * w, 0}};
                    ASSERT_EQ(tm30(p.data(), mapped.data(), dim), h);
                    std::vector<uint8_t> out(size_t(w) * h * 3 * size_t(bits / 8));
                    const int rc =
                        calc_tm3(docType, p.data(), lum, table, src.curve.data(), src.bytes.data(),
                                 dim, {threads, 0, {}}, lumMap.data(), out.data());
                    ASSERT_EQ(rc, threads == 1 ? h : h - h / 8 * 7);
                    const double M = bits == 16 ? 65535 : 255;
                    for (int i = 0; i < w * h; ++i) {
                        double V[3], scale = 1;
                        if (docType == 0) {
                            const uint8_t *row = src.bytes.data() + size_t(i / w) * 4 * w;
                            for (int c = 0; c < 3; ++c)
                                V[c] = row[c * w + i % w];
                            scale = table[row[3 * w + i % w]];
                        } else {
                            for (int c = 0; c < 3; ++c)
                                V[c] = docType == 1 ? src.curve[reinterpret_cast<const uint16_t *>(
                                                          src.bytes.data())[i * 3 + c]]
                                                    : src.curve[src.bytes[size_t(i * 3 + c)]];
                        }
                        const auto e =
                            ref_pixel(docType, p, lum, V[0], V[1], V[2], scale, mapped[size_t(i)]);
                        for (int c = 0; c < 3; ++c) {
                            const double got =
                                bits == 16
                                    ? reinterpret_cast<const uint16_t *>(out.data())[i * 3 + c]
                                    : out[size_t(i * 3 + c)];
                            const double want = std::clamp(std::floor(e[size_t(c)] * M), 0.0, M);
                            // Single against double precision: a code either side of a
                            // truncation, a few more codes of 16 bits.
                            ASSERT_NEAR(got, want, bits == 16 ? 8 : 1)
                                << "docType " << docType << " record " << r << " bits " << bits
                                << " pixel " << i << " channel " << c;
                        }
                    }
                }
}

// A non-zero channel order reads interleaved sources and writes the output blue first: a source
// with red and blue exchanged comes out as the plain one with red and blue exchanged.
TEST(DeredidStage3, ChannelOrderExchangesRedAndBlue)
{
    const int w = 23, h = 9;
    const float lum[7] = {0.4f, 60, 0.004f, -1.1f, -2.2f, 0.3f, 2.5f};
    float table[256];
    exp_lut(table, -8);
    const auto p = defaults();
    for (int docType : {0, 1, 2}) {
        Source plain = make_source(docType, w, h), swapped = plain;
        const size_t bytes = docType == kDocRgb16 ? 2 : 1;
        for (size_t i = 0; docType != 0 && i < size_t(w) * h; ++i)
            for (size_t b = 0; b < bytes; ++b)
                std::swap(swapped.bytes[i * 3 * bytes + b], swapped.bytes[(i * 3 + 2) * bytes + b]);
        std::vector<uint16_t> out[2];
        for (int order : {0, 1}) {
            Vec l(size_t(w) * h);
            for (size_t i = 0; i < l.size(); ++i)
                l[i] = 0.05f + float(i % 37) / 20.0f;
            out[order].assign(size_t(w) * h * 3, 0);
            const dim_param dim{{w, h, 3, 8, 16, docType ? 3 * w : 0, 3 * w, order}};
            ASSERT_GT(calc_tm3(docType, p.data(), lum, table, plain.curve.data(),
                               (order ? swapped : plain).bytes.data(), dim, {1, 0, {}}, l.data(),
                               out[order].data()),
                      0);
        }
        for (size_t i = 0; i < size_t(w) * h; ++i) {
            ASSERT_EQ(out[1][i * 3], out[0][i * 3 + 2]) << docType << " " << i;
            ASSERT_EQ(out[1][i * 3 + 1], out[0][i * 3 + 1]);
            ASSERT_EQ(out[1][i * 3 + 2], out[0][i * 3]);
        }
    }
}

// Statistics of a uniform scene, and of a scene whose three middle percentiles coincide with its
// maximum: every smooth step has no width at all. No NaN, exponent 0 black, saturation 0 grey.
// The highlights' saturation takes its full step past a step of no width; a uniform scene has no
// highlights, so it takes none.
TEST(DeredidStage3, BlackWithoutLightGreyWithoutSaturationNoNaNWhenFlat)
{
    float table[256];
    exp_lut(table, -8);
    const int w = 12, h = 10;
    const dim_param dim{{w, h, 3, 8, 16, 0, 3 * w, 0}};
    std::vector<uint8_t> rgbe(size_t(w) * h * 4);
    for (int i = 0; i < w * h; ++i) // saturated orange, one pixel without light
        imagecore::put_rgbe(rgbe.data() + size_t(i / w) * 4 * w, w, i % w, i == 5 ? 0 : 2.0,
                            i == 5 ? 0 : 0.8, i == 5 ? 0 : 0.1);
    const float top = std::log(0.55f * 1.5f);
    const float flat[7] = {0.55f, 1, 0.55f, -0.6f, -0.6f, -0.6f, -0.6f};
    const float narrow[7] = {0.55f, 1.5f, 0.2f, top, top, top, top};
    for (const float *lum : {flat, narrow}) {
        int spread[3] = {};
        for (const auto &[k, p2, p13, p14, p11] : {std::tuple{0, 46.0f, 0.0f, 0.0f, 0.0f},
                                                   {1, 0.0f, 0.0f, 0.0f, 0.0f},
                                                   {2, 46.0f, 5.0f, -5.0f, 50.0f}}) {
            auto p = defaults();
            p[kDeColorSaturation] = p2;
            p[kDeSaturationHighlights] = p13;
            p[kDeSaturationShadows] = p14;
            p[kDeShadowsClipping] = p11;
            Vec lumMap(size_t(w) * h, 0.7f);
            std::vector<uint16_t> out(size_t(w) * h * 3, 7);
            ASSERT_GT(calc_tm3(0, p.data(), lum, table, nullptr, rgbe.data(), dim, {1, 0, {}},
                               lumMap.data(), out.data()),
                      0);
            EXPECT_EQ(out[15] + out[16] + out[17], 0); // exponent 0: black
            const uint16_t *px = out.data() + 3 * 7;
            spread[k] = px[0] - px[2];
            if (p2 == 0) {
                EXPECT_TRUE(px[0] == px[1] && px[1] == px[2]) << px[0] << " " << px[1]; // grey
            } else {
                EXPECT_TRUE(px[0] > px[1] && px[1] > px[2]) << "orange stays orange";
            }
            // Every lit pixel alike and lit: no NaN turned into 0 anywhere.
            EXPECT_GT(out[0] + out[1] + out[2], 0);
            for (size_t i = 3; i < out.size(); ++i) {
                if (i / 3 != 5) {
                    ASSERT_EQ(out[i], out[i % 3]) << i;
                }
            }
        }
        if (lum == flat) {
            EXPECT_EQ(spread[2], spread[0]);
        } else {
            EXPECT_GT(spread[2], spread[0] + 1000);
        }
    }
}

TEST(DeredidStage3, RefusesBadArguments)
{
    float table[256], lum[7] = {1, 2, 0.5f, 0, -1, 1, 1};
    exp_lut(table, -8);
    const auto p = defaults();
    std::vector<uint8_t> src(20 * 12 * 4, 130), out(20 * 12 * 3);
    Vec l(20 * 12, 0.5f), negative(20 * 12, -1.0f);
    const dim_param dim{{20, 12, 3, 8, 8, 0, 60, 0}}, shortRows{{20, 12, 3, 8, 8, 0, 59, 0}};
    EXPECT_EQ(calc_tm3(0, p.data(), lum, table, nullptr, src.data(), dim, {1, 1, {}}, l.data(),
                       out.data()),
              -3); // out of core without its file
    EXPECT_EQ(calc_tm3(0, p.data(), lum, nullptr, nullptr, src.data(), dim, {1, 0, {}}, l.data(),
                       out.data()),
              -3);
    EXPECT_EQ(calc_tm3(2, p.data(), lum, table, nullptr, src.data(), dim, {1, 0, {}}, l.data(),
                       out.data()),
              -3); // an 8-bit source needs its curve
    EXPECT_EQ(calc_tm3(0, p.data(), lum, table, nullptr, src.data(), shortRows, {1, 0, {}},
                       l.data(), out.data()),
              -3);
    EXPECT_EQ(calc_tm3(0, p.data(), lum, table, nullptr, src.data(), dim, {8, 0, {}},
                       negative.data(), out.data()),
              -101);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t v) { return v == 0; }));
}

// ---- The whole enhancer ----------------------------------------------------------------------

namespace {

struct Enhanced {
    std::vector<double> rgb; // 0..1, interleaved
    int w, h;
    double luminance(int x, int y) const
    {
        const double *px = &rgb[(size_t(y) * size_t(w) + size_t(x)) * 3];
        return 0.2126 * px[0] + 0.7152 * px[1] + 0.0722 * px[2];
    }
};

Enhanced enhance(const Source &src, int w, int h, std::vector<float> p, int bits, int threads)
{
    ToneMap job;
    job.setTMParam1(platform::Data::copy(p.data(), kTmParamBytes));
    const int32_t dims[13] = {w, h, 3, 8, bits};
    job.setImageDimsFrom(platform::Data::copy(dims, sizeof dims));
    job.setDocType(src.docType);
    job.setNbProc(threads);
    const platform::DataPtr out =
        job.enhancerToneMap(0, platform::Data::copy(src.bytes.data(), src.bytes.size()));
    Enhanced e{{}, w, h};
    if (!out)
        return e;
    for (size_t i = 0; i < size_t(w) * size_t(h) * 3; ++i)
        e.rgb.push_back(bits == 16 ? reinterpret_cast<const uint16_t *>(out->bytes())[i] / 65535.0
                                   : out->bytes()[i] / 255.0);
    return e;
}

// The log luminance of each pixel as the source gives it (the texture and the photo's clipping
// included).
std::vector<double> source_log_luminance(const Source &src, int w, int h)
{
    float table[256];
    exp_lut(table, -8);
    std::vector<double> logY;
    for (int i = 0; i < w * h; ++i) {
        double V[3];
        for (int c = 0; c < 3; ++c) {
            if (src.docType == kDocRgbe) {
                const uint8_t *row = src.bytes.data() + size_t(i / w) * 4 * size_t(w);
                V[c] = row[c * w + i % w] * double(table[row[3 * w + i % w]]);
            } else if (src.docType == kDocRgb16) {
                V[c] = src.curve[reinterpret_cast<const uint16_t *>(src.bytes.data())[i * 3 + c]];
            } else {
                V[c] = src.curve[src.bytes[size_t(i * 3 + c)]];
            }
        }
        logY.push_back(std::log(0.2126 * V[0] + 0.7152 * V[1] + 0.0722 * V[2]));
    }
    return logY;
}

} // namespace

// Slider and light modes, every source kind, 8 and 16 bits, 1 and 8 threads: the picture follows
// the scene's log luminance, keeps each patch's hue (that of the colour ratios to the power
// 0.46), keeps detail in the sun and in the dark corner, and does not depend on the threads.
TEST(DeredidEnhancer, ShowsTheSceneInEveryModeDepthAndThreadCount)
{
    const int w = 240, h = 160;
    for (float mode : {1.0f, 0.0f})
        for (int docType : {0, 1, 2})
            for (int bits : {16, 8}) {
                auto p = defaults();
                p[kDeSmoothingMode] = mode;
                const Source src = make_source(docType, w, h);
                const std::vector<double> logY = source_log_luminance(src, w, h);
                const std::string label = "mode " + std::to_string(int(mode)) + " docType " +
                                          std::to_string(docType) + " bits " + std::to_string(bits);
                const Enhanced one = enhance(src, w, h, p, bits, 1);
                const Enhanced eight = enhance(src, w, h, p, bits, 8);
                ASSERT_EQ(one.rgb.size(), size_t(w) * h * 3) << label;
                // Level 0 runs banded; the solver's sums add fixed chunks in order: the same bits.
                EXPECT_EQ(one.rgb, eight.rgb) << label;
                std::vector<double> Y;
                for (int i = 0; i < w * h; ++i)
                    Y.push_back(one.luminance(i % w, i / w));
                // The operator flattens the scene's largest gradient, its 12-stop ramp, by
                // design: 0.84 to 0.89 here; noise or a scrambled picture gives about 0.
                EXPECT_GT(testsupport::correlation(Y, logY), 0.8) << label;
                for (const auto &pt : testsupport::scene_patches()) {
                    // Pixels with a channel at full scale lose their hue to the clip.
                    double sum[3] = {};
                    for (int y = int(pt.y0 * h) + 2; y < int(pt.y1 * h) - 2; ++y)
                        for (int x = int(pt.x0 * w) + 2; x < int(pt.x1 * w) - 2; ++x) {
                            const double *px = &one.rgb[(size_t(y) * w + size_t(x)) * 3];
                            if (std::max({px[0], px[1], px[2]}) < 0.999)
                                for (int c = 0; c < 3; ++c)
                                    sum[c] += px[c];
                        }
                    if (sum[0] + sum[1] + sum[2] == 0)
                        continue;
                    const double want = testsupport::hue_degrees(
                        std::pow(pt.r, 0.46), std::pow(pt.g, 0.46), std::pow(pt.b, 0.46));
                    EXPECT_LT(testsupport::hue_distance(
                                  testsupport::hue_degrees(sum[0], sum[1], sum[2]), want),
                              4.0)
                        << label << " patch " << pt.r << " " << pt.g << " " << pt.b;
                }
                // Detail in the highlights (the textured sun, 16 times the brightest sky) and in
                // the shadows (the dark corner), neither clipped nor crushed.
                auto region = [&](int x0, int y0, int x1, int y1) {
                    std::vector<double> v;
                    for (int y = y0; y < y1; ++y)
                        for (int x = x0; x < x1; ++x)
                            v.push_back(one.luminance(x, y));
                    double m = 0, s = 0;
                    for (double a : v)
                        m += a;
                    m /= double(v.size());
                    for (double a : v)
                        s += (a - m) * (a - m);
                    return std::pair{m, std::sqrt(s / double(v.size()))};
                };
                if (docType == 0) { // the photos are one exposure: their sun is clipped
                    const auto [sunMean, sunSpread] = region(176, 44, 184, 52);
                    EXPECT_LT(sunMean, 0.99) << label;
                    EXPECT_GT(sunSpread, 0.01) << label;
                }
                const auto [darkMean, darkSpread] = region(2, h - 18, 28, h - 2);
                EXPECT_GT(darkMean, 0.02) << label;
                EXPECT_GT(darkSpread, docType == 0 ? 0.003 : 0.0) << label;
            }
}

TEST(DeredidEnhancer, LuminosityBrightensAndSaturationSaturates)
{
    const int w = 120, h = 80;
    const Source src = make_source(0, w, h);
    auto mean = [](const Enhanced &e) {
        double s = 0;
        for (double v : e.rgb)
            s += v;
        return s / double(e.rgb.size());
    };
    auto chroma = [&](const Enhanced &e) { // spread of the red patch's channels
        const auto &pt = testsupport::scene_patches()[0];
        const size_t i =
            (size_t((pt.y0 + pt.y1) / 2 * h) * w + size_t((pt.x0 + pt.x1) / 2 * w)) * 3;
        return e.rgb[i] - std::min(e.rgb[i + 1], e.rgb[i + 2]);
    };
    auto p = defaults();
    const Enhanced base = enhance(src, w, h, p, 16, 1);
    p[kDeLuminosity] = 6;
    const Enhanced brighter = enhance(src, w, h, p, 16, 1);
    EXPECT_GT(mean(brighter), mean(base) + 0.01);
    p = defaults();
    p[kDeColorSaturation] = 80;
    EXPECT_GT(chroma(enhance(src, w, h, p, 16, 1)), chroma(base) + 0.02);
    p = defaults();
    p[kDeColorSaturation] = 0;
    EXPECT_LT(chroma(enhance(src, w, h, p, 16, 1)), 0.002); // grey
}

// A thread that cannot start: stage 1 does its band on the calling thread (same values), stage 3
// fails with -2.
TEST(DeredidStages, FailedThreadStarts)
{
    auto fail_every_second =
        +[](pthread_t *t, const pthread_attr_t *a, void *(*fn)(void *), void *arg) {
            static std::atomic<int> n{0};
            return n++ % 2 ? EAGAIN : pthread_create(t, a, fn, arg);
        };
    const auto p = defaults();
    Stage1Run plain(1031, 1027, p), failing(1031, 1027, p);
    ASSERT_EQ(plain.run(8), 0);
    imagecore::set_thread_start_for_testing(fail_every_second);
    const int rc = failing.run(8);
    float table[256];
    exp_lut(table, -8);
    Vec lumMap(64 * 40, 0.5f);
    std::vector<uint8_t> src(64 * 40 * 4, 130), out(64 * 40 * 3);
    const float lum[7] = {1, 2, 0.5f, 0, -1, 1, 1};
    const int rc3 = calc_tm3(0, p.data(), lum, table, nullptr, src.data(),
                             {{64, 40, 3, 8, 8, 0, 192, 0}}, {8, 0, {}}, lumMap.data(), out.data());
    imagecore::set_thread_start_for_testing(nullptr);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(std::memcmp(plain.work.data(), failing.work.data(), plain.work.size() * 4), 0);
    EXPECT_EQ(rc3, -2);
}

// A flat scene has no gradient, no luminance range and no percentiles. Whatever its grey, it takes
// the tone of the mid-grey areas of a normal scene (the generated scene's 18 % grey on its base,
// away from the patches, the sun and the dark corner), not white; lit pixels all alike, in both
// modes, without NaN (which would come out as 0); a coloured flat scene keeps its colour order.
TEST(DeredidEnhancer, FlatScenesOfAnyGreyTakeTheToneOfMidGreyAreas)
{
    const int w = 1200, h = 800; // small pictures have fewer levels: the tone sinks to 0.35
    const testsupport::RadianceMap scene = testsupport::make_radiance_map(w, h);
    auto flat = [](int fw, int fh, double r, double g, double b) {
        Source src{0, std::vector<uint8_t>(size_t(fw) * fh * 4), {}};
        for (int i = 0; i < fw * fh; ++i)
            imagecore::put_rgbe(src.bytes.data() + size_t(i / fw) * 4 * fw, fw, i % fw, r, g, b);
        return src;
    };
    for (float mode : {1.0f, 0.0f}) {
        auto p = defaults();
        p[kDeSmoothingMode] = mode;
        const Enhanced normal = enhance({0, tmtest::encode_rgbe(w, h), {}}, w, h, p, 16, 8);
        ASSERT_EQ(normal.rgb.size(), size_t(w) * h * 3);
        double sum = 0;
        int n = 0;
        for (int y = h / 2; y < h; ++y) // below the sun, right of the dark corner
            for (int x = w / 8; x < w; ++x) {
                const double Y = 0.2126 * scene.at(x, y, 0) + 0.7152 * scene.at(x, y, 1) +
                                 0.0722 * scene.at(x, y, 2);
                if (std::fabs(std::log(Y / 0.18)) < 0.1)
                    sum += normal.luminance(x, y), ++n;
            }
        ASSERT_GT(n, 100);
        const double midGrey = sum / n;
        double first = -1;
        // 115712 (mantissa 226, exponent 145): its largest luminance comes back a unit in the
        // last place above its smallest.
        for (double grey : {0.002, 0.18, 50.0, 115712.0}) {
            const Enhanced e = enhance(flat(64, 48, grey, grey, grey), 64, 48, p, 16, 8);
            ASSERT_EQ(e.rgb.size(), size_t(64) * 48 * 3);
            for (size_t i = 0; i < e.rgb.size(); ++i)
                ASSERT_EQ(e.rgb[i], e.rgb[0]) << mode << " " << grey << " " << i;
            if (first < 0)
                first = e.rgb[0];
            EXPECT_EQ(e.rgb[0], first) << "the same tone for every grey: " << grey;
            // The areas straddle 18 % by a tenth of a stop either way; the tone of mid grey
            // moves by a few hundredths with the scene and its size.
            EXPECT_NEAR(e.rgb[0], midGrey, 0.05) << mode << " " << grey;
        }
        const Enhanced c = enhance(flat(64, 48, 0.3, 0.2, 0.1), 64, 48, p, 16, 8);
        for (size_t i = 0; i < c.rgb.size(); ++i)
            ASSERT_EQ(c.rgb[i], c.rgb[i % 3]) << mode << " " << i;
        EXPECT_GT(c.rgb[0], c.rgb[1]);
        EXPECT_GT(c.rgb[1], c.rgb[2]);
        EXPECT_GT(c.rgb[2], 0);
    }
}
