// HDR statistics, a trous smoothing and the denoisers: known values, each step against a plain
// double-precision reading of its definition, direction checks (noise falls, grey and intensity
// kept), the driver's level table, and failures that must leave both images as they were.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <vector>

#include "merge/detail/atrous.h"
#include "merge/hdr_atrous.h"
#include "merge/hdr_denoise.h"
#include "tests/merge/hdr_test_util.h"
#include "tests/support/image_compare.h"

using hdrtest::make_rgbe;
using hdrtest::noise;
using hdrtest::Quad;
using hdrtest::reference_coefficient;
using hdrtest::reference_decomposition;
using hdrtest::Rgb;
using hdrtest::Rgbe;

// Allocation failure on demand: the n-th allocation after arming throws, once. The replacement
// pair is malloc/free throughout; GCC cannot see that the inlined free matches this new.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
namespace {
long g_allocationsBeforeFailure = -1;
}
void *operator new(std::size_t n)
{
    if (g_allocationsBeforeFailure == 0) {
        g_allocationsBeforeFailure = -1;
        throw std::bad_alloc();
    }
    if (g_allocationsBeforeFailure > 0)
        --g_allocationsBeforeFailure;
    if (void *p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept
{
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept
{
    std::free(p);
}

namespace {

constexpr int kW = 40, kH = 36; // above the 32-pixel minimum, not a multiple of 16

// Luma and chroma in double, as the JFIF matrix reads.
std::array<double, 3> ybr(const Rgb &c)
{
    return {0.299 * c[0] + 0.587 * c[1] + 0.114 * c[2], -0.1687 * c[0] - 0.3313 * c[1] + 0.5 * c[2],
            0.5 * c[0] - 0.4187 * c[1] - 0.0813 * c[2]};
}
std::array<double, 3> rgb_of(const std::array<double, 3> &v)
{
    const double c[3] = {v[0] + 1.402 * v[2], v[0] - 0.34414 * v[1] - 0.71414 * v[2],
                         v[0] + 1.772 * v[1]};
    return {std::max(c[0], 0.0), std::max(c[1], 0.0), std::max(c[2], 0.0)};
}

// A scene over four decades: a horizontal log ramp (0.01 .. 10 in R + G + B), a warm tint,
// per-channel noise of +-30 %, and a few black pixels.
Rgbe scene(uint32_t seed)
{
    return make_rgbe(kW, kH, [seed](int x, int y) {
        if (y == 0 && x < 4)
            return Rgb{0, 0, 0};
        const float s = 0.01f * std::pow(1000.0f, float(x) / float(kW - 1));
        const float base[3] = {0.45f, 0.33f, 0.22f};
        Rgb c;
        for (int k = 0; k < 3; ++k)
            c[size_t(k)] = s * base[k] * (1.0f + 0.3f * noise(seed + uint32_t(k), x, y));
        return c;
    });
}

// Every channel of every pixel within steps mantissa steps of the pixel's larger exponent.
::testing::AssertionResult close(const Rgbe &got, const Rgbe &want, double steps)
{
    for (int y = 0; y < got.h; ++y)
        for (int x = 0; x < got.w; ++x) {
            const Rgb a = got.value(x, y), b = want.value(x, y);
            const double m = std::max({a[0], a[1], a[2], b[0], b[1], b[2]});
            for (size_t c = 0; c < 3; ++c)
                if (std::abs(double(a[c]) - b[c]) > steps * m / 128.0)
                    return ::testing::AssertionFailure()
                           << "pixel " << x << "," << y << " channel " << c << ": " << a[c]
                           << " against " << b[c];
        }
    return ::testing::AssertionSuccess();
}

Rgbe encode(int w, int h, const std::vector<std::array<double, 3>> &rgb)
{
    return make_rgbe(w, h, [&](int x, int y) {
        const auto &c = rgb[size_t(y) * size_t(w) + size_t(x)];
        return Rgb{float(c[0]), float(c[1]), float(c[2])};
    });
}

// The chroma denoiser as its definition reads.
Rgbe reference_chroma(int mode, const Rgbe &src, double k, double shadows, double sat)
{
    const size_t n = size_t(src.w) * size_t(src.h);
    std::vector<double> ratio[3];
    for (auto &r : ratio)
        r.resize(n);
    for (size_t i = 0; i < n; ++i) {
        const Rgb c = src.value(int(i % size_t(src.w)), int(i / size_t(src.w)));
        const double s = double(c[0]) + c[1] + c[2];
        for (size_t ch = 0; ch < 3; ++ch)
            ratio[ch][i] = s > 0 ? c[ch] / s : 0.0;
    }
    for (auto &r : ratio)
        r = reference_decomposition(
            r, src.w, src.h, [k](int level, double) { return k * reference_coefficient(level); });
    std::vector<std::array<double, 3>> out(n);
    for (size_t i = 0; i < n; ++i) {
        const Rgb c = src.value(int(i % size_t(src.w)), int(i / size_t(src.w)));
        const double s = double(c[0]) + c[1] + c[2];
        for (size_t ch = 0; ch < 3; ++ch) {
            double v = c[ch];
            if (s > 0 && s < shadows)
                v = s * ratio[ch][i];
            else if (s > 0 && mode > 0 && s < sat) {
                const double alpha = (sat - s) / (sat - shadows);
                v = alpha * s * ratio[ch][i] + (1 - alpha) * c[ch];
            }
            out[i][ch] = v;
        }
    }
    return encode(src.w, src.h, out);
}

// The luminance threshold as its definition reads (hi == top: the band keeps t0).
double reference_tau(int mode, int level, double v, double lo, double hi, double top, double thr)
{
    const double T = reference_coefficient(level) * thr, t0 = mode > 0 ? 0.1 * T : 0.0;
    if (mode == 0)
        hi = lo;
    if (v < lo)
        return T;
    if (v < hi)
        return T + (t0 - T) * (v - lo) / (hi - lo);
    return hi == top ? t0 : t0 * (v - top) / (hi - top);
}

Rgbe reference_lumin(int mode, const Rgbe &src, double lo, double hi, double top, double thr)
{
    const size_t n = size_t(src.w) * size_t(src.h);
    std::vector<double> logY(n);
    for (size_t i = 0; i < n; ++i) {
        const double y = ybr(src.value(int(i % size_t(src.w)), int(i / size_t(src.w))))[0];
        logY[i] = y > 0 ? std::log(y) : 0.0;
    }
    logY = reference_decomposition(logY, src.w, src.h, [&](int level, double v) {
        return reference_tau(mode, level, v, lo, hi, top, thr);
    });
    std::vector<std::array<double, 3>> out(n);
    for (size_t i = 0; i < n; ++i) {
        auto v = ybr(src.value(int(i % size_t(src.w)), int(i / size_t(src.w))));
        v[0] = std::exp(logY[i]);
        out[i] = rgb_of(v);
    }
    return encode(src.w, src.h, out);
}

struct Outcome {
    int result;
    Rgbe src, dst;
};

Outcome chroma(int mode, const Rgbe &src, float k, float shadows, float sat)
{
    Outcome r{0, src, Rgbe{src.w, src.h, std::vector<uint8_t>(src.bytes.size(), 0xAB)}};
    std::vector<float> work(5 * size_t(src.w) * size_t(src.h));
    r.result = denoise_chroma(mode, src.w, src.h, 32, work.data(), r.src.bytes.data(),
                              r.dst.bytes.data(), k, shadows, sat);
    return r;
}

Outcome lumin(int mode, const Rgbe &src, float lo, float hi, float top, float thr)
{
    Outcome r{0, src, Rgbe{src.w, src.h, std::vector<uint8_t>(src.bytes.size(), 0xAB)}};
    std::vector<float> work(5 * size_t(src.w) * size_t(src.h));
    r.result = denoise_lumin(mode, src.w, src.h, 32, work.data(), r.src.bytes.data(),
                             r.dst.bytes.data(), lo, hi, top, thr);
    return r;
}

Outcome driver(int level, const Rgbe &src)
{
    Outcome r{0, src, Rgbe{src.w, src.h, std::vector<uint8_t>(src.bytes.size(), 0xAB)}};
    r.result = denoise1(level, src.w, src.h, 32, r.src.bytes.data(), r.dst.bytes.data());
    return r;
}

std::vector<float> ramp(int n)
{
    std::vector<float> v;
    for (int i = 0; i < n; ++i)
        v.push_back(float(i));
    return v;
}

} // namespace

TEST(SmoothLine, MirroredHolesAndUnnormalisedWeights)
{
    struct Case {
        std::vector<float> in;
        int stride, n, spacing;
        std::vector<float> want;
    };
    const std::vector<float> strided = {0, 9, 9, 1, 9, 9, 2, 9, 9, 3, 9,
                                        9, 4, 9, 9, 5, 9, 9, 6, 9, 9, 7};
    for (const Case &c : std::vector<Case>{
             {ramp(8), 1, 8, 2, {4, 6, 8, 12, 16, 20, 22, 24}},
             {strided, 3, 8, 2, {4, 6, 8, 12, 16, 20, 22, 24}},
             {ramp(4), 1, 4, 2, {4, 6, 6, 8}}, // 2 x spacing = n: both mirrors at once
             {ramp(3), 1, 3, 0, {0, 4, 8}},
             {ramp(5), 1, 5, 1, {2, 4, 8, 12, 14}},
         }) {
        std::vector<float> out(size_t(c.n), -1.0f);
        smooth_line(out.data(), c.in.data(), c.stride, c.n, c.spacing);
        EXPECT_EQ(out, c.want) << "n " << c.n << " spacing " << c.spacing;
    }
    // Spacing 16 needs 32 samples: a shorter line is left alone instead of read past its end.
    std::vector<float> out(16, -1.0f);
    const std::vector<float> in = ramp(16);
    smooth_line(out.data(), in.data(), 1, 16, 16);
    smooth_line(out.data(), in.data(), 1, 16, -1);
    EXPECT_EQ(out, std::vector<float>(16, -1.0f));
}

TEST(AtrousDecomposition, NoiseCoefficients)
{
    const double printed[5] = {0.8002, 0.272573, 0.119287, 0.059434, 0.032172};
    for (int level = 0; level < 5; ++level) {
        EXPECT_NEAR(merge::detail::noise_coefficient(level), printed[level], 5e-7) << level;
        EXPECT_EQ(merge::detail::noise_coefficient(level), float(reference_coefficient(level)));
    }
}

TEST(AtrousDecomposition, ConstantPlaneIsItsOwnResult)
{
    for (float c : {0.0f, 1.0f / 3.0f, -2.7f, 1234.5f}) {
        std::vector<float> plane(size_t(kW) * kH, c), s0(plane.size()), s1(plane.size()),
            line(merge::detail::line_floats(kW, kH));
        merge::detail::atrous_denoise({plane.data(), {s0.data(), s1.data()}, line.data(), kW, kH},
                                      [](int) { return [](float) { return 0.5f; }; });
        // Zero details; S_4 rounds within a few ulps of the constant (3c + c is not always 4c).
        for (float v : plane)
            ASSERT_NEAR(v, c, std::abs(c) * 4e-7) << c;
    }
}

TEST(AtrousDecomposition, MatchesPlainReadingAndRemovesNoiseKeepingAnEdge)
{
    // A step edge at x = 20 under noise of amplitude 0.1.
    std::vector<double> ref(size_t(kW) * kH);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            ref[size_t(y) * kW + size_t(x)] = (x < 20 ? -1.0 : 1.0) + 0.1 * noise(5, x, y);
    const auto thresholdOf = [](int level, double v) {
        return 0.2 * reference_coefficient(level) * (v < 0 ? 1.0 : 0.5);
    };
    std::vector<float> plane(ref.begin(), ref.end()), s0(plane.size()), s1(plane.size()),
        line(merge::detail::line_floats(kW, kH));
    merge::detail::atrous_denoise(
        {plane.data(), {s0.data(), s1.data()}, line.data(), kW, kH},
        [&](int level) { return [&, level](float v) { return float(thresholdOf(level, v)); }; });
    const std::vector<double> want = reference_decomposition(ref, kW, kH, thresholdOf);
    const std::vector<float> wantF(want.begin(), want.end());
    // Single against double precision over five levels of sums of O(1) values.
    EXPECT_LT(testsupport::compare_images(plane, wantF, 0).maxDiff, 2e-5);

    // Roughness (neighbour differences) of the flat left side falls; the shrunk coarse details
    // near the edge shift its level a little, which roughness does not see.
    double noiseBefore = 0, noiseAfter = 0;
    for (int y = 0; y < kH; ++y)
        for (int x = 2; x < 16; ++x) {
            const size_t i = size_t(y) * kW + size_t(x);
            noiseBefore += std::abs(ref[i + 1] - ref[i]);
            noiseAfter += std::abs(plane[i + 1] - plane[i]);
        }
    EXPECT_LT(noiseAfter, 0.3 * noiseBefore);
    EXPECT_LT(plane[size_t(10) * kW + 19], -0.6f); // the edge stays sharp
    EXPECT_GT(plane[size_t(10) * kW + 20], 0.6f);
}

TEST(HdrStats, PercentileLevelsAgreeWithASortedReading)
{
    const Rgbe img = scene(21);
    float stats[6] = {};
    const float threshold = 0.4f / 300.0f;
    ASSERT_EQ(hdr_stats(kW, kH, img.bytes.data(), stats, threshold), 1);

    std::vector<double> a, b;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const Rgb c = img.value(x, y);
            const double s = double(c[0]) + c[1] + c[2], l = ybr(c)[0];
            a.push_back(s > 0 ? std::log(s) : 0.0);
            b.push_back(l > 0 ? std::log(l) : 0.0);
        }
    auto levels = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        const double lo = std::min(v.front(), 1e9), hi = std::max(v.back(), 0.0);
        std::array<double, 5> r{}; // P1, P50, P99, range, bin width
        const float fractions[3] = {0.01f, 0.5f, 0.99f};
        for (size_t k = 0; k < 3; ++k)
            r[k] = v[size_t(float(v.size()) * fractions[k])];
        r[3] = hi - lo;
        r[4] = (hi - lo) / 65535.0;
        return r;
    };
    const auto pa = levels(a), pb = levels(b);
    // Binned levels sit at most two bins below the sorted values.
    const double ta = 2.5 * pa[4], tb = 2.5 * pb[4];
    EXPECT_NEAR(stats[0], pa[1] - 0.25 * (pa[1] - pa[0]), ta);
    EXPECT_NEAR(stats[1], pa[1] + 0.5 * (pa[2] - pa[1]), ta);
    EXPECT_NEAR(stats[2], (pb[0] + pb[1]) / 2, tb);
    EXPECT_NEAR(stats[3], pb[1], tb);
    EXPECT_NEAR(stats[4], pb[2], tb);
    const double want5 = 2 * threshold * pb[3] * (pb[2] - pb[1]);
    EXPECT_NEAR(stats[5], want5, 2 * threshold * pb[3] * 2 * tb);
    EXPECT_GT(stats[1], stats[0]);
}

TEST(HdrStats, UniformLumaAndRefusedImages)
{
    float stats[6] = {7, 7, 7, 7, 7, 7};
    const float untouched[6] = {7, 7, 7, 7, 7, 7};
    // One luma of 1 or more: its range is empty.
    const Rgbe bright = make_rgbe(8, 8, [](int, int) { return Rgb{2, 2, 2}; });
    EXPECT_EQ(hdr_stats(8, 8, bright.bytes.data(), stats, 1.0f), -3);
    const Rgbe black = make_rgbe(8, 8, [](int, int) { return Rgb{0, 0, 0}; });
    EXPECT_EQ(hdr_stats(8, 8, black.bytes.data(), stats, 1.0f), -3);
    EXPECT_EQ(hdr_stats(8, 0, black.bytes.data(), stats, 1.0f), -3);
    EXPECT_EQ(hdr_stats(8, 8, nullptr, stats, 1.0f), -3);
    EXPECT_TRUE(std::equal(stats, stats + 6, untouched));
    // One luma below 1: the maxima keep their start of 0, so both ranges exist and every level is
    // the common value.
    const Rgbe dim = make_rgbe(8, 8, [](int, int) { return Rgb{0.25f, 0.25f, 0.25f}; });
    ASSERT_EQ(hdr_stats(8, 8, dim.bytes.data(), stats, 1.0f), 1);
    const float la = std::log(0.75f), lb = std::log(0.25f);
    EXPECT_NEAR(stats[0], la, 1e-6);
    EXPECT_NEAR(stats[1], la, 1e-6);
    for (int k : {2, 3, 4})
        EXPECT_NEAR(stats[k], lb, 1e-6) << k;
    EXPECT_EQ(stats[5], 0.0f);
}

TEST(DenoiseChroma, MatchesPlainReadingInBothModes)
{
    const Rgbe src = scene(3);
    for (int mode : {0, 1}) {
        const Outcome r = chroma(mode, src, 0.6f, 0.3f, 2.0f);
        ASSERT_EQ(r.result, kH);
        EXPECT_EQ(r.src.bytes, src.bytes);
        // Truncation on either side of a mantissa step, and float against double sums.
        EXPECT_TRUE(close(r.dst, reference_chroma(mode, src, 0.6, 0.3, 2.0), 2.0)) << mode;
    }
}

TEST(DenoiseChroma, ColourNoiseFallsInShadowsIntensityAndGreyKept)
{
    const Rgbe src = scene(8);
    const Outcome r = chroma(1, src, 1.0f, 0.3f, 2.0f);
    double before = 0, after = 0;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const Rgb a = src.value(x, y), b = r.dst.value(x, y);
            const double sa = double(a[0]) + a[1] + a[2], sb = double(b[0]) + b[1] + b[2];
            ASSERT_NEAR(sb, sa, sa * 3.0 / 128) << x << "," << y; // intensity within quantisation
            if (sa >= 2.0) {
                ASSERT_EQ(r.dst.at(x, y), src.at(x, y)); // above the saturation level: untouched
            } else if (sa > 0 && sa < 0.3) {
                before += std::abs(a[0] / sa - 0.45) + std::abs(a[2] / sa - 0.22);
                after += std::abs(b[0] / sb - 0.45) + std::abs(b[2] / sb - 0.22);
            }
        }
    EXPECT_LT(after, 0.5 * before);
    EXPECT_EQ(r.dst.at(0, 0), (Quad{0, 0, 0, 0})); // black stays black

    // Grey stays grey (ratios 1/3 through the decomposition), and k = 0 changes nothing beyond
    // rounding and re-encoding.
    const Rgbe grey = make_rgbe(kW, kH, [](int x, int y) {
        const float v = 0.01f * float(1 + x + y);
        return Rgb{v, v, v};
    });
    EXPECT_TRUE(close(chroma(1, grey, 1.0f, 0.3f, 2.0f).dst, grey, 1.0));
    EXPECT_TRUE(close(chroma(1, src, 0.0f, 0.3f, 2.0f).dst, src, 1.0));
}

TEST(DenoiseChroma, PixelAtTheShadowsLevelKeepsItsColourOnlyInMode0)
{
    const Rgbe src = scene(4);
    const int x = 20, y = 9;
    const Rgb c = src.value(x, y);
    const float s = c[0] + c[1] + c[2];
    EXPECT_EQ(chroma(0, src, 1.0f, s, 4 * s).dst.at(x, y), src.at(x, y));
    // Mode 1 gives alpha = 1: the full denoised colour, as a pixel just inside the shadows gets.
    const Quad inside = chroma(0, src, 1.0f, std::nextafter(s, 1e9f), 4 * s).dst.at(x, y);
    EXPECT_EQ(chroma(1, src, 1.0f, s, 4 * s).dst.at(x, y), inside);
    EXPECT_NE(inside, src.at(x, y));
}

TEST(DenoiseLumin, MatchesPlainReadingAcrossTheThresholdBands)
{
    // Log luma from about -6 to 2: below lo, on the ramp, between hi and top, above top.
    const Rgbe src = scene(6);
    struct Case {
        int mode;
        float lo, hi, top, thr;
    };
    for (const Case &c : {Case{0, -2.0f, 0.0f, 1.0f, 0.5f}, Case{1, -2.0f, 0.0f, 1.0f, 0.5f},
                          Case{1, -3.0f, -3.0f, -3.0f, 0.5f}, // zero denominators
                          Case{1, -2.0f, 0.5f, 0.5f, 0.5f}}) {
        const Outcome r = lumin(c.mode, src, c.lo, c.hi, c.top, c.thr);
        ASSERT_EQ(r.result, kH);
        EXPECT_EQ(r.src.bytes, src.bytes);
        EXPECT_TRUE(close(r.dst, reference_lumin(c.mode, src, c.lo, c.hi, c.top, c.thr), 2.0))
            << c.mode << " " << c.lo << " " << c.hi << " " << c.top;
    }
}

TEST(DenoiseLumin, ThresholdsShapeTheDetails)
{
    // Texture of +-5 % luma around 1 (log luma about 0).
    const Rgbe src = make_rgbe(kW, kH, [](int x, int y) {
        const float v = 1.0f + 0.05f * noise(9, x, y);
        return Rgb{v, 0.9f * v, 0.8f * v};
    });
    auto spread = [](const Rgbe &img) {
        double sum = 0;
        for (int y = 2; y < kH - 2; ++y)
            for (int x = 2; x < kW - 2; ++x)
                sum += std::abs(std::log(ybr(img.value(x, y))[0]) - std::log(0.9171));
        return sum;
    };
    // Mode 0 with every smoothed value at or above lo: thresholds 0, details pass.
    EXPECT_TRUE(close(lumin(0, src, -5.0f, 9.0f, 9.0f, 0.5f).dst, src, 2.0));
    // Below lo everywhere: the texture is smoothed away.
    EXPECT_LT(spread(lumin(0, src, 5.0f, 9.0f, 9.0f, 0.5f).dst), 0.5 * spread(src));
    // Mode 1 above top: negative thresholds enlarge the texture.
    EXPECT_GT(spread(lumin(1, src, -3.0f, -2.0f, -1.0f, 0.5f).dst), 1.2 * spread(src));
    // A flat highlight under the same negative thresholds stays flat and keeps its level.
    const Rgbe flat = make_rgbe(kW, kH, [](int, int) { return Rgb{1.5f, 1.5f, 1.5f}; });
    EXPECT_TRUE(close(lumin(1, flat, -3.0f, -2.0f, -1.0f, 0.5f).dst, flat, 1.0));
    // A threshold that is not finite counts as 0.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_TRUE(close(lumin(1, src, -3.0f, -2.0f, -1.0f, nan).dst, src, 2.0));
    EXPECT_TRUE(close(lumin(0, src, 5.0f, 9.0f, 9.0f, std::numeric_limits<float>::infinity()).dst,
                      src, 2.0));
    // Black among black: log luma 0, exp(0) = 1.
    const Rgbe black = make_rgbe(kW, kH, [](int, int) { return Rgb{0, 0, 0}; });
    const Outcome b = lumin(1, black, -2.0f, 0.0f, 1.0f, 0.5f);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            ASSERT_EQ(b.dst.at(x, y), (Quad{128, 128, 128, 129}));
}

TEST(HdrDenoisers, WrongDepthSmallSidesAndNullsLeaveDestination)
{
    const Rgbe src = scene(1);
    std::vector<float> work(5 * size_t(kW) * kH);
    const auto pristine = std::vector<uint8_t>(src.bytes.size(), 0x5A);
    struct Case {
        int bits, w, h;
        bool nullWork;
        int chroma, lumin;
    };
    for (const Case &c : {Case{24, kW, kH, false, 0, -2}, Case{32, 31, kH, false, -3, -3},
                          Case{32, kW, 31, false, -3, -3}, Case{32, 16, 16, false, -3, -3},
                          Case{32, 0, kH, false, -3, -3}, Case{32, kW, kH, true, -3, -3}}) {
        std::vector<uint8_t> dst = pristine;
        float *wk = c.nullWork ? nullptr : work.data();
        EXPECT_EQ(denoise_chroma(1, c.w, c.h, c.bits, wk, src.bytes.data(), dst.data(), 1, 1, 2),
                  c.chroma);
        EXPECT_EQ(denoise_lumin(1, c.w, c.h, c.bits, wk, src.bytes.data(), dst.data(), 0, 1, 2, 1),
                  c.lumin);
        EXPECT_EQ(dst, pristine) << c.bits << " " << c.w << "x" << c.h;
    }
}

TEST(Denoise1, LevelTableMapsOntoTheTwoSteps)
{
    const Rgbe src = scene(12);
    const size_t planes = 5 * size_t(kW) * kH;
    std::vector<float> work(planes);
    struct Case {
        int level, mode;
        float k;
        bool luminance;
    };
    for (const Case &c :
         {Case{50, 0, 0.2f, false}, Case{99, 0, 0.396f, false}, Case{100, 0, 0.4f, true},
          Case{120, 1, 0.64f, true}, Case{150, 1, 1.0f, true}}) {
        const Outcome r = driver(c.level, src);
        ASSERT_EQ(r.result, kH) << c.level;
        float stats[6];
        const float threshold = c.level == 100 ? 0.0013333333f : c.k / 300.0f;
        ASSERT_EQ(hdr_stats(kW, kH, src.bytes.data(), stats, threshold), 1);
        std::vector<uint8_t> chromaOut(src.bytes.size());
        ASSERT_EQ(denoise_chroma(c.mode, kW, kH, 32, work.data(), src.bytes.data(),
                                 chromaOut.data(), c.k, std::exp(stats[0]), std::exp(stats[1])),
                  kH);
        if (!c.luminance) {
            EXPECT_EQ(r.dst.bytes, chromaOut) << c.level;
            EXPECT_EQ(r.src.bytes, src.bytes) << c.level;
            continue;
        }
        // From 100 up the source holds the chroma result and the destination the final image.
        EXPECT_EQ(r.src.bytes, chromaOut) << c.level;
        std::vector<uint8_t> final(src.bytes.size());
        ASSERT_EQ(denoise_lumin(c.mode, kW, kH, 32, work.data(), chromaOut.data(), final.data(),
                                stats[2], stats[3], stats[4], stats[5]),
                  kH);
        EXPECT_EQ(r.dst.bytes, final) << c.level;
    }
    const Outcome at100 = driver(100, src);
    for (int level : {0, 49, 151, 1000, -7}) {
        const Outcome r = driver(level, src);
        EXPECT_EQ(r.dst.bytes, at100.dst.bytes) << level;
        EXPECT_EQ(r.src.bytes, at100.src.bytes) << level;
    }
}

TEST(Denoise1, RefusalsAndFailuresLeaveBothImages)
{
    const Rgbe src = scene(2);
    // Not 32 bits a pixel: refused before anything reads the (here 3-byte) pixels.
    std::vector<uint8_t> rgb(size_t(kW) * kH * 3, 9), out(size_t(kW) * kH * 3, 0x5A);
    EXPECT_EQ(denoise1(120, kW, kH, 24, rgb.data(), out.data()), 0);
    EXPECT_EQ(out, std::vector<uint8_t>(out.size(), 0x5A));
    g_allocationsBeforeFailure = 0; // nor is anything allocated first
    EXPECT_EQ(denoise1(120, kW, kH, 24, rgb.data(), out.data()), 0);
    g_allocationsBeforeFailure = -1;

    struct Case {
        int w, h;
        bool black;
        int want;
    };
    for (const Case &c : {Case{31, kH, false, -3}, Case{kW, 16, false, -3},
                          Case{kW, kH, true, -3}}) { // black: no log range to measure
        Rgbe img = c.black ? make_rgbe(kW, kH, [](int, int) { return Rgb{0, 0, 0}; }) : src;
        const Outcome r = driver(120, Rgbe{c.w, c.h, img.bytes});
        EXPECT_EQ(r.result, c.want);
        EXPECT_EQ(r.src.bytes, img.bytes);
        EXPECT_EQ(r.dst.bytes, std::vector<uint8_t>(img.bytes.size(), 0xAB));
    }
    EXPECT_EQ(denoise1(120, kW, kH, 32, nullptr, out.data()), -3);

    // Memory failing at each allocation in turn: -4 and both images as they were, until the call
    // has all it needs and gives the result of an undisturbed run.
    const Outcome ok = driver(120, src);
    for (long n = 0;; ++n) {
        Rgbe s = src, d{kW, kH, std::vector<uint8_t>(src.bytes.size(), 0xAB)};
        g_allocationsBeforeFailure = n;
        const int result = denoise1(120, kW, kH, 32, s.bytes.data(), d.bytes.data());
        g_allocationsBeforeFailure = -1;
        if (result != -4) {
            EXPECT_GT(n, 1); // work and line buffers at least
            EXPECT_EQ(result, kH);
            EXPECT_EQ(d.bytes, ok.dst.bytes);
            EXPECT_EQ(s.bytes, ok.src.bytes);
            break;
        }
        EXPECT_EQ(s.bytes, src.bytes) << n;
        EXPECT_EQ(d.bytes, std::vector<uint8_t>(src.bytes.size(), 0xAB)) << n;
        ASSERT_LT(n, 20);
    }
}
