// The global operator: statistics, the mapping and its settings, bands against one thread, and
// the colour-temperature white.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>
#include <vector>

#include "imagecore/banded.h"
#include "tests/tonemap/tm_test_util.h"
#include "tonemap/rodo.h"
#include "tonemap/tm_params.h"

namespace {

// An rgbeBuf image (the test scene by default) with its statistics.
struct Hdr {
    int w, h;
    std::vector<uint8_t> rgbe;
    float lum[kLumParamCount] = {}, table[256];
    Hdr(int w_, int h_, std::vector<uint8_t> bytes = {}) : w(w_), h(h_), rgbe(std::move(bytes))
    {
        if (rgbe.empty())
            rgbe = tmtest::encode_rgbe(w, h);
        exp_lut(table, -8);
        EXPECT_EQ(logMinMaxMoy(w, h, table, rgbe.data(), lum), h);
    }
};

// A grey log ramp of w x h pixels from 2^lo to 2^hi.
Hdr grey_ramp(int w, int h, double lo, double hi)
{
    std::vector<float> rgb(size_t(w) * size_t(h) * 3);
    for (size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = float(std::exp2(lo + (hi - lo) * double(i / 3) / double(w * h - 1)));
    return Hdr(w, h, tmtest::encode_rgbe(w, h, rgb));
}

// Method-2 slots (all 0 but the given ones).
struct Params {
    float p[kTmParamCount] = {};
    Params(std::initializer_list<std::pair<int, float>> slots = {})
    {
        for (auto [slot, v] : slots)
            p[slot] = v;
    }
};

dim_param dims_for(int w, int h, int spp, int bits, int rowLength = 0)
{
    return {{w, h, spp, 8, bits, 0, rowLength ? rowLength : w * spp, 0}};
}

struct Mapped {
    int rc;
    std::vector<int> v; // the output samples
};

// tm_simple into an output preset to 7 (uint16_t samples at 16 bits, else bytes).
Mapped map_image(const Hdr &img, const Params &p, dim_param d, int nbProc = 1)
{
    const size_t n = size_t(img.h) * size_t(std::max(d.v[kDimOutRowLen], img.w * 3));
    std::vector<uint8_t> out8(n, 7);
    std::vector<uint16_t> out16(n, 7);
    const bool deep = d.v[kDimOutBits] == 16;
    const int rc = tm_simple(p.p, img.lum, img.table, img.rgbe.data(),
                             deep ? static_cast<void *>(out16.data()) : out8.data(), d,
                             optim_param_struct{nbProc, 0, {}});
    return {rc, deep ? std::vector<int>(out16.begin(), out16.end())
                     : std::vector<int>(out8.begin(), out8.end())};
}

// w x h RGB samples.
Mapped map_image(const Hdr &img, const Params &p, int bits, int nbProc = 1)
{
    return map_image(img, p, dims_for(img.w, img.h, 3, bits), nbProc);
}

} // namespace

TEST(LogMinMaxMoy, UniformLuminanceGivesMinus1FromTheOperator)
{
    // Every pixel 137 x 2^(137 - 136). Median and percentile fall back to the mean and the
    // maximum.
    Hdr img(20, 10, std::vector<uint8_t>(20 * 10 * 4, 137));
    for (int i = 0; i < 5; ++i)
        EXPECT_FLOAT_EQ(img.lum[i], std::log(274.0f)) << i;
    for (int nbProc : {1, 4}) {
        const Mapped m = map_image(img, Params(), 8, nbProc);
        EXPECT_EQ(m.rc, -1);
        EXPECT_EQ(m.v, std::vector<int>(m.v.size(), 7));
    }
}

TEST(LogMinMaxMoy, SkipsBlackPixelsThatTheOperatorMapsToBlack)
{
    // Pixels: exponent 0 with mantissas set, zero mantissas, 0.25, 0.5.
    Hdr img(4, 1, {200, 0, 128, 128, 200, 0, 128, 128, 200, 0, 128, 128, 0, 140, 127, 128});
    EXPECT_FLOAT_EQ(img.lum[0], std::log(0.25f));
    EXPECT_EQ(img.lum[1], 0.0f); // both logs negative
    EXPECT_FLOAT_EQ(img.lum[2], (std::log(0.25f) + std::log(0.5f)) / 2);
    // Exponent 0 is black whatever the settings.
    const Params p({{kRoBrightness, -10}, {kRoBlackClip, -20}, {kRoColorTemperature, 3}});
    const Mapped m = map_image(img, p, 8);
    ASSERT_EQ(m.rc, 1);
    EXPECT_EQ(std::vector<int>(m.v.begin(), m.v.begin() + 3), std::vector<int>(3, 0));
    // Nothing to measure: minimum 1e11, maximum and mean 0.
    Hdr black(3, 1, std::vector<uint8_t>(12, 0));
    EXPECT_EQ(std::vector<float>(black.lum, black.lum + 3), (std::vector<float>{1e11f, 0, 0}));
    // No rows or columns: nothing written.
    float lum[kLumParamCount] = {9, 9, 9, 9, 9, 9, 9};
    EXPECT_EQ(logMinMaxMoy(1, 0, img.table, img.rgbe.data(), lum), 0);
    EXPECT_EQ(logMinMaxMoy(0, 1, img.table, img.rgbe.data(), lum), 0);
    EXPECT_EQ(std::vector<float>(lum, lum + 7), std::vector<float>(7, 9.0f));
}

TEST(LogMinMaxMoy, MedianAndUpperPercentileOfTheSamples)
{
    // 100 x 100 pixels: every pixel is a sample; the image's own logs, sorted, are the reference.
    Hdr img(100, 100);
    std::vector<float> logs;
    for (int i = 0; i < 10000; ++i) {
        const uint8_t *px = img.rgbe.data() + i / 100 * 400 + i % 100;
        const float t = img.table[px[300]];
        logs.push_back(
            std::log(0.2125f * px[0] * t + 0.7154f * px[100] * t + 0.0721f * px[200] * t));
    }
    std::sort(logs.begin(), logs.end());
    EXPECT_FLOAT_EQ(img.lum[0], logs.front());
    EXPECT_FLOAT_EQ(img.lum[1], logs.back());
    // Through a 65536-bin histogram: within two bin widths (binning truncates).
    const float bin = (logs.back() - logs.front()) / 65536.0f;
    EXPECT_NEAR(img.lum[3], logs[5000], 2 * bin);
    EXPECT_NEAR(img.lum[4], logs[9950], 2 * bin);
}

TEST(TmSimple, RefusedDepthsAndLayoutsWriteNothing)
{
    Hdr img(16, 8);
    // Depths 12, 0, 32; rows shorter than w x spp; no samples; no rows.
    for (const dim_param &d :
         {dims_for(16, 8, 3, 12), dims_for(16, 8, 3, 0), dims_for(16, 8, 3, 32),
          dims_for(16, 8, 3, 8, 47), dims_for(16, 8, 0, 8), dims_for(16, 0, 3, 8)})
        for (int nbProc : {1, 3}) {
            const Mapped m = map_image(img, Params(), d, nbProc);
            EXPECT_EQ(m.rc, 0) << d.v[kDimOutBits] << " bits, " << nbProc << " threads";
            EXPECT_EQ(m.v, std::vector<int>(m.v.size(), 7));
        }
}

TEST(TmSimple, GreyRampSpansTheOutputRangeInOrder)
{
    // The curve's ends are the image's extremes. An out-of-range temperature (K <= 0) leaves the
    // gains at 1: greys stay grey, the colour matrix being the identity to ~1e-4 (one code).
    Hdr img = grey_ramp(64, 4, -6, 6);
    for (int bits : {8, 16})
        for (float slot : {0.0f, 40.0f, 1e6f}) {
            SCOPED_TRACE(testing::Message() << bits << " bits, slot 12 = " << slot);
            const auto [rc, v] = map_image(img, Params({{kRoColorTemperature, slot}}), bits);
            ASSERT_EQ(rc, 4);
            EXPECT_EQ(v.front(), 0);
            // The gain's rounding may truncate the brightest pixel one code below the top.
            EXPECT_GE(v.back(), (bits == 8 ? 255 : 65535) - 1);
            for (size_t i = 0; i + 3 < v.size(); i += 3) {
                ASSERT_NEAR(v[i], v[i + 1], slot != 0) << i / 3;
                ASSERT_NEAR(v[i], v[i + 2], slot != 0) << i / 3;
                ASSERT_LE(v[i + 1], v[i + 4]) << "not monotonic at " << i / 3;
            }
        }
}

TEST(TmSimple, SettingsAndTheirTruncation)
{
    Hdr img(32, 8);
    auto with = [&](int slot, float v) { return map_image(img, Params({{slot, v}}), 8).v; };
    auto count = [](const std::vector<int> &v, int x) { return std::count(v.begin(), v.end(), x); };
    const std::vector<int> plain = map_image(img, Params(), 8).v;
    // Temperature and saturation are integers: fractions truncate to off.
    EXPECT_EQ(with(kRoColorTemperature, 0.5f), plain);
    EXPECT_EQ(with(kRoSaturation, -0.9f), plain);
    EXPECT_NE(with(kRoColorTemperature, 1.0f), plain);
    EXPECT_NE(with(kRoSaturation, -1.0f), plain);
    EXPECT_GT(count(with(kRoWhiteClip, 5), 255), count(plain, 255));
    EXPECT_GT(count(with(kRoBlackClip, 5), 0), count(plain, 0));
    // Clip settings that bring the tone curve's denominator to 0 or below: the stores saturate
    // and the run still succeeds.
    for (float clip : {100.0f / 3.0f, 40.0f, 1e30f})
        for (int bits : {8, 16})
            EXPECT_EQ(
                map_image(img, Params({{kRoWhiteClip, clip}, {kRoBlackClip, 50 - clip}}), bits).rc,
                8)
                << clip;
}

TEST(TmSimple, ChannelOrderSampleOffsetsAndRowPadding)
{
    Hdr img(10, 5);
    const std::vector<int> rgb = map_image(img, Params(), 8).v;
    // Four samples a pixel in rows of 44, blue first, in two bands of 2 and 3 rows: the result
    // is the last band's. The third sample and the padding are not ours.
    dim_param d = dims_for(10, 5, 4, 8, 44);
    d.v[kDimChannelOrder] = 1;
    const Mapped m = map_image(img, Params(), d, 2);
    ASSERT_EQ(m.rc, 3);
    for (size_t i = 0; i < m.v.size(); ++i) {
        const size_t c = i % 4, at = (i / 44 * 10 + i % 44 / 4) * 3;
        const int expected = i % 44 >= 40 || c == 2 ? 7 : rgb[at + (c == 3 ? 0 : c == 1 ? 1 : 2)];
        ASSERT_EQ(m.v[i], expected) << "row " << i / 44 << ", sample " << i % 44;
    }
}

TEST(TmSimple, BandsEqualOneThreadBitForBit)
{
    const Params p({{kRoBrightness, 1.5f},
                    {kRoCompression, 3},
                    {kRoContrast, 2},
                    {kRoWhiteClip, 1},
                    {kRoBlackClip, 0.5f},
                    {kRoColorTemperature, -4},
                    {kRoSaturation, 3}});
    // Fewer rows than threads too.
    for (auto [w, h] : {std::pair{37, 29}, std::pair{16, 3}, std::pair{5, 1}})
        for (int bits : {8, 16}) {
            Hdr img(w, h);
            const Mapped one = map_image(img, p, bits, 1);
            ASSERT_EQ(one.rc, h);
            for (int n : {2, 3, 8}) {
                const Mapped banded = map_image(img, p, bits, n);
                EXPECT_EQ(banded.v, one.v) << w << "x" << h << ", " << bits << " bits, " << n;
                // The last band holds h - (bands - 1) x (h / bands) rows, bands = min(n, h).
                const int bands = std::min(n, h);
                EXPECT_EQ(banded.rc, h - (bands - 1) * (h / bands));
            }
        }
}

TEST(TmSimple, ThreadThatCannotStartFailsWithMinus2)
{
    Hdr img(16, 8);
    imagecore::set_thread_start_for_testing(
        [](pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) { return EAGAIN; });
    const int rc4 = map_image(img, Params(), 8, 4).rc;
    const int rc1 = map_image(img, Params(), 8, 1).rc; // one band on the calling thread
    imagecore::set_thread_start_for_testing(nullptr);
    EXPECT_EQ(rc4, -2);
    EXPECT_EQ(rc1, 8);
}

TEST(Kelvin2XYZ, DaylightWhitesAndNoTemperature)
{
    float xyz[3] = {0, 0, 0}, warm[3], cool[3];
    kelvin2XYZ(6500, xyz);
    // The reference values are given to five decimals.
    EXPECT_NEAR(xyz[0], 0.95017f, 1e-4f);
    EXPECT_EQ(xyz[1], 1.0f);
    EXPECT_NEAR(xyz[2], 1.08765f, 1e-4f);
    // Warmer whites have less blue, cooler ones more, across the 7000 K switch of formulas.
    kelvin2XYZ(4000, warm);
    kelvin2XYZ(12000, cool);
    EXPECT_TRUE(warm[2] < xyz[2] && xyz[2] < cool[2] && warm[0] > cool[0]);
    for (int k : {0, -1, std::numeric_limits<int>::min()}) {
        float d65[3] = {0.950456f, 1, 1.088754f};
        kelvin2XYZ(k, d65);
        EXPECT_EQ(std::vector<float>(d65, d65 + 3), (std::vector<float>{0.950456f, 1, 1.088754f}))
            << k;
    }
}
