// Foundations of the local operator: pyramid sizes, stage-1 luminance, the conjugate-gradient
// kernels against plain readings of their definitions (1 to 32 threads, in place, failed thread
// starts), the range step and the cubic coefficients.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <vector>

#include "imagecore/banded.h"
#include "imagecore/pixel_buffers.h"
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

namespace {

using Vec = std::vector<float>;

Vec pattern(size_t n, double scale = 1)
{
    Vec v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = float(scale * (std::sin(0.37 * double(i)) + 0.1 * double(i % 7)));
    return v;
}

// Thread starts that fail: every one (mode 1) or every second one (mode 2).
std::atomic<int> g_starts{0};
void fail_starts(int mode)
{
    g_starts = 0;
    if (mode == 0)
        return imagecore::set_thread_start_for_testing(nullptr);
    imagecore::set_thread_start_for_testing(
        mode == 1
            ? +[](pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) { return EAGAIN; }
            : +[](pthread_t *t, const pthread_attr_t *a, void *(*fn)(void *), void *arg) {
                  return g_starts++ % 2 ? EAGAIN : pthread_create(t, a, fn, arg);
              });
}

// A x read off the stencil: on the top and bottom rows the 360 neighbour P, the left and the
// right neighbour (wrapped or missing at the ends), then the one vertical neighbour; on other
// rows N, S, left, right. The sum, in that order, minus the neighbour count times the cell.
Vec ref_laplacian(int w, int h, bool wrap, const Vec &x)
{
    auto at = [&](int r, int c) { return x[size_t(r) * size_t(w) + size_t(c)]; };
    Vec y(x.size());
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c) {
            Vec nb;
            auto side = [&](int cc) {
                if (cc >= 0 && cc < w)
                    nb.push_back(at(r, cc));
                else if (wrap)
                    nb.push_back(at(r, (cc + w) % w));
            };
            if (r == 0 || r == h - 1) {
                if (r == 0 && wrap)
                    nb.push_back(at(0, w / 2));
                side(c - 1);
                side(c + 1);
                nb.push_back(at(r == 0 ? 1 : h - 2, c));
            } else {
                nb.push_back(at(r - 1, c));
                nb.push_back(at(r + 1, c));
                side(c - 1);
                side(c + 1);
            }
            float s = 0;
            for (float v : nb)
                s += v;
            y[size_t(r) * size_t(w) + size_t(c)] = s - float(nb.size()) * at(r, c);
        }
    return y;
}

Vec laplacian(int threads, int w, int h, bool wrap, const Vec &x)
{
    Vec y(x.size(), -7.0f);
    EXPECT_EQ(tm20m(ThreadCount(threads), w, h, wrap, x.data(), y.data()), h);
    return y;
}

// The dot product as chunks of n / threads rounded up to a multiple of 4, summed in order.
float ref_dot(int threads, const Vec &x, const Vec &y)
{
    const int n = int(x.size());
    int q = threads < 2 ? n : n / threads;
    q += q % 4 ? 4 - q % 4 : 0;
    float total = 0;
    for (int b = 0; b < std::max(threads, 1); ++b) {
        float s = 0;
        for (int i = b * q; i < (b == threads - 1 ? n : std::min((b + 1) * q, n)); ++i)
            s += x[size_t(i)] * y[size_t(i)];
        total += s;
    }
    return total;
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

TEST(CalcTm0, LogLuminanceOfEverySourceKindWithPaddingAndBlackPixels)
{
    const int w = 13, h = 11, gw = 15, gh = 12, spp = 4, rowLength = spp * w + 3;
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
    std::vector<uint8_t> s8(s16.begin(), s16.end());

    const struct {
        int docType;
        const void *src;
    } cases[] = {
        {0, rgbe.data()}, {0, black.data()}, {1, s16.data()}, {1, zeros16.data()}, {2, s8.data()}};
    for (const auto &c : cases) {
        // The definition: per-pixel luminance, floored or marked, statistics, padding, fill.
        const float *curve = c.docType == 1 ? curve16.data() : curve8.data();
        const double n = c.docType == 1 ? 65535 : 255;
        const float floor = float(n * std::pow(1 / n, 2.2));
        Vec want(size_t(gw) * gh);
        double sum = 0, count = 0;
        float mx = -1e9f, mn = 1e9f;
        for (int y = 0; y < gh; ++y)
            for (int x = 0; x < gw; ++x) {
                const int X = std::min(x, w - 1), Y = std::min(y, h - 1);
                float v;
                if (c.docType == 0) {
                    const uint8_t *row = static_cast<const uint8_t *>(c.src) + size_t(Y) * 4 * w;
                    const float l =
                        0.2126f * row[X] + 0.7152f * row[w + X] + 0.0722f * row[2 * w + X];
                    v = row[3 * w + X] && l > 0 ? std::log(l * table[row[3 * w + X]]) : -1e9f;
                } else {
                    auto s = [&](int k) {
                        const size_t i = size_t(Y) * rowLength + size_t(X) * spp + size_t(k);
                        return c.docType == 1 ? static_cast<const uint16_t *>(c.src)[i]
                                              : static_cast<const uint8_t *>(c.src)[i];
                    };
                    v = std::log(std::max(0.2126f * curve[s(0)] + 0.7152f * curve[s(1)] +
                                              0.0722f * curve[s(3)],
                                          floor));
                }
                if (x < w && y < h && v > -1e9f)
                    sum += v, ++count, mx = std::max(mx, v), mn = std::min(mn, v);
                want[size_t(y) * gw + size_t(x)] = v;
            }
        for (float &v : want)
            v = v > -1e9f ? v : count ? float(sum / count) : mn;

        Vec out(want.size(), -5), lum(kLumParamCount, 5);
        ASSERT_EQ(calc_tm0(c.docType, spp, w, h, rowLength, w, h, gw, gh, lum.data(), table, curve,
                           c.src, out.data()),
                  gh);
        EXPECT_EQ(out, want) << c.docType;
        const float l0 = count ? float(std::exp(sum / count)) : 5.0f; // kept when none counts
        EXPECT_EQ(lum, (Vec{l0, std::exp(mx) / l0, std::exp(mn), 5, 5, 5, 5})) << c.docType;
    }
    // The all-black image: every grid value the minimum 1e9, [2] infinite.
    Vec out(size_t(gw) * gh), lum(kLumParamCount, 5);
    calc_tm0(0, 3, w, h, 0, w, h, gw, gh, lum.data(), table, nullptr, black.data(), out.data());
    EXPECT_EQ(out, Vec(out.size(), 1e9f));
    EXPECT_TRUE(std::isinf(lum[2]));

    // Refusals: sides of 9, kinds out of range, a grid or source smaller than the image, short
    // rows, null buffers.
    auto rc = [&](int docType, int width, int gridW, int rowLen, const void *src) {
        return calc_tm0(docType, spp, w, h, rowLen, width, h, gridW, gh, lum.data(), table,
                        curve16.data(), src, out.data());
    };
    EXPECT_EQ(rc(1, 9, gw, rowLength, s16.data()), -1);
    EXPECT_EQ(rc(-1, w, gw, rowLength, s16.data()), 1);
    EXPECT_EQ(rc(3, w, gw, rowLength, s16.data()), 0);
    EXPECT_EQ(rc(1, w, w - 1, rowLength, s16.data()), -3);
    EXPECT_EQ(rc(1, w + 1, gw, rowLength, s16.data()), -3);
    EXPECT_EQ(rc(1, w, gw, spp * w - 1, s16.data()), -3);
    EXPECT_EQ(rc(1, w, gw, rowLength, nullptr), -3);
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

TEST(Tm20m, ConstantImpulseAndTheStencilAtEverySizeThreadCountAndInPlace)
{
    for (bool wrap : {false, true})
        EXPECT_EQ(laplacian(1, 9, 7, wrap, Vec(63, 2.5f)), Vec(63, 0.0f)) << wrap;
    Vec x(42, 0);
    x[2 * 7 + 3] = 1; // interior of a 7 x 6 level
    Vec want(42, 0);
    want[2 * 7 + 3] = -4;
    for (int i : {1 * 7 + 3, 3 * 7 + 3, 2 * 7 + 2, 2 * 7 + 4})
        want[size_t(i)] = 1;
    EXPECT_EQ(laplacian(1, 7, 6, false, x), want);
    Vec corner(42, 0), wantCorner(42, 0);
    corner[0] = 1, wantCorner[0] = -2, wantCorner[1] = wantCorner[7] = 1;
    EXPECT_EQ(laplacian(8, 7, 6, false, corner), wantCorner);

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
    const Vec in = pattern(61 * 45), want3 = ref_laplacian(61, 45, true, in);
    for (int mode : {1, 2}) {
        fail_starts(mode);
        const Vec got = laplacian(8, 61, 45, true, in);
        fail_starts(0);
        EXPECT_EQ(got, want3) << mode;
    }
}

TEST(Tm20m, LevelsItCannotComputeAreRefused)
{
    Vec x = pattern(12), y(12, 7);
    EXPECT_EQ(tm20m(ThreadCount(1), 12, 1, 0, x.data(), y.data()), -3);
    EXPECT_EQ(tm20m(ThreadCount(1), 1, 12, 0, x.data(), y.data()), -3);
    EXPECT_EQ(tm20m(ThreadCount(1), 4, 3, 0, x.data(), x.data()), -3);
    EXPECT_EQ(tm20m(ThreadCount(1), 4, 3, 0, nullptr, y.data()), -3);
    EXPECT_EQ(y, Vec(12, 7));
    EXPECT_EQ(tm20m_streaming(6, 2, 0, x.data()), -3);
    tmtest::fail_allocation_at(1);
    EXPECT_EQ(tm20m_streaming(4, 3, 0, x.data()), -4);
    tmtest::fail_allocation_at(0);
    EXPECT_EQ(x, pattern(12));
}

TEST(Tm20d, ChunksOfFourAddedInOrderAndOneSumWhenAThreadFails)
{
    // n = 10 over 4 threads: [0, 4), [4, 8), [8, 10), and an empty last chunk.
    const int ends[] = {4, 8, 10, 10};
    for (int b = 0; b < 4; ++b)
        EXPECT_EQ(imagecore::band_chunk(b, imagecore::band_count(4, 10), 10).end, ends[b]);
    // 2^24 swallows a 1 added to it: the ones of the first chunk are lost, the others are not.
    Vec x(10, 1.0f), ones(10, 1.0f);
    x[0] = 16777216.0f;
    EXPECT_EQ(dot(1, x, ones), 16777216.0f);
    EXPECT_EQ(dot(4, x, ones), 16777222.0f);
    fail_starts(2);
    EXPECT_EQ(dot(4, x, ones), 16777216.0f);
    fail_starts(0);

    const Vec u = pattern(100003), v = pattern(100003, -0.5);
    double exact = 0, magnitude = 0;
    for (size_t i = 0; i < u.size(); ++i)
        exact += double(u[i]) * v[i], magnitude += std::fabs(double(u[i]) * v[i]);
    for (int threads : {1, 3, 8, 32}) {
        EXPECT_EQ(dot(threads, u, v), ref_dot(threads, u, v)) << threads;
        // One single-precision accumulator over 1e5 terms drifts by about 1e-5 of the sum of
        // magnitudes here (the worst case, n u, is 6e-3); chunks only make it smaller.
        EXPECT_NEAR(dot(threads, u, v), exact, 5e-5 * magnitude) << threads;
    }
    float r = 5;
    EXPECT_EQ(tm20d_orig(0, x.data(), x.data(), &r), 0);
    EXPECT_EQ(r, 0.0f);
    EXPECT_EQ(tm20d(ThreadCount(8), -1, x.data(), x.data(), &r), -3);
}

TEST(Tm20a, ScaledSumOnceAnElementInPlaceForAnyThreadCount)
{
    for (int n : {5, 1003})
        for (int mode : {0, 2})
            for (int threads : {1, 8}) {
                const Vec x = pattern(size_t(n)), y = pattern(size_t(n), 3);
                Vec want(x.size());
                for (size_t i = 0; i < x.size(); ++i)
                    want[i] = -0.75f * y[i] + x[i];
                Vec out(x.size()), ox = x, oy = y;
                fail_starts(mode);
                tm20a(ThreadCount(threads), n, x.data(), y.data(), out.data(), -0.75f);
                tm20a(ThreadCount(threads), n, ox.data(), y.data(), ox.data(), -0.75f);
                tm20a(ThreadCount(threads), n, x.data(), oy.data(), oy.data(), -0.75f);
                fail_starts(0);
                EXPECT_EQ(out, want) << n << " " << threads << " " << mode;
                EXPECT_EQ(ox, want) << n << " " << threads << " " << mode;
                EXPECT_EQ(oy, want) << n << " " << threads << " " << mode;
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
    // A plain reading: histogram coordinate, floor and ceiling bins by counting, then
    // (coordinate - floor) / ceiling.
    auto reference = [](const Vec &L, float white, float black) {
        const float lo = *std::min_element(L.begin(), L.end());
        const float scale = 65535.0f / (*std::max_element(L.begin(), L.end()) - lo);
        std::vector<int> bins(65536);
        for (float v : L)
            ++bins[size_t((v - lo) * scale)];
        const double n = double(L.size());
        int planch = 0, plaf = 65535;
        for (double below = 0; below < black / 200.0 * n; below += bins[size_t(planch++)])
            ;
        for (double above = 0; n - above > n * (100 - (white + 0.001)) / 100; --plaf)
            above += bins[size_t(plaf)];
        Vec out;
        for (float v : L)
            out.push_back(std::max(0.0f, ((v - lo) * scale - float(planch)) / float(plaf)));
        return out;
    };
    Vec ramp(65536), scene = pattern(40000);
    for (size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = float(i + 1);
    for (float &v : scene)
        v = std::exp(3 * v);
    const std::pair<float, float> clips[] = {{0.25f, 0.0f}, {1.0f, 2.0f}, {10.0f, 10.0f}};
    for (auto [white, black] : clips) {
        const auto [rc, got] = run(scene, white, black, 200);
        EXPECT_EQ(rc, 200);
        // The kernel's slope and offset round differently from the plain quotient.
        EXPECT_LT(testsupport::compare_images(got, reference(scene, white, black), 0).maxDiff, 1e-5)
            << white << " " << black;
    }
    const auto [rcRamp, outRamp] = run(ramp, 0.25f, 0, 256);
    EXPECT_EQ(outRamp[0], 0.0f);
    EXPECT_NEAR(outRamp[1000] - outRamp[999], outRamp[60001] - outRamp[60000], 1e-6);
    EXPECT_LT(testsupport::compare_images(outRamp, reference(ramp, 0.25f, 0), 0).maxDiff, 1e-5);
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
