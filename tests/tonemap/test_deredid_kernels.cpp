// Foundations of the local operator: pyramid sizes, stage-1 luminance, the conjugate-gradient
// kernels against plain readings of their definitions (1 to 32 threads, in place, failed thread
// starts), the range step and the cubic coefficients.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <numeric>
#include <tuple>
#include <type_traits>
#include <vector>

#include "imagecore/banded.h"
#include "tests/support/image_compare.h"
#include "tests/tonemap/alloc_failure.h"
#include "tests/tonemap/tm_test_util.h"
#include "tonemap/cg_kernels.h"
#include "tonemap/cubic_coeffs.h"
#include "tonemap/deredid_luminance.h"
#include "tonemap/range_map.h"
#include "tonemap/tm_dim.h"

// The thread count cannot take the place of an element count or a factor, in either order.
static_assert(!std::is_convertible_v<int, ThreadCount>);
static_assert(
    !std::is_invocable_v<decltype(&tm20a), int, int, const float *, const float *, float *, float>);
static_assert(!std::is_invocable_v<decltype(&tm20a), float, ThreadCount, int, const float *,
                                   const float *, float *>);
static_assert(level_threads(8, kThreadedLevelPixels - 1).count == 0 &&
              level_threads(8, kThreadedLevelPixels).count == 8 &&
              level_threads(1, 1 << 30).count == 0 &&
              power_level_threads(8, kThreadedPowerPixels).count == 8 &&
              power_level_threads(8, kThreadedPowerPixels - 1).count == 0);

namespace {

using Vec = std::vector<float>;

Vec pattern(size_t n, double scale = 1)
{
    Vec v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = float(scale * (std::sin(0.37 * double(i)) + 0.1 * double(i % 7)));
    return v;
}

// Every second thread start fails while armed.
std::atomic<int> g_starts{0};
void fail_starts(bool on)
{
    g_starts = 0;
    imagecore::set_thread_start_for_testing(
        on ? +[](pthread_t *t, const pthread_attr_t *a, void *(*fn)(void *),
                 void *arg) { return g_starts++ % 2 ? EAGAIN : pthread_create(t, a, fn, arg); }
           : nullptr);
}

// A x read off the stencil: N and S (rows other than the top and bottom) or the 360 neighbour P
// (top row), then left and right (wrapped, or missing at the ends), then the one vertical
// neighbour of the top and bottom rows; summed in that order, minus their count times the cell.
Vec ref_laplacian(int w, int h, bool wrap, const Vec &x)
{
    auto at = [&](int r, int c) { return x[size_t(r) * size_t(w) + size_t((c + w) % w)]; };
    Vec y;
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c) {
            Vec nb;
            if (r > 0 && r < h - 1)
                nb = {at(r - 1, c), at(r + 1, c)};
            else if (r == 0 && wrap)
                nb = {at(0, w / 2)};
            for (int cc : {c - 1, c + 1})
                if (wrap || (cc >= 0 && cc < w))
                    nb.push_back(at(r, cc));
            if (r == 0 || r == h - 1)
                nb.push_back(at(r == 0 ? 1 : h - 2, c));
            float s = 0;
            for (float v : nb)
                s += v;
            y.push_back(s - float(nb.size()) * at(r, c));
        }
    return y;
}

Vec laplacian(int threads, int w, int h, bool wrap, const Vec &x)
{
    Vec y(x.size(), -7.0f);
    EXPECT_EQ(tm20m(ThreadCount(threads), w, h, wrap, x.data(), y.data()), h);
    return y;
}

float dot(int threads, const Vec &x, const Vec &y)
{
    float r = -7;
    EXPECT_EQ(tm20d(ThreadCount(threads), int(x.size()), x.data(), y.data(), &r), int(x.size()));
    return r;
}

} // namespace

TEST(TmDim, LevelCountsAndSizesOfBothPyramids)
{
    // w, h, smoothing mode (slot 16), light level (slot 5), result, then slots 5 to 12.
    const struct {
        int w, h;
        float mode, level;
        int rc;
        std::vector<int64_t> slots;
    } cases[] = {
        {600, 400, 1, 1, 4, {319700, 320037, 38, 25, 5, 4, 4, 7}},
        {10, 10, 1, 1, 1, {125, 200, 5, 5, 5, 5, 1, 4}}, // n = -1, at least one level
        {600, 400, 0, 0, 6, {320017, 319700, 10, 7, 38, 25, 6, 4}},
        {600, 400, 0, 4, 2, {315000, 319700, 150, 100, 38, 25, 2, 4}},
        {600, 400, 0, 1e30f, 2, {315000, 319700, 150, 100, 38, 25, 2, 4}}, // as level 4
        {600, 400, 0, -1e30f, 6, {320017, 319700, 10, 7, 38, 25, 6, 4}},   // as level 0
        {600, 400, 0, NAN, 5, {319947, 319700, 19, 13, 38, 25, 5, 4}},     // the default 1
        {9, 1000, 1, 1, -1, {-7, -7, -7, -7, -7, -7, -7, -7}},             // untouched
        {18, 2000, 1, 1, 3, {63000, 57500, 9, 1000, 5, 500, 3, 6}},        // sides of 9 and 5 stay
    };
    for (const auto &c : cases) {
        float p[kTmParamCount] = {};
        p[kDeSmoothingMode] = c.mode;
        p[kDeLightSmoothing] = c.level;
        tm_dims d;
        std::fill(std::begin(d.v), std::end(d.v), -7);
        EXPECT_EQ(tm_dim(c.w, c.h, p, &d), c.rc) << c.w << "x" << c.h << " " << c.level;
        EXPECT_EQ(std::vector<int64_t>(d.v + 5, d.v + 13), c.slots) << c.w << " " << c.level;
        EXPECT_EQ(d.v[0], -7);
    }
    EXPECT_EQ(tm_dim(600, 400, nullptr, nullptr), -3);
}

// A side's share of the level count is log2(side / 32) truncated, plus 1 only when the fraction
// exceeds a half: a fraction of exactly 0.5 stays down. The two shares are summed and halved by
// a shift, so a negative odd sum rounds down.
TEST(TmDim, LevelsRoundUpOnlyPastAHalf)
{
    const struct {
        int w, h;
        float mode, level;
        int levelsA;
    } cases[] = {
        {724, 724, 1, 1, 4},          // log2 22.625 = 4.4998: 4
        {725, 725, 1, 1, 5},          // log2 22.656 = 4.5018: 5
        {725, 724, 1, 1, 4},          // (5 + 4) / 2
        {1482910, 1482910, 1, 1, 15}, // log2 46340.94 in single precision is 15.5 exactly: 15
        {1482911, 1482911, 1, 1, 16}, // just past 15.5: 16
        {10, 40, 0, 0, 1},            // (-1 + 0) >> 1 = -1, plus the 2 of light level 0
        {10, 40, 0, 1, 1},            // -1 + 1, raised to at least 1
    };
    for (const auto &c : cases) {
        float p[kTmParamCount] = {};
        p[kDeSmoothingMode] = c.mode;
        p[kDeLightSmoothing] = c.level;
        tm_dims d{};
        EXPECT_EQ(tm_dim(c.w, c.h, p, &d), c.levelsA) << c.w << "x" << c.h;
        EXPECT_EQ(d.v[kTdLevelsA], c.levelsA);
    }
}

TEST(CalcTm0, LogLuminanceOfEverySourceKindWithPaddingAndBlackPixels)
{
    const int w = 13, h = 11, gw = 15, gh = 12, spp = 5, rowLength = spp * w + 3;
    float table[256];
    exp_lut(table, -8);
    Vec curve16(65536), curve8(256);
    camcurve(0, 65536, curve16.data());
    camcurve(0, 256, curve8.data());
    std::vector<uint8_t> rgbe = tmtest::encode_rgbe(w, h), black(size_t(w) * h * 4, 0);
    for (int i : {0, 17, 40}) // a few black pixels among lit ones
        rgbe[size_t(i / w) * 4 * w + 3 * size_t(w) + size_t(i % w)] = 0;
    std::vector<uint16_t> s16(size_t(rowLength) * h), zeros16(s16.size(), 0);
    for (size_t i = 0; i < s16.size(); ++i)
        s16[i] = uint16_t(i * 2654435761u >> 16);
    const std::vector<uint8_t> s8(s16.begin(), s16.end());

    const std::pair<int, const void *> cases[] = {
        {0, rgbe.data()}, {0, black.data()}, {1, s16.data()}, {1, zeros16.data()}, {2, s8.data()}};
    for (auto [docType, src] : cases) {
        // Per pixel: the luminance's log, floored (interleaved) or marked -1e9 (no light).
        const float *curve = docType == 1 ? curve16.data() : curve8.data();
        const double n = docType == 1 ? 65535 : 255;
        auto logY = [&](int x, int y) {
            const auto *row = static_cast<const uint8_t *>(src) + size_t(y) * 4 * w;
            if (docType == 0) {
                const float l = 0.2126f * row[x] + 0.7152f * row[w + x] + 0.0722f * row[2 * w + x];
                return row[3 * w + x] && l > 0 ? std::log(l * table[row[3 * w + x]]) : -1e9f;
            }
            auto c = [&](int k) {
                const size_t i = size_t(y) * rowLength + size_t(x) * spp + size_t(k);
                return curve[docType == 1 ? static_cast<const uint16_t *>(src)[i]
                                          : static_cast<const uint8_t *>(src)[i]];
            };
            return std::log(std::max(0.2126f * c(0) + 0.7152f * c(2) + 0.0722f * c(4),
                                     float(n * std::pow(1 / n, 2.2))));
        };
        double sum = 0, count = 0;
        float mx = -1e9f, mn = 1e9f;
        for (int i = 0; i < w * h; ++i)
            if (const float v = logY(i % w, i / w); v > -1e9f)
                sum += v, ++count, mx = std::max(mx, v), mn = std::min(mn, v);
        Vec want; // the grid repeats the last column and row; marked pixels take the mean
        for (int y = 0; y < gh; ++y)
            for (int x = 0; x < gw; ++x) {
                const float v = logY(std::min(x, w - 1), std::min(y, h - 1));
                want.push_back(v > -1e9f ? v : count ? float(sum / count) : mn);
            }
        Vec out(want.size(), -5), lum(kLumParamCount, 5);
        ASSERT_EQ(calc_tm0(docType, spp, w, h, rowLength, w, h, gw, gh, lum.data(), table, curve,
                           src, out.data()),
                  gh);
        EXPECT_EQ(out, want) << docType;
        const float l0 = count ? float(std::exp(sum / count)) : 5.0f; // kept when none counts
        EXPECT_EQ(lum, (Vec{l0, std::exp(mx) / l0, std::exp(mn), 5, 5, 5, 5})) << docType;
        if (src == black.data()) { // the minimum 1e9 everywhere, and an infinite [2]
            EXPECT_TRUE(out == Vec(out.size(), 1e9f) && std::isinf(lum[2]));
        }
    }
    // Sides of 9, kinds out of range, a source or grid smaller than the image, short rows.
    const int refusals[][5] = {{1, 9, gw, rowLength, -1},    {-1, w, gw, rowLength, 1},
                               {3, w, gw, rowLength, 0},     {1, w + 1, gw, rowLength, -3},
                               {1, w, w - 1, rowLength, -3}, {1, w, gw, spp * w - 1, -3}};
    Vec out(size_t(gw) * gh), lum(kLumParamCount);
    for (auto [docType, width, gridW, rowLen, rc] : refusals)
        EXPECT_EQ(calc_tm0(docType, spp, w, h, rowLen, width, h, gridW, gh, lum.data(), table,
                           curve16.data(), s16.data(), out.data()),
                  rc);
}

TEST(Tm1b, FactorOfNonZeroValuesInTheGivenRowsOnly)
{
    Vec g = {9, 9, 9, 9, 1.5f, 0, 3, 6, 9, 9, 9, 9};
    EXPECT_EQ(tm1b(4, 1, 4, g.data(), 2.0f, -0.07f, 0.5f), 1);
    EXPECT_EQ(g[4], 1.0f); // (1.5 + 0.5) / 2 = 1
    EXPECT_EQ(g[5], 0.0f); // no gradient, no factor
    EXPECT_EQ(g[6], float(std::pow(double((3.0f + 0.5f) / 2.0f), double(-0.07f))));
    EXPECT_LT(g[7], g[6]); // a negative exponent attenuates larger gradients more
    EXPECT_EQ(Vec(g.begin(), g.begin() + 4), Vec(4, 9.0f));
    EXPECT_EQ(Vec(g.begin() + 8, g.end()), Vec(4, 9.0f));
    EXPECT_EQ(tm1b(4, 1, -1, g.data(), 2, 1, 0), -3);
}

TEST(Tm20m, ConstantImpulseStencilAtEverySizeAndThreadCountInPlaceAndRefusals)
{
    for (bool wrap : {false, true})
        EXPECT_EQ(laplacian(1, 9, 7, wrap, Vec(63, 2.5f)), Vec(63, 0.0f)) << wrap;
    // A 1 inside a 7 x 6 level: -4 and four 1s; in a corner: -2 and two 1s.
    for (auto [at, k, ones] :
         {std::tuple{17, -4.0f, std::vector{10, 24, 16, 18}}, {0, -2.0f, {1, 7}}}) {
        Vec x(42, 0), want(42, 0);
        x[size_t(at)] = 1, want[size_t(at)] = k;
        for (int i : ones)
            want[size_t(i)] = 1;
        EXPECT_EQ(laplacian(8, 7, 6, false, x), want) << at;
    }

    const std::pair<int, int> sizes[] = {{2, 2}, {3, 3}, {2, 5}, {7, 3}, {16, 9}, {61, 45}};
    for (auto [w, h] : sizes)
        for (bool wrap : {false, true}) {
            const Vec in = pattern(size_t(w) * h), want2 = ref_laplacian(w, h, wrap, in);
            for (int threads : {1, 2, 3, 8, 32}) // more threads than rows too
                EXPECT_EQ(laplacian(threads, w, h, wrap, in), want2) << w << "x" << h << wrap;
            Vec inPlace = in;
            if (h >= 3) {
                EXPECT_EQ(tm20m_streaming(w, h, wrap, inPlace.data()), h);
                EXPECT_EQ(inPlace, want2) << "in place " << w << "x" << h << wrap;
            }
        }
    // Bands whose threads cannot start are computed on the calling thread.
    const Vec in = pattern(61 * 45);
    fail_starts(true);
    const Vec got = laplacian(8, 61, 45, true, in);
    fail_starts(false);
    EXPECT_EQ(got, ref_laplacian(61, 45, true, in));

    // Levels it cannot compute, and no memory for the window.
    Vec x = pattern(12), y(12, 7);
    const int refused[][2] = {{12, 1}, {1, 12}};
    for (auto [w, h] : refused)
        EXPECT_EQ(tm20m(ThreadCount(1), w, h, 0, x.data(), y.data()), -3);
    EXPECT_EQ(tm20m(ThreadCount(1), 4, 3, 0, x.data(), x.data()), -3); // in place: streaming
    EXPECT_EQ(y, Vec(12, 7));
    EXPECT_EQ(tm20m_streaming(6, 2, 0, x.data()), -3);
    tmtest::fail_allocation_at(1);
    EXPECT_EQ(tm20m_streaming(4, 3, 0, x.data()), -4);
    tmtest::fail_allocation_at(0);
    EXPECT_EQ(x, pattern(12));
}

// The dot product as the solver defines it: chunks of 8192 elements, each summed from 0 in index
// order in single precision, the chunk sums added in chunk order.
float ref_dot(const Vec &x, const Vec &y)
{
    float total = 0;
    for (size_t a = 0; a < x.size(); a += 8192) {
        float part = 0;
        for (size_t i = a; i < std::min(x.size(), a + 8192); ++i)
            part += x[i] * y[i];
        total += part;
    }
    return total;
}

TEST(Tm20d, FixedChunksAddedInOrderAtEveryThreadCount)
{
    // 2^24 swallows a 1 added to it: the ones of the first chunk are lost, those of the three
    // chunks after it are not, whichever thread takes them.
    const size_t n = 3 * 8192 + 5;
    Vec x(n, 1.0f), ones(n, 1.0f);
    x[0] = 16777216.0f;
    const float want = 16777216.0f + 8192.0f + 8192.0f + 5.0f;
    EXPECT_EQ(ref_dot(x, ones), want);
    for (bool failing : {false, true})
        for (int threads : {0, 1, 3, 8, 32}) {
            fail_starts(failing);
            EXPECT_EQ(dot(threads, x, ones), want) << threads << " " << failing;
            fail_starts(false);
        }
    // Chunk sums 2^24, 1 and 1 added in chunk order: each 1 is swallowed (the ones added first
    // would make 2^24 + 2).
    Vec spikes(2 * 8192 + 1, 0.0f);
    spikes[0] = 16777216.0f, spikes[8192] = 1.0f, spikes[16384] = 1.0f;
    EXPECT_EQ(ref_dot(spikes, Vec(spikes.size(), 1.0f)), 16777216.0f);
    for (int threads : {0, 1, 3, 8})
        EXPECT_EQ(dot(threads, spikes, Vec(spikes.size(), 1.0f)), 16777216.0f) << threads;

    const Vec u = pattern(100003), v = pattern(100003, -0.5);
    double exact = 0, magnitude = 0;
    for (size_t i = 0; i < u.size(); ++i)
        exact += double(u[i]) * v[i], magnitude += std::fabs(double(u[i]) * v[i]);
    // One single-precision accumulator over 8192 terms drifts by about 1e-6 of the sum of
    // magnitudes here; the 13 chunk sums add little to it.
    for (int threads : {1, 3, 8, 32}) {
        EXPECT_EQ(dot(threads, u, v), ref_dot(u, v)) << threads;
        EXPECT_NEAR(dot(threads, u, v), exact, 1e-5 * magnitude) << threads;
    }
    // Taken in strips of any length, the sum is the same.
    for (int strip : {1, 1000, 8192, 9000, 100003}) {
        ChunkedDot d;
        for (size_t a = 0; a < u.size(); a += size_t(strip))
            d.add(int(std::min(u.size() - a, size_t(strip))), u.data() + a, v.data() + a);
        EXPECT_EQ(d.sum(), ref_dot(u, v)) << strip;
    }
    EXPECT_EQ(ChunkedDot().sum(), 0.0f);
    float r = 5;
    EXPECT_EQ(tm20d(ThreadCount(8), 0, x.data(), x.data(), &r), 0);
    EXPECT_EQ(r, 0.0f);
    EXPECT_EQ(tm20d_orig(0, x.data(), x.data(), &r), 0);
    EXPECT_EQ(r, 0.0f);
    EXPECT_EQ(tm20d(ThreadCount(8), -1, x.data(), x.data(), &r), -3);
}

// The fused passes against the plain reading of the operations they stand for: the Laplacian
// and the chunked dot product; the two scaled sums and the dot product of the residual.
TEST(Tm20mdTm20aad, FusedPassesGiveThePlainValuesAtEveryThreadCount)
{
    for (const auto &[w, h] : {std::pair{2, 2}, {7, 5}, {300, 97}, {8192, 3}, {8191, 4}})
        for (bool wrap : {false, true}) {
            const Vec p = pattern(size_t(w) * h, 0.7);
            const Vec want = ref_laplacian(w, h, wrap, p);
            const float wantDot = ref_dot(p, want);
            for (bool failing : {false, true})
                for (int threads : {1, 3, 8}) {
                    Vec t(p.size(), -7.0f);
                    float d = -7;
                    fail_starts(failing);
                    EXPECT_EQ(tm20md(ThreadCount(threads), w, h, wrap, p.data(), t.data(), &d), h);
                    fail_starts(false);
                    EXPECT_EQ(t, want) << w << "x" << h << " " << wrap << " " << threads;
                    EXPECT_EQ(d, wantDot) << w << "x" << h << " " << wrap << " " << threads;
                }
        }
    for (size_t n : {size_t(1), size_t(8192), size_t(3 * 8192 + 77)}) {
        const Vec p = pattern(n, 0.3), t = pattern(n, -1.1), x0 = pattern(n, 2),
                  r0 = pattern(n, -3);
        Vec wantX = x0, wantR = r0;
        for (size_t i = 0; i < n; ++i) {
            wantX[i] = 0.625f * p[i] + x0[i];
            wantR[i] = -0.625f * t[i] + r0[i];
        }
        for (int threads : {1, 3, 8}) {
            Vec x = x0, r = r0;
            float rr = -7;
            EXPECT_EQ(tm20aad(ThreadCount(threads), int(n), 0.625f, p.data(), t.data(), x.data(),
                              r.data(), &rr),
                      int(n));
            EXPECT_EQ(x, wantX) << n << " " << threads;
            EXPECT_EQ(r, wantR) << n << " " << threads;
            EXPECT_EQ(rr, ref_dot(wantR, wantR)) << n << " " << threads;
        }
    }
    Vec v(8, 1.0f);
    float d = 0;
    EXPECT_EQ(tm20md(ThreadCount(1), 4, 2, 0, v.data(), v.data(), &d), -3); // in place
    EXPECT_EQ(tm20md(ThreadCount(1), 1, 8, 0, v.data(), v.data() + 1, &d), -3);
    EXPECT_EQ(tm20md(ThreadCount(1), 4, 2, 0, v.data(), nullptr, &d), -3);
    EXPECT_EQ(tm20aad(ThreadCount(1), -1, 1, v.data(), v.data(), v.data(), v.data(), &d), -3);
    EXPECT_EQ(tm20aad(ThreadCount(1), 4, 1, v.data(), v.data(), v.data(), v.data(), nullptr), -3);
}

TEST(Tm20a, ScaledSumOnceAnElementInPlaceForAnyThreadCount)
{
    for (int n : {5, 1003})
        for (bool failing : {false, true})
            for (int threads : {1, 8})
                for (int target : {0, 1, 2}) { // a third vector, x or y
                    Vec x = pattern(size_t(n)), y = pattern(size_t(n), 3), want, out(x.size());
                    for (size_t i = 0; i < x.size(); ++i)
                        want.push_back(-0.75f * y[i] + x[i]);
                    float *o = target == 0 ? out.data() : target == 1 ? x.data() : y.data();
                    fail_starts(failing);
                    tm20a(ThreadCount(threads), n, x.data(), y.data(), o, -0.75f);
                    fail_starts(false);
                    EXPECT_EQ(Vec(o, o + n), want) << n << " " << threads << " " << target;
                }
    Vec x = pattern(4);
    EXPECT_EQ(tm20a_orig(0, x.data(), x.data(), x.data(), 2.0f), 0);
    EXPECT_EQ(x, pattern(4));
    EXPECT_EQ(tm20a(ThreadCount(2), 4, x.data(), nullptr, x.data(), 1), -3);
}

TEST(Tm30, ClipPercentilesFlatRampsAndRefusals)
{
    auto run = [](Vec L, float white, float black, int w = 0, long failAt = 0) {
        float p[kTmParamCount] = {};
        p[kDeWhiteClip] = white, p[kDeBlackClip] = black;
        const int W = w ? w : int(L.size());
        tmtest::fail_allocation_at(failAt);
        const int rc = tm30(p, L.data(), {{W, int(L.size()) / W, 3, 8, 16, 0, 0, 0}});
        tmtest::fail_allocation_at(0);
        return std::pair{rc, L};
    };
    // A plain reading: histogram coordinate, floor and ceiling bins by counting against the
    // single-precision counts, then (coordinate - floor) / ceiling.
    auto reference = [](const Vec &L, float white, float black) {
        const float lo = *std::min_element(L.begin(), L.end());
        const float scale = 65535.0f / (*std::max_element(L.begin(), L.end()) - lo);
        std::vector<int> bins(65536);
        for (float v : L)
            ++bins[size_t((v - lo) * scale)];
        const double n = double(L.size());
        const float low = float(black / 200.0 * n), high = float(n * (100 - (white + 0.001)) / 100);
        int planch = 0, plaf = 65535;
        for (float below = 0; below < low; below += float(bins[size_t(planch++)]))
            ;
        for (float total = float(n); total > high; --plaf)
            total -= float(bins[size_t(plaf)]);
        Vec out;
        for (float v : L)
            out.push_back(std::max(0.0f, ((v - lo) * scale - float(planch)) / float(plaf)));
        return out;
    };
    Vec scene = pattern(40000), steps(40000);
    for (float &v : scene)
        v = std::exp(3 * v);
    std::iota(steps.begin(), steps.end(), 1.0f);
    // 9.999 and 1 percent put both counts exactly on a pixel of the steps: 36000 and 200.
    const std::pair<float, float> clips[] = {{0.25f, 0}, {1, 2}, {9.999f, 1}, {10, 10}};
    for (const Vec &L : {scene, steps})
        for (auto [white, black] : clips) {
            const auto [rc, got] = run(L, white, black, 200);
            EXPECT_EQ(rc, 200);
            // The kernel's slope and offset round differently from the plain quotient.
            EXPECT_LT(testsupport::compare_images(got, reference(L, white, black), 0).maxDiff, 1e-5)
                << white << " " << black;
        }
    // From 2^20 pixels the rows are banded, a histogram a band: the same values at 1, 3 and 8
    // threads, and those of the plain reading.
    Vec large = pattern(1100 * 1000, 0.5);
    for (float &v : large)
        v = std::exp(2 * v);
    float q[kTmParamCount] = {};
    q[kDeWhiteClip] = 1, q[kDeBlackClip] = 2;
    Vec one = large;
    ASSERT_EQ(tm30(q, one.data(), {{1100, 1000, 3, 8, 16, 0, 0, 0}}, 1), 1000);
    EXPECT_LT(testsupport::compare_images(one, reference(large, 1, 2), 0).maxDiff, 1e-5);
    for (int threads : {3, 8}) {
        Vec more = large;
        ASSERT_EQ(tm30(q, more.data(), {{1100, 1000, 3, 8, 16, 0, 0, 0}}, threads), 1000);
        EXPECT_EQ(more, one) << threads;
    }
    const Vec ramp = run(steps, 0.25f, 0).second; // the smallest at 0, then linear
    EXPECT_EQ(ramp[0], 0.0f);
    EXPECT_NEAR(ramp[1000] - ramp[999], ramp[30001] - ramp[30000], 1e-6);
    const std::pair<float, float> outside[] = {{11.0f, -1.0f}, {NAN, NAN}}; // read as defaults
    for (auto [white, black] : outside)
        EXPECT_EQ(run(scene, white, black).second, run(scene, 0.25f, 0).second);
    EXPECT_EQ(run(Vec(50, 3), 0.25f, 0).second, Vec(50, 32767.5f / 32766.0f)); // flat
    EXPECT_EQ(run(Vec(50, 3), 0.25f, 1).second, Vec(50, 0.0f));

    // A lone highlight above a thousand equal values leaves a ceiling bin of 0, with a wide
    // range or one float step wide; NaN goes to bin 0 and comes out 0.
    for (float base : {1.0f, 1000.0f}) {
        Vec L(1001, base);
        L[500] = base == 1 ? 1e8f : std::nextafter(base, 2 * base);
        L[7] = NAN;
        const auto [rc, got] = run(L, 0.25f, 0);
        EXPECT_EQ(got[500], 65535.0f) << base;
        EXPECT_EQ(got[7], 0.0f);
        EXPECT_EQ(got[8], 0.0f);
    }

    Vec negative = scene;
    negative[3] = -1;
    EXPECT_EQ(run(negative, 0.25f, 0), std::pair(-101, negative));
    EXPECT_EQ(run(Vec(9, NAN), 0.25f, 0).first, -102);
    EXPECT_EQ(run(Vec(1), 0.25f, 0, 2).first, -102); // no pixel
    EXPECT_EQ(run(scene, 0.25f, 0, 0, 1), std::pair(-4, scene));
}

TEST(CoeffPoly3, FlatStartInflectionAtTheEndAndCoincidentPoints)
{
    float a, b, c, d;
    EXPECT_EQ(coeffPoly3(&a, &b, &c, &d, 0, 0, 1, 1), 0);
    EXPECT_EQ(Vec({a, b, c, d}), Vec({-0.5f, 1.5f, 0, 0}));
    coeffPoly3(&a, &b, &c, &d, 2, 5, 2, 9);
    EXPECT_EQ(Vec({a, b, c, d}), Vec(4, 0.0f));
    coeffPoly3(&a, &b, &c, &d, 2, 5, 4, 1);
    EXPECT_NEAR(((a * 2 + b) * 2 + c) * 2 + d, 5, 1e-4); // p(x0) = y0
    EXPECT_NEAR(((a * 4 + b) * 4 + c) * 4 + d, 1, 1e-4); // p(x1) = y1
    EXPECT_NEAR(3 * a * 4 + 2 * b * 2 + c, 0, 1e-4);     // flat at x0
    EXPECT_NEAR(6 * a * 4 + 2 * b, 0, 1e-4);             // inflection at x1
    EXPECT_EQ(coeffPoly3(nullptr, &b, &c, &d, 0, 0, 1, 1), -3);
}
