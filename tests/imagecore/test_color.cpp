#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "imagecore/byte_order.h"
#include "imagecore/color.h"
#include "tests/support/fixtures.h"

namespace {

constexpr size_t kProfileLength = 512;
constexpr uint32_t kCurveOffset = 400;

// A profile whose only tag-table entry is an rTRC pointing at a 'curv' tag at kCurveOffset.
testsupport::Bytes profile_with_curve(uint32_t count, uint8_t b12, uint8_t b13,
                                      uint32_t tagOffset = kCurveOffset)
{
    testsupport::Bytes p = testsupport::make_icc_profile(kProfileLength, "test");
    std::memcpy(&p[132], "rTRC", 4);
    imagecore::put_be32(&p[136], tagOffset);
    imagecore::put_be32(&p[140], 14);
    std::memcpy(&p[kCurveOffset], "curv", 4);
    imagecore::put_be32(&p[kCurveOffset + 8], count);
    p[kCurveOffset + 12] = b12;
    p[kCurveOffset + 13] = b13;
    return p;
}

} // namespace

TEST(TrcFromProfile, SingleEntryCurveGivesItsFixedPointGamma)
{
    const auto p = profile_with_curve(1, 0x02, 0x33);
    float gamma = 0;
    EXPECT_EQ(trc_from_profile(p.data(), p.size(), &gamma), 133); // signature at byte 132
    EXPECT_EQ(gamma, 2.19921875f);
}

TEST(TrcFromProfile, SampledCurveGivesDefault)
{
    const auto p = profile_with_curve(256, 0x02, 0x33);
    float gamma = 0;
    EXPECT_EQ(trc_from_profile(p.data(), p.size(), &gamma), 133);
    EXPECT_EQ(gamma, 2.2f);
}

TEST(TrcFromProfile, LengthMismatchLeavesGammaAlone)
{
    const auto p = profile_with_curve(1, 0x02, 0x33);
    float gamma = -7;
    EXPECT_EQ(trc_from_profile(p.data(), p.size() - 1, &gamma), -1);
    EXPECT_EQ(trc_from_profile(p.data(), p.size() + 1, &gamma), -1);
    EXPECT_EQ(trc_from_profile(p.data(), 3, &gamma), -1);
    EXPECT_EQ(trc_from_profile(nullptr, p.size(), &gamma), -1);
    EXPECT_EQ(gamma, -7.0f);
}

TEST(TrcFromProfile, TagOutsideProfileGivesDefault)
{
    float gamma = 0;
    // The 14 bytes of the tag would end 2 bytes past the profile.
    const auto shortTag = profile_with_curve(1, 0x01, 0x00, kProfileLength - 12);
    EXPECT_EQ(trc_from_profile(shortTag.data(), shortTag.size(), &gamma), 133);
    EXPECT_EQ(gamma, 2.2f);
    gamma = 0;
    const auto farTag = profile_with_curve(1, 0x01, 0x00, 0xFFFFFFF8u);
    EXPECT_EQ(trc_from_profile(farTag.data(), farTag.size(), &gamma), 133);
    EXPECT_EQ(gamma, 2.2f);
    // The last tag that fits exactly is read.
    auto edge = profile_with_curve(1, 0x01, 0x00, kProfileLength - 14);
    imagecore::put_be32(&edge[kProfileLength - 14 + 8], 1);
    edge[kProfileLength - 2] = 0x01;
    edge[kProfileLength - 1] = 0x80;
    EXPECT_EQ(trc_from_profile(edge.data(), edge.size(), &gamma), 133);
    EXPECT_EQ(gamma, 1.5f);
}

TEST(TrcFromProfile, NoCurveOrTinyProfileGivesDefault)
{
    const auto p = testsupport::make_icc_profile(kProfileLength, "test");
    float gamma = 0;
    EXPECT_EQ(trc_from_profile(p.data(), p.size(), &gamma), int(kProfileLength) - 12);
    EXPECT_EQ(gamma, 2.2f);

    // A size field of 12 leaves nothing to scan.
    uint8_t tiny[12] = {0, 0, 0, 12};
    gamma = 0;
    EXPECT_EQ(trc_from_profile(tiny, sizeof tiny, &gamma), 0);
    EXPECT_EQ(gamma, 2.2f);
}

TEST(TrcFromProfile, FirstTrcSignatureInTheBytesWins)
{
    auto p = profile_with_curve(1, 0x02, 0x33);
    // A gTRC earlier in the bytes (inside the header's reserved area) pointing at a gamma 1.0.
    std::memcpy(&p[100], "gTRC", 4);
    imagecore::put_be32(&p[104], 300);
    imagecore::put_be32(&p[300 + 8], 1);
    p[300 + 12] = 1;
    p[300 + 13] = 0;
    float gamma = 0;
    EXPECT_EQ(trc_from_profile(p.data(), p.size(), &gamma), 101);
    EXPECT_EQ(gamma, 1.0f);
}

TEST(Rgb2ybr, WhiteHasNoChroma)
{
    const float rgb[3] = {1, 1, 1};
    float ybr[3];
    EXPECT_EQ(rgb2ybr(rgb, ybr), 1);
    // The JFIF coefficients sum to 1 and 0 only to their 4 printed digits.
    EXPECT_NEAR(ybr[0], 1.0f, 1e-6);
    EXPECT_NEAR(ybr[1], 0.0f, 1e-6);
    EXPECT_NEAR(ybr[2], 0.0f, 1e-6);
}

TEST(Ybr2rgb, NegativeChannelsClampToZero)
{
    const float ybr[3] = {0, 0, 1};
    float rgb[3];
    EXPECT_EQ(ybr2rgb(ybr, rgb), 1);
    EXPECT_FLOAT_EQ(rgb[0], 1.402f);
    EXPECT_EQ(rgb[1], 0.0f);
    EXPECT_EQ(rgb[2], 0.0f);
}

TEST(Ybr2rgb, InvertsRgb2ybr)
{
    const float in[3] = {0.8f, 0.3f, 0.55f};
    float ybr[3], out[3];
    rgb2ybr(in, ybr);
    ybr2rgb(ybr, out);
    for (int k = 0; k < 3; ++k)
        EXPECT_NEAR(out[k], in[k], 2e-4) << k; // 4-5 digit matrices are inverses to ~1e-4
}

TEST(SRGBlin2XYZ, WhiteIsD65AndXYZ2sRGBlinInverts)
{
    const float white[3] = {1, 1, 1};
    float xyz[3], back[3];
    sRGBlin2XYZ(white, xyz);
    EXPECT_NEAR(xyz[0], 0.9505f, 1e-6);
    EXPECT_NEAR(xyz[1], 1.0f, 1e-6);
    EXPECT_NEAR(xyz[2], 1.089f, 1e-6);
    const float c[3] = {0.2f, 0.6f, 0.9f};
    sRGBlin2XYZ(c, xyz);
    XYZ2sRGBlin(xyz, back);
    for (int k = 0; k < 3; ++k)
        EXPECT_NEAR(back[k], c[k], 1e-3) << k; // 4-digit matrices invert each other to ~1e-4
}

TEST(SRGB2XYZ, WhiteIsD50AndDarkValuesAreLinear)
{
    const float white[3] = {1, 1, 1};
    float xyz[3];
    sRGB2XYZ(white, xyz);
    EXPECT_NEAR(xyz[0], 0.9643f, 1e-6);
    EXPECT_NEAR(xyz[1], 1.0f, 1e-6);
    EXPECT_NEAR(xyz[2], 0.8251f, 1e-6);
    // Below 0.04045 the sRGB curve is the straight segment v / 12.92.
    const float dark[3] = {0.04f, 0.04f, 0.04f};
    sRGB2XYZ(dark, xyz);
    EXPECT_NEAR(xyz[1], 0.04 / 12.92, 1e-8);
}

TEST(XYZ2sRGB8, GamutColoursTruncateAndOutliersSaturate)
{
    float xyz[3];
    const float mid[3] = {0.5f, 0.5f, 0.5f};
    sRGBlin2XYZ(mid, xyz);
    uint8_t out[3];
    XYZ2sRGB8(xyz, out);
    // 0.5^0.4545 x 255 = 186.7; the matrix round trip moves it by < 0.1.
    EXPECT_EQ(out[0], 186);
    EXPECT_EQ(out[1], 186);
    EXPECT_EQ(out[2], 186);

    const float big[3] = {4, 4, 4};
    XYZ2sRGB8(big, out);
    EXPECT_EQ(out[1], 255);
    const float neg[3] = {-1, -1, -1};
    XYZ2sRGB8(neg, out);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(out[2], 0);
}

TEST(Kelvin2rgbScaling, DaylightNearD65IsNeutralAndWarmLightCutsRed)
{
    float f[3];
    kelvin2rgbScaling(6500, f);
    for (int k = 0; k < 3; ++k)
        EXPECT_NEAR(f[k], 1.0f, 0.05f) << k; // the locus at 6500 K sits next to the D65 white
    float warm[3];
    kelvin2rgbScaling(3500, warm);
    EXPECT_LT(warm[0], warm[2]);
    float cool[3];
    kelvin2rgbScaling(10000, cool);
    EXPECT_GT(cool[0], cool[2]);
}

TEST(Kelvin2rgbScaling, LocusFormulasMeetAt7000)
{
    float a[3], b[3];
    kelvin2rgbScaling(7000, a);
    kelvin2rgbScaling(7001, b);
    for (int k = 0; k < 3; ++k)
        EXPECT_NEAR(a[k], b[k], 1e-3) << k; // the two fits agree to ~1e-6 in x at 7000 K
    float c[3];
    kelvin2rgbScaling(0, c);
    EXPECT_EQ(c[0], 1.0f);
    EXPECT_EQ(c[2], 1.0f);
}

TEST(Lab2XYZ16, BlackStaysBlackAndMidWhiteIsD50)
{
    std::vector<uint16_t> lab = {0, 1000, 1000, 32768, 32896, 32896, 7, 8};
    // L* = 100 with neutral a, b is the D50 white: X 0.9642, Y 1, Z 0.8249 of 65535.
    EXPECT_EQ(Lab2XYZ_16(8, lab.data()), int(std::strlen("rmax:63189 gmax:65535 bmax:54060\n")));
    EXPECT_EQ(lab, (std::vector<uint16_t>{0, 0, 0, 63189, 65535, 54060, 7, 8}));
}

TEST(Lab2XYZ16, DarkValuesUseTheLinearSegmentAndEmptyCountsAreZero)
{
    // L* = 1 (L = 328): fy^3 is below 0.008856, so Y = L* x 0.001107052 = 72.5 -> 73 of 65535.
    std::vector<uint16_t> lab = {328, 32896, 32896};
    Lab2XYZ_16(3, lab.data());
    EXPECT_EQ(lab[1], 73);
    EXPECT_EQ(Lab2XYZ_16(0, nullptr), int(std::strlen("rmax:0 gmax:0 bmax:0\n")));
    EXPECT_EQ(Lab2XYZ_16(3, nullptr), -3);
}
