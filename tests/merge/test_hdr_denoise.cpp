// HDR statistics, a trous smoothing and the denoisers: known values, each against a plain
// double-precision reading of its definition, direction checks (noise falls, grey and flat
// highlights kept), the driver's level table, and failures that leave both images alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "merge/detail/atrous.h"
#include "merge/hdr_atrous.h"
#include "merge/hdr_denoise.h"
#include "merge/merge_to_hdr.h"
#include "platform/data.h"
#include "tests/merge/hdr_test_util.h"
#include "tests/support/allocation_probe.h"

using namespace hdrtest;

namespace {

constexpr int kW = 40, kH = 36; // above the 32-pixel minimum, not a multiple of 16
using Plane = std::vector<double>;

double coefficient(int level)
{
    return 0.8002 * std::exp(-2.6 * std::sqrt(level + 1.0)) / std::exp(-2.6);
}

// The decomposition as its definition reads: S_L the [1 2 1] / 16 filter with holes at 2^L over
// S_(L-1) in two dimensions at once, mirrored; result the soft-thresholded S_(L-1) - S_L plus S_4
// (a negative threshold moves a detail away from 0 on its own side).
template <class Tau> Plane decompose(Plane prev, Tau tau)
{
    auto m = [](int j, int n) { return j < 0 ? -j : (j > n - 1 ? 2 * (n - 1) - j : j); };
    Plane result(prev.size(), 0.0);
    for (int level = 0, d = 1; level < 5; ++level, d *= 2) {
        Plane s(prev.size(), 0.0);
        for (int i = 0; i < kW * kH; ++i)
            for (int dy = -d; dy <= d; dy += d)
                for (int dx = -d; dx <= d; dx += d)
                    s[size_t(i)] += (dx ? 1 : 2) * (dy ? 1 : 2) / 16.0 *
                                    prev[size_t(m(i / kW + dy, kH) * kW + m(i % kW + dx, kW))];
        for (size_t i = 0; i < s.size(); ++i) {
            const double dt = prev[i] - s[i], t = tau(level, s[i]);
            result[i] += dt < 0 ? std::min(dt + t, 0.0) : (dt > 0 ? std::max(dt - t, 0.0) : 0.0);
        }
        prev = s;
    }
    for (size_t i = 0; i < prev.size(); ++i)
        result[i] += prev[i];
    return result;
}

double luma(const Rgb &c)
{
    return 0.299 * c[0] + 0.587 * c[1] + 0.114 * c[2];
}

// R + G + B from 0.01 to 10 left to right, warm, +-30 % noise on each channel, 4 black pixels.
Rgbe scene(uint32_t seed)
{
    return make_rgbe(kW, kH, [seed](int x, int y) {
        const float s = y == 0 && x < 4 ? 0.0f : 0.01f * std::pow(1000.0f, float(x) / (kW - 1));
        return Rgb{0.45f * s * (1 + 0.3f * noise(seed, x, y)),
                   0.33f * s * (1 + 0.3f * noise(seed + 1, x, y)),
                   0.22f * s * (1 + 0.3f * noise(seed + 2, x, y))};
    });
}

// Each channel within steps mantissa steps of the pixel's larger exponent.
::testing::AssertionResult close(const Rgbe &got, const Rgbe &want, double steps)
{
    for (int i = 0; i < kW * kH; ++i) {
        const Rgb a = got.value(i % kW, i / kW), b = want.value(i % kW, i / kW);
        const double m = std::max({a[0], a[1], a[2], b[0], b[1], b[2]});
        for (size_t c = 0; c < 3; ++c)
            if (std::abs(double(a[c]) - b[c]) > steps * m / 128.0)
                return ::testing::AssertionFailure()
                       << "pixel " << i << ": " << a[c] << " vs " << b[c];
    }
    return ::testing::AssertionSuccess();
}

Rgbe reference_chroma(int mode, const Rgbe &src, double k, double shadows, double sat)
{
    Plane ratio[3];
    for (size_t c = 0; c < 3; ++c) {
        for (int i = 0; i < kW * kH; ++i) {
            const Rgb p = src.value(i % kW, i / kW);
            ratio[c].push_back(p[c] > 0 ? p[c] / (double(p[0]) + p[1] + p[2]) : 0.0);
        }
        ratio[c] = decompose(ratio[c], [k](int level, double) { return k * coefficient(level); });
    }
    return make_rgbe(kW, kH, [&](int x, int y) {
        Rgb p = src.value(x, y);
        const double s = double(p[0]) + p[1] + p[2], a = (sat - s) / (sat - shadows);
        const double w = s > 0 && s < shadows ? 1 : (s > 0 && mode > 0 && s < sat ? a : 0);
        for (size_t c = 0; c < 3; ++c)
            p[c] = float(w * s * ratio[c][size_t(y * kW + x)] + (1 - w) * p[c]);
        return p;
    });
}

// Threshold T below lo, a ramp to t0 at hi, then t0 (v - top) / (hi - top); t0 when hi == top.
// Mode 0: t0 = 0 and hi = lo.
Rgbe reference_lumin(int mode, const Rgbe &src, double lo, double hi, double top, double thr)
{
    Plane logY;
    for (int i = 0; i < kW * kH; ++i)
        logY.push_back(
            luma(src.value(i % kW, i / kW)) > 0 ? std::log(luma(src.value(i % kW, i / kW))) : 0);
    hi = mode > 0 ? hi : lo;
    logY = decompose(logY, [&](int level, double v) {
        const double T = coefficient(level) * thr, t0 = mode > 0 ? 0.1 * T : 0.0;
        return v < lo      ? T
               : v < hi    ? T + (t0 - T) * (v - lo) / (hi - lo)
               : hi == top ? t0
                           : t0 * (v - top) / (hi - top);
    });
    return make_rgbe(kW, kH, [&](int x, int y) {
        const Rgb p = src.value(x, y);
        const double y0 = luma(p), dy = std::exp(logY[size_t(y * kW + x)]) - y0;
        // Y moves, Cb and Cr stay: every channel moves by the same amount, clamped at 0.
        return Rgb{float(std::max(p[0] + dy, 0.0)), float(std::max(p[1] + dy, 0.0)),
                   float(std::max(p[2] + dy, 0.0))};
    });
}

struct Outcome {
    int result;
    Rgbe src, dst;
};

// One denoiser call on copies; dst starts as 0xAB. kind: 0 chroma, 1 luminance, 2 the driver.
Outcome call(int kind, const Rgbe &src, int mode, std::array<float, 4> a = {})
{
    Outcome r{0, src, Rgbe{src.w, src.h, std::vector<uint8_t>(src.bytes.size(), 0xAB)}};
    std::vector<float> work(5 * size_t(src.w) * size_t(src.h));
    uint8_t *s = r.src.bytes.data(), *d = r.dst.bytes.data();
    r.result =
        kind == 0 ? denoise_chroma(mode, src.w, src.h, 32, work.data(), s, d, a[0], a[1], a[2])
        : kind == 1
            ? denoise_lumin(mode, src.w, src.h, 32, work.data(), s, d, a[0], a[1], a[2], a[3])
            : denoise1(mode, src.w, src.h, 32, s, d);
    return r;
}
Rgbe chroma(int mode, const Rgbe &src, float k, float shadows, float sat)
{
    return call(0, src, mode, {k, shadows, sat}).dst;
}
Rgbe lumin(int mode, const Rgbe &src, float lo, float hi, float top, float thr)
{
    return call(1, src, mode, {lo, hi, top, thr}).dst;
}

} // namespace

TEST(SmoothLine, MirroredHolesAndUnnormalisedWeights)
{
    const std::vector<float> ramp = {0, 1, 2, 3, 4, 5, 6, 7};
    for (auto [n, spacing, want] :
         {std::tuple{8, 2, std::vector<float>{4, 6, 8, 12, 16, 20, 22, 24}},
          {4, 2, {4, 6, 6, 8}}, // both mirrors at once
          {3, 0, {0, 4, 8}},
          {7, 4, std::vector<float>(7, -1)}}) { // 2 x 4 > 7: not read
        std::vector<float> out(size_t(n), -1.0f);
        smooth_line(out.data(), ramp.data(), 1, n, spacing);
        EXPECT_EQ(out, want) << "n " << n << " spacing " << spacing;
    }
}

TEST(AtrousDecomposition, CoefficientsConstantPlaneAndEdge)
{
    const float printed[5] = {0.8002f, 0.272573f, 0.119287f, 0.059434f, 0.032172f};
    for (int level = 0; level < 5; ++level)
        EXPECT_NEAR(merge::detail::noise_coefficient(level), printed[level], 5e-7) << level;
    const size_t n = size_t(kW) * kH;
    std::vector<float> plane(n, -2.7f), s0(n), s1(n), line(merge::detail::line_floats(kW, kH));
    auto run = [&](float k) { // thresholds k c_L
        merge::detail::atrous_denoise(
            {plane.data(), {s0.data(), s1.data()}, line.data(), kW, kH}, [k](int level) {
                return [t = k * merge::detail::noise_coefficient(level)](float) { return t; };
            });
    };
    run(0.5f);
    for (float v : plane) // zero details; S_4 within a few ulps (3c + c is not always 4c)
        ASSERT_NEAR(v, -2.7f, 2.7f * 4e-7);
    for (size_t i = 0; i < n; ++i) // a step edge at x = 20 (the noise is the luminance test's)
        plane[i] = i % kW < 20 ? -1.0f : 1.0f;
    run(0.2f);
    EXPECT_TRUE(plane[10 * kW + 19] < -0.6f && plane[10 * kW + 20] > 0.6f); // the edge stays
}

TEST(HdrStats, LevelsAgreeWithASortedReadingAndUniformImages)
{
    const Rgbe img = scene(21);
    float st[6] = {};
    ASSERT_EQ(hdr_stats(kW, kH, img.bytes.data(), st, 0.002f), 1);
    Plane a, b;
    for (int i = 0; i < kW * kH; ++i) {
        const Rgb c = img.value(i % kW, i / kW);
        const double s = double(c[0]) + c[1] + c[2];
        a.push_back(s > 0 ? std::log(s) : 0.0);
        b.push_back(luma(c) > 0 ? std::log(luma(c)) : 0.0);
    }
    auto levels = [](Plane v) { // P1, P50, P99, range / 65535 (binned levels within 2.5 bins)
        std::sort(v.begin(), v.end());
        auto p = [&](float f) { return v[size_t(float(v.size()) * f)]; };
        return std::array{p(0.01f), p(0.5f), p(0.99f), (std::max(v.back(), 0.0) - v[0]) / 65535};
    };
    const auto pa = levels(a), pb = levels(b);
    EXPECT_NEAR(st[0], pa[1] - 0.25 * (pa[1] - pa[0]), 2.5 * pa[3]);
    EXPECT_NEAR(st[1], pa[1] + 0.5 * (pa[2] - pa[1]), 2.5 * pa[3]);
    EXPECT_NEAR(st[2], (pb[0] + pb[1]) / 2, 2.5 * pb[3]);
    EXPECT_NEAR(st[3], pb[1], 2.5 * pb[3]);
    EXPECT_NEAR(st[4], pb[2], 2.5 * pb[3]);
    EXPECT_NEAR(st[5], 0.004 * 65535 * pb[3] * (pb[2] - pb[1]), 0.004 * 65535 * pb[3] * 5 * pb[3]);
    // A common luma of 1 or more (or black): an empty range, refused. Below 1 the maxima keep
    // their start of 0 and every level is the common value.
    for (auto [v, want] : {std::pair{2.0f, -3}, {0.0f, -3}, {0.25f, 1}}) {
        const Rgbe flat = make_rgbe(8, 8, [v](int, int) { return Rgb{v, v, v}; });
        EXPECT_EQ(hdr_stats(8, 8, flat.bytes.data(), st, 1.0f), want) << v;
    }
    const float l3 = std::log(0.75f), l1 = std::log(0.25f), want[6] = {l3, l3, l1, l1, l1, 0};
    for (int k = 0; k < 6; ++k)
        EXPECT_NEAR(st[k], want[k], 1e-6) << k;
    // Greys of 0.25, 1 and 4 (24, 16 and 24 pixels): the median falls in the bin of 1, near the
    // middle of the 65536. A bin j converts back as j x range / 65536 + minimum: an integer j
    // is read back from the level (a range / 65535 would put it half a bin off).
    const Rgbe three = make_rgbe(8, 8, [](int x, int) {
        const float v = x < 3 ? 0.25f : x < 5 ? 1.0f : 4.0f;
        return Rgb{v, v, v};
    });
    ASSERT_EQ(hdr_stats(8, 8, three.bytes.data(), st, 1.0f), 1);
    const double lo = std::log(0.25), hi = std::log(4.0), j = (st[3] - lo) * 65536 / (hi - lo);
    EXPECT_NEAR(j, 32767, 1.01);
    EXPECT_NEAR(j, std::round(j), 0.05);
}

TEST(DenoiseChroma, PlainReadingNoiseFallsGreyAndShadowsLevel)
{
    const Rgbe src = scene(3);
    for (int mode : {0, 1}) { // two steps: truncation either side, float against double sums
        const Outcome r = call(0, src, mode, {0.6f, 0.3f, 2.0f});
        EXPECT_TRUE(r.result == kH && r.src.bytes == src.bytes);
        EXPECT_TRUE(close(r.dst, reference_chroma(mode, src, 0.6, 0.3, 2.0), 2.0)) << mode;
    }
    const Rgbe out = chroma(1, src, 1.0f, 0.3f, 2.0f);
    double before = 0, after = 0; // spread of the red share around the tint, in the shadows
    for (int y = 1; y < kH; ++y)
        for (int x = 0; x < kW / 4; ++x) {
            const Rgb a = src.value(x, y), b = out.value(x, y);
            before += std::abs(a[0] / (a[0] + a[1] + a[2]) - 0.45);
            after += std::abs(b[0] / (b[0] + b[1] + b[2]) - 0.45);
        }
    EXPECT_LT(after, 0.5 * before);
    const Rgbe grey = make_rgbe(kW, kH, [](int x, int y) {
        return Rgb{0.01f * (1 + x + y), 0.01f * (1 + x + y), 0.01f * (1 + x + y)};
    });
    EXPECT_TRUE(close(chroma(1, grey, 1.0f, 0.3f, 2.0f), grey, 1.0));
    // At the shadows level: mode 0 keeps the colour, mode 1 (alpha 1) takes the denoised one.
    const Rgb c = src.value(20, 9);
    const float s = c[0] + c[1] + c[2];
    EXPECT_EQ(chroma(0, src, 1.0f, s, 4 * s).at(20, 9), src.at(20, 9));
    const Quad inside = chroma(0, src, 1.0f, std::nextafter(s, 1e9f), 4 * s).at(20, 9);
    EXPECT_TRUE(chroma(1, src, 1.0f, s, 4 * s).at(20, 9) == inside && inside != src.at(20, 9));
}

TEST(DenoiseLumin, PlainReadingAcrossTheBandsAndTheirDirections)
{
    // Log luma from about -6 to 1.2 meets every band; the last two cases divide by zero.
    const Rgbe src = scene(6);
    for (auto [mode, lo, hi, top] : {std::array{0.0f, -2.0f, 0.0f, 1.0f},
                                     {1.0f, -2.0f, 0.0f, 1.0f},
                                     {1.0f, -3.0f, -3.0f, -3.0f},
                                     {1.0f, -2.0f, 0.5f, 0.5f}}) {
        const Outcome r = call(1, src, int(mode), {lo, hi, top, 0.5f});
        EXPECT_TRUE(r.result == kH && r.src.bytes == src.bytes);
        EXPECT_TRUE(close(r.dst, reference_lumin(int(mode), src, lo, hi, top, 0.5), 2.0))
            << mode << " " << lo << " " << hi;
    }
    // Texture of +-5 % luma: smoothed below lo; kept by a threshold that is not finite.
    const Rgbe texture = make_rgbe(kW, kH, [](int x, int y) {
        const float v = 1.0f + 0.05f * noise(9, x, y);
        return Rgb{v, 0.9f * v, 0.8f * v};
    });
    const Rgbe smooth = lumin(0, texture, 5.0f, 9.0f, 9.0f, 0.5f);
    double before = 0, after = 0;
    for (int x = 1; x < kW; ++x) {
        before += std::abs(texture.value(x, 9)[1] - texture.value(x - 1, 9)[1]);
        after += std::abs(smooth.value(x, 9)[1] - smooth.value(x - 1, 9)[1]);
    }
    EXPECT_LT(after, 0.3 * before);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_TRUE(close(lumin(1, texture, -3.0f, -2.0f, -1.0f, nan), texture, 2.0));
    // Flat highlights under negative thresholds stay flat; black among black becomes 1.
    for (auto [v, out, steps] : {std::array{1.5f, 1.5f, 1.0f}, {0.0f, 1.0f, 0.0f}}) {
        const Rgbe flat = make_rgbe(kW, kH, [v](int, int) { return Rgb{v, v, v}; });
        const Rgbe want = make_rgbe(kW, kH, [out](int, int) { return Rgb{out, out, out}; });
        EXPECT_TRUE(close(lumin(1, flat, -3.0f, -2.0f, -1.0f, 0.5f), want, steps)) << v;
    }
}

TEST(HdrDenoisers, WrongDepthSmallSidesAndNullsLeaveDestination)
{
    const Rgbe src = scene(1);
    std::vector<float> work(5 * size_t(kW) * kH);
    const uint8_t *s = src.bytes.data();
    for (auto [bits, w, h, chromaWant, luminWant] :
         {std::array{24, kW, kH, 0, -2}, {32, 31, kH, -3, -3}, {32, kW, 16, -3, -3}}) {
        std::vector<uint8_t> dst(src.bytes.size(), 0x5A);
        EXPECT_EQ(denoise_chroma(1, w, h, bits, work.data(), s, dst.data(), 1, 1, 2), chromaWant);
        EXPECT_EQ(denoise_lumin(1, w, h, bits, work.data(), s, dst.data(), 0, 1, 2, 1), luminWant);
        EXPECT_EQ(denoise_lumin(1, kW, kH, 32, nullptr, s, dst.data(), 0, 1, 2, 1), -3);
        EXPECT_EQ(dst, std::vector<uint8_t>(src.bytes.size(), 0x5A)) << bits << " " << w;
    }
}

TEST(Denoise1, LevelTableMapsOntoTheTwoSteps)
{
    const Rgbe src = scene(12);
    for (auto [level, mode, k] : {std::tuple{50, 0, 0.2f},
                                  {99, 0, 0.396f},
                                  {100, 0, 0.4f},
                                  {120, 1, 0.64f},
                                  {150, 1, 1.0f}}) {
        const Outcome r = call(2, src, level);
        float st[6];
        hdr_stats(kW, kH, src.bytes.data(), st, level == 100 ? 0.0013333333f : k / 300.0f);
        const Rgbe c = chroma(mode, src, k, std::exp(st[0]), std::exp(st[1]));
        // Below 100 chroma only; from 100 the source holds the chroma result.
        EXPECT_TRUE(r.result == kH && r.src.bytes == (level < 100 ? src.bytes : c.bytes)) << level;
        EXPECT_EQ(r.dst.bytes,
                  level < 100 ? c.bytes : lumin(mode, c, st[2], st[3], st[4], st[5]).bytes)
            << level;
    }
    const Outcome at100 = call(2, src, 100);
    for (int level : {0, 49, 151, 1000}) {
        const Outcome r = call(2, src, level);
        EXPECT_TRUE(r.dst.bytes == at100.dst.bytes && r.src.bytes == at100.src.bytes) << level;
    }
}

TEST(Denoise1, RefusalsAndFailuresLeaveBothImages)
{
    const Rgbe src = scene(2);
    // Not 32 bits a pixel: refused before anything reads the (3-byte) pixels or allocates.
    std::vector<uint8_t> rgb(size_t(kW) * kH * 3, 9), out(rgb.size(), 0x5A);
    testsupport::alloc::failAt = 1, testsupport::alloc::seen = 0;
    EXPECT_EQ(denoise1(120, kW, kH, 24, rgb.data(), out.data()), 0);
    testsupport::alloc::failAt = 0;
    EXPECT_EQ(out, std::vector<uint8_t>(out.size(), 0x5A));
    const Rgbe black = make_rgbe(kW, kH, [](int, int) { return Rgb{0, 0, 0}; }); // no log range
    const std::vector<uint8_t> unwritten(src.bytes.size(), 0xAB);
    for (const Rgbe &img : {Rgbe{31, kH, src.bytes}, Rgbe{kW, 16, src.bytes}, black}) {
        const Outcome r = call(2, img, 120);
        EXPECT_TRUE(r.result == -3 && r.src.bytes == img.bytes && r.dst.bytes == unwritten);
    }
    // Memory failing at each allocation in turn: -4 with both images as they were, until the
    // call has all it needs and gives the undisturbed result.
    const Outcome ok = call(2, src, 120);
    for (long n = 0;; ++n) {
        Rgbe s = src, d{kW, kH, unwritten};
        testsupport::alloc::failAt = n + 1, testsupport::alloc::seen = 0;
        const int result = denoise1(120, kW, kH, 32, s.bytes.data(), d.bytes.data());
        testsupport::alloc::failAt = 0;
        if (result != -4) {
            EXPECT_GT(n, 1); // work and line buffers at least
            EXPECT_TRUE(result == kH && d.bytes == ok.dst.bytes && s.bytes == ok.src.bytes);
            break;
        }
        EXPECT_TRUE(s.bytes == src.bytes && d.bytes == unwritten) << n;
        ASSERT_LT(n, 20);
    }
}

// The merge job runs out of memory at each of its allocations in turn (this file holds the merge
// tests' allocation probe) and says so; a merge refused for its exposures does not.
TEST(MergeToHDR, TellsMemoryRunningShortFromUnusableExposures)
{
    const int32_t dims[4] = {8, 4, 3, 8}; // the slots the job reads
    const std::vector<uint8_t> photos(2 * 8 * 4 * 3, 90);
    const std::vector<float> exposures = {1, 4}, unusable = {1, 0};
    auto merge = [&](const std::vector<float> &deltaT, long failAt) {
        MergeToHDR job;
        job.setImageDimsFrom(platform::Data::copy(dims, sizeof dims));
        job.setImageCount(2);
        job.setDeltaT(platform::Data::copy(deltaT.data(), deltaT.size() * sizeof(float)));
        const platform::DataPtr stack = platform::Data::copy(photos.data(), photos.size());
        testsupport::alloc::failAt = failAt, testsupport::alloc::seen = 0;
        const bool merged = bool(job.mergeImagesToHDR(1, stack, 1, 0, nullptr));
        testsupport::alloc::failAt = 0;
        return std::pair{merged, job.outOfMemory()};
    };
    EXPECT_EQ(merge(exposures, 0), std::pair(true, false));
    EXPECT_EQ(merge(unusable, 0), std::pair(false, false));
    for (long n = 1; n <= 2; ++n) // the exposures' copy, then the table
        EXPECT_EQ(merge(exposures, n), std::pair(false, true)) << n;
}
