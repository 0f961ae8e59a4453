// The shared services: saturating clamps, rankings, the median exposure, RGBE and the colour
// helpers.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <tuple>
#include <vector>

#include "imagecore/brightness.h"
#include "imagecore/byte_order.h"
#include "imagecore/color.h"
#include "imagecore/float_clamp.h"
#include "imagecore/pixel_buffers.h"
#include "tests/support/fixtures.h"

using namespace imagecore;

namespace {

constexpr int kLength = 512;

// kLength + 1 bytes: an rTRC entry at byte at names a 'curv' tag (count, bytes b12 b13) at tag.
testsupport::Bytes curve(uint32_t count, uint8_t b12, uint8_t b13, uint32_t tag = 400,
                         size_t at = 132)
{
    testsupport::Bytes p = testsupport::make_icc_profile(kLength, "test");
    p.resize(kLength + 1);
    std::memcpy(&p[at], "rTRC", 4);
    put_be32(&p[at + 4], tag);
    if (size_t(tag) + 14 <= kLength) {
        std::memcpy(&p[tag], "curv", 4);
        put_be32(&p[tag + 8], count);
        p[tag + 12] = b12;
        p[tag + 13] = b13;
    }
    return p;
}

} // namespace

TEST(FloatClamp, SaturatesAndHandlesNaN)
{
    EXPECT_EQ((std::vector<int>{clamp_to_int(1e20), clamp_to_int(-1e20), clamp_to_int(-2.9)}),
              (std::vector<int>{INT_MAX, INT_MIN, -2}));
    EXPECT_EQ(clamp_to_int(std::nan("")), 0);
    EXPECT_EQ((std::vector<int>{clamp_to_u8(300.0), clamp_to_u8(-1.0)}),
              (std::vector<int>{255, 0}));
}

TEST(FClassementCroissant, AscendingTiesHigherIndexFirstSentinelsFirst)
{
    const std::pair<std::vector<float>, std::vector<int>> cases[] = {
        {{3.0f, 1.0f, 3.0f, 2.0f}, {1, 3, 2, 0}},
        {{-1e9f, 5.0f, -1e9f}, {2, 0, 1}}, // at or below -1e8: first, descending index
        {{-1e8f, -2e8f, -1e8f}, {2, 1, 0}},
        {{1.0f, -99999990.0f}, {1, 0}}}; // just above the bound is ranked
    for (const auto &[values, expected] : cases) {
        std::vector<float> v = values;
        std::vector<int> order(v.size(), -7);
        EXPECT_EQ(fClassementCroissant(int(v.size()), v.data(), order.data()), int(v.size()));
        EXPECT_EQ(order, expected) << values[0];
        EXPECT_EQ(v, values); // values are not changed
    }
}

TEST(Iclassement, DistinctPositiveValuesFirstThenTheRest)
{
    const std::tuple<std::vector<int>, std::vector<int>, int> cases[] = {
        {{5, 9, 5, 0, 7}, {1, 4, 0, 2, 3}, 3},
        {{4, 4, 4}, {0, 1, 2}, 1},
        {{100000000, 5}, {1, 0}, 1}}; // at or above the bound is never picked
    for (const auto &[values, expected, result] : cases) {
        std::vector<int> order(values.size(), 0);
        EXPECT_EQ(iclassement(int(values.size()), values.data(), order.data()), result);
        EXPECT_EQ(order, expected) << values[0];
    }
}

TEST(ExpoMediane, ReturnsTheUpperMedianIndexAndMinusOneForNoValues)
{
    std::vector<float> v{0.5f, 2.0f, 1.0f}, four{4.0f, 1.0f, 3.0f, 2.0f};
    EXPECT_EQ(expo_mediane(3, v.data()), 2);
    EXPECT_EQ(v, (std::vector<float>{1e8f, 1e8f, 1e8f})); // consumed
    EXPECT_EQ(expo_mediane(4, four.data()), 2);
    EXPECT_EQ(expo_mediane(0, four.data()), -1);
}

TEST(Rgbe, EncodeDecodeAndExponentZeroTinyOrNaNIsBlack)
{
    uint8_t row[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}; // 2 pixels, row-planar
    put_rgbe(row, 2, 0, 1.0, 0.5, 0.25);
    put_rgbe(row, 2, 1, std::nan(""), 1e-33, 0.0);
    EXPECT_EQ(std::vector<uint8_t>(row, row + 8),
              (std::vector<uint8_t>{128, 0, 64, 0, 32, 0, 129, 0}));
    float table[256], rgb[3];
    for (int i = 0; i < 256; ++i)
        table[i] = static_cast<float>(std::ldexp(1.0, i - 136));
    EXPECT_EQ(rgbe2float(row, table, 2, 4, 6, 0, rgb), 129);
    EXPECT_EQ(std::vector<float>(rgb, rgb + 3), (std::vector<float>{1.0f, 0.5f, 0.25f}));
    row[1] = row[3] = row[5] = 10; // mantissas under a zero exponent
    EXPECT_EQ(rgbe2float(row, table, 2, 4, 6, 1, rgb), 0);
    EXPECT_EQ(std::vector<float>(rgb, rgb + 3), std::vector<float>(3, 0.0f));
    // 1e-32f lies just above 1e-32: encoded; a negative or NaN channel beside it gets 0.
    put_rgbe(row, 2, 1, double(1e-32f), -1.0, std::nan(""));
    EXPECT_EQ((std::vector<uint8_t>{row[1], row[3], row[5], row[7]}),
              (std::vector<uint8_t>{207, 0, 0, 22}));
}

TEST(TrcFromProfile, GammaOfTheFirstCurveOrTheDefault)
{
    // Profile, length given, result, gamma (-7: left alone).
    const std::tuple<testsupport::Bytes, int, int, float> cases[] = {
        {curve(1, 0x02, 0x33), kLength, 133, 2.19921875f},
        {curve(256, 0x02, 0x33), kLength, 133, 2.2f}, // sampled: the default
        {testsupport::make_icc_profile(kLength, "none"), kLength, kLength - 12, 2.2f},
        {curve(1, 1, 0, kLength - 12), kLength, 133, 2.2f},    // ends 2 bytes past
        {curve(1, 1, 0, 0xFFFFFFF8u), kLength, 133, 2.2f},     // far outside
        {curve(1, 1, 0x80, kLength - 14), kLength, 133, 1.5f}, // ends at the end
        {curve(1, 0x02, 0x33), kLength + 1, -1, -7.0f}};       // only the length the header states
    for (const auto &[profile, length, result, gamma] : cases) {
        float g = -7;
        EXPECT_EQ(trc_from_profile(profile.data(), size_t(length), &g), result) << length;
        EXPECT_EQ(g, gamma) << result;
    }
}

// White points catch a mistyped coefficient (the printed 4 digits sum to 1 or 0 within 1e-6).
TEST(ColourConversions, WhitePointsDaylightLabAndSaturation)
{
    const float white[3] = {1, 1, 1}, mid[3] = {0.5f, 0.5f, 0.5f}, big[3] = {4, 4, 4};
    const float blueChroma[3] = {0, 0, 1};
    float ybr[3], rgb[3], d65[3], d50[3], lin[3], none[3];
    rgb2ybr(white, ybr);
    ybr2rgb(blueChroma, rgb); // negative green and blue clamped to 0
    sRGBlin2XYZ(white, d65);
    sRGB2XYZ(white, d50);
    XYZ2sRGBlin(d65, lin); // 4-5 digit matrices are inverses to ~1e-4
    kelvin2rgbScaling(0, none);
    const float expected[] = {1,       0, 0,      1,       1, 1,
                              1,       1, 1,      1.402f,  0, 0, // three per row
                              0.9505f, 1, 1.089f, 0.9643f, 1, 0.8251f};
    const float *got[6] = {ybr, lin, none, rgb, d65, d50};
    for (size_t i = 0; i < 6; ++i)
        for (size_t k = 0; k < 3; ++k)
            EXPECT_NEAR(got[i][k], expected[3 * i + k], i == 1 ? 1e-3 : 1e-6) << i << " " << k;

    uint8_t out[3], over[3];
    float xyz[3];
    sRGBlin2XYZ(mid, xyz);
    XYZ2sRGB8(xyz, out); // 0.5^0.4545 x 255 = 186.7; the matrix round trip moves it by < 0.1
    XYZ2sRGB8(big, over);
    EXPECT_EQ((std::vector<int>{out[0], out[1], out[2], over[0], over[1], over[2]}),
              (std::vector<int>{186, 186, 186, 255, 255, 255}));

    // L* 100 is the D50 white; L* 1 (328) is in the linear part: Y = 1 x 0.001107052 x 65535.
    std::vector<uint16_t> lab = {0, 1000, 1000, 32768, 32896, 32896, 328, 32896, 32896, 7};
    EXPECT_EQ(Lab2XYZ_16(10, lab.data()), int(std::strlen("rmax:63189 gmax:65535 bmax:54060\n")));
    EXPECT_EQ(lab, (std::vector<uint16_t>{0, 0, 0, 63189, 65535, 54060, lab[6], 73, lab[8], 7}));
}

// The luma histogram against its plain reading (luma (54 R + 183 G + 19 B) >> 8 of the high bytes,
// R first, G at (spp - 1) / 2, B last; pixels over saturation in all three counted), whatever
// the thread count splitting the pixels.
TEST(AddLumaHistogram, CountsFollowThePlainReadingAtEveryThreadCount)
{
    const size_t pixels = 300001;
    for (int bps : {8, 16})
        for (int spp : {1, 3, 4}) {
            std::vector<uint16_t> wide(pixels * size_t(spp));
            std::vector<uint8_t> narrow(wide.size());
            for (size_t i = 0; i < wide.size(); ++i) {
                wide[i] = uint16_t((i * 2654435761u) >> 7);
                narrow[i] = uint8_t(wide[i] >> 8);
            }
            const int saturation = bps == 8 ? 200 : 51000;
            LumaHistogram want{};
            uint64_t wantSaturated = 0;
            for (size_t p = 0; p < pixels; ++p) {
                auto at = [&](int k) {
                    const size_t i = p * size_t(spp) + size_t(k);
                    return bps == 8 ? int(narrow[i]) : int(wide[i]);
                };
                const int R = at(0), G = at((spp - 1) / 2), B = at(spp - 1);
                const int shift = bps == 8 ? 0 : 8;
                ++want[size_t((54 * (R >> shift) + 183 * (G >> shift) + 19 * (B >> shift)) >> 8)];
                wantSaturated += R > saturation && G > saturation && B > saturation;
            }
            const void *photo = bps == 8 ? static_cast<const void *>(narrow.data())
                                         : static_cast<const void *>(wide.data());
            for (int threads : {0, 1, 3, 8}) {
                LumaHistogram hist{};
                hist[7] = 5; // added to, not replaced
                EXPECT_EQ(add_luma_histogram(photo, pixels, spp, bps, saturation, hist, threads),
                          wantSaturated)
                    << bps << " " << spp << " " << threads;
                hist[7] -= 5;
                EXPECT_EQ(hist, want) << bps << " " << spp << " " << threads;
            }
        }
    LumaHistogram hist{};
    EXPECT_EQ(add_luma_histogram(nullptr, 10, 3, 8, 0, hist, 8), 0u);
    EXPECT_EQ(add_luma_histogram(&hist, 1, 3, 12, 0, hist, 8), 0u);
    EXPECT_EQ(hist, LumaHistogram{});
}
