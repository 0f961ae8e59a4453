#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "imagecore/byte_order.h"
#include "imagecore/color.h"
#include "tests/support/fixtures.h"

namespace {

constexpr size_t kLength = 512;

// A profile whose tag table holds a TRC signature at byte at, pointing at a 'curv' tag at
// tagOffset with count entries and the u8Fixed8 bytes b12, b13.
testsupport::Bytes with_curve(uint32_t count, uint8_t b12, uint8_t b13, uint32_t tagOffset = 400,
                              size_t at = 132)
{
    testsupport::Bytes p = testsupport::make_icc_profile(kLength, "test");
    std::memcpy(&p[at], "rTRC", 4);
    imagecore::put_be32(&p[at + 4], tagOffset);
    if (size_t(tagOffset) + 14 <= kLength) {
        std::memcpy(&p[tagOffset], "curv", 4);
        imagecore::put_be32(&p[tagOffset + 8], count);
        p[tagOffset + 12] = b12;
        p[tagOffset + 13] = b13;
    }
    return p;
}

} // namespace

TEST(TrcFromProfile, GammaOfTheFirstCurveOrTheDefault)
{
    auto earlier = with_curve(1, 0x02, 0x33);
    std::memcpy(&earlier[100], "gTRC", 4); // inside the header's reserved area: first in bytes
    imagecore::put_be32(&earlier[104], 300);
    imagecore::put_be32(&earlier[308], 1);
    earlier[312] = 1;
    const uint8_t tiny[12] = {0, 0, 0, 12}; // nothing to scan
    struct Case {
        const char *what;
        testsupport::Bytes profile;
        int result;
        float gamma;
    } const cases[] = {
        {"one entry 02 33", with_curve(1, 0x02, 0x33), 133, 2.19921875f},
        {"sampled curve", with_curve(256, 0x02, 0x33), 133, 2.2f},
        {"first signature wins", earlier, 101, 1.0f},
        {"no curve", testsupport::make_icc_profile(kLength, "test"), int(kLength) - 12, 2.2f},
        {"tag ends 2 bytes past", with_curve(1, 1, 0, kLength - 12), 133, 2.2f},
        {"tag far away", with_curve(1, 1, 0, 0xFFFFFFF8u), 133, 2.2f},
        {"tag ends at the end", with_curve(1, 1, 0x80, kLength - 14), 133, 1.5f},
        {"signature in the last bytes scanned", with_curve(1, 1, 0x80, 200, kLength - 13),
         int(kLength) - 12, 1.5f},
        {"size 12", testsupport::Bytes(tiny, tiny + 12), 0, 2.2f},
    };
    for (const Case &c : cases) {
        float gamma = 0;
        EXPECT_EQ(trc_from_profile(c.profile.data(), c.profile.size(), &gamma), c.result) << c.what;
        EXPECT_EQ(gamma, c.gamma) << c.what;
    }
}

TEST(TrcFromProfile, LengthMismatchLeavesGammaAlone)
{
    const auto p = with_curve(1, 0x02, 0x33);
    float gamma = -7;
    EXPECT_EQ(trc_from_profile(p.data(), p.size() - 1, &gamma), -1);
    EXPECT_EQ(trc_from_profile(p.data(), p.size() + 1, &gamma), -1);
    EXPECT_EQ(trc_from_profile(p.data(), 3, &gamma), -1);
    EXPECT_EQ(trc_from_profile(nullptr, p.size(), &gamma), -1);
    EXPECT_EQ(gamma, -7.0f);
}

// Edge values of the luma/chroma pair; the sRGB matrices' row sums (white points) catch a
// mistyped coefficient; 8-bit output saturates instead of wrapping.
TEST(ColourConversions, WhitePointsEdgeValuesAndSaturation)
{
    const float white[3] = {1, 1, 1}, blueChroma[3] = {0, 0, 1}, in[3] = {0.8f, 0.3f, 0.55f};
    const float mid[3] = {0.5f, 0.5f, 0.5f}, big[3] = {4, 4, 4}, neg[3] = {-1, -1, -1};
    const float dark[3] = {0.04f, 0.04f, 0.04f};
    float ybr[3], rgb[3], d65[3], d50[3], xyz[3];
    uint8_t out[3];
    EXPECT_EQ(rgb2ybr(white, ybr), 1);
    EXPECT_EQ(ybr2rgb(blueChroma, rgb), 1);
    sRGBlin2XYZ(white, d65);
    sRGB2XYZ(white, d50);
    const float yw[3] = {1, 0, 0}, rb[3] = {1.402f, 0, 0};
    const float d65w[3] = {0.9505f, 1.0f, 1.089f}, d50w[3] = {0.9643f, 1.0f, 0.8251f};
    for (int k = 0; k < 3; ++k) {
        // The JFIF and sRGB coefficients sum to 1 and 0 only to their 4 printed digits.
        EXPECT_NEAR(ybr[k], yw[k], 1e-6) << k;
        EXPECT_NEAR(rgb[k], rb[k], 1e-6) << k; // negative green and blue clamped to 0
        EXPECT_NEAR(d65[k], d65w[k], 1e-6) << k;
        EXPECT_NEAR(d50[k], d50w[k], 1e-6) << k;
    }
    float lin[3];
    rgb2ybr(in, ybr);
    ybr2rgb(ybr, rgb);
    sRGBlin2XYZ(in, xyz);
    XYZ2sRGBlin(xyz, lin);
    for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(rgb[k], in[k], 2e-4) << k; // 4-5 digit matrices are inverses to ~1e-4
        EXPECT_NEAR(lin[k], in[k], 1e-3) << k;
    }
    sRGB2XYZ(dark, xyz); // below 0.04045 the curve is v / 12.92
    EXPECT_NEAR(xyz[1], 0.04 / 12.92, 1e-8);

    sRGBlin2XYZ(mid, xyz);
    XYZ2sRGB8(xyz, out);
    // 0.5^0.4545 x 255 = 186.7; the matrix round trip moves it by < 0.1.
    EXPECT_EQ(std::vector<uint8_t>(out, out + 3), std::vector<uint8_t>(3, 186));
    XYZ2sRGB8(big, out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 3), std::vector<uint8_t>(3, 255));
    XYZ2sRGB8(neg, out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 3), std::vector<uint8_t>(3, 0));
}

TEST(Kelvin2rgbScaling, DaylightNearD65IsNeutralAndTheLocusFormulasMeetAt7000)
{
    float f[3], warm[3], cool[3], a[3], b[3], none[3];
    kelvin2rgbScaling(6500, f);
    kelvin2rgbScaling(3500, warm);
    kelvin2rgbScaling(10000, cool);
    kelvin2rgbScaling(7000, a);
    kelvin2rgbScaling(7001, b);
    kelvin2rgbScaling(0, none);
    for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(f[k], 1.0f, 0.05f) << k; // the locus at 6500 K sits next to the D65 white
        EXPECT_NEAR(a[k], b[k], 1e-3) << k;  // the two fits agree to ~1e-6 in x at 7000 K
        EXPECT_EQ(none[k], 1.0f) << k;
    }
    EXPECT_LT(warm[0], warm[2]);
    EXPECT_GT(cool[0], cool[2]);
}

TEST(Lab2XYZ16, BlackStaysBlackWhiteIsD50AndDarkValuesAreLinear)
{
    // L* = 100 with neutral a, b is the D50 white: X 0.9642, Y 1, Z 0.8249 of 65535. L* = 1
    // (L = 328): fy^3 is below 0.008856, so Y = L* x 0.001107052 = 72.5 -> 73.
    std::vector<uint16_t> lab = {0, 1000, 1000, 32768, 32896, 32896, 328, 32896, 32896, 7};
    EXPECT_EQ(Lab2XYZ_16(10, lab.data()), int(std::strlen("rmax:63189 gmax:65535 bmax:54060\n")));
    EXPECT_EQ(std::vector<uint16_t>(lab.begin(), lab.begin() + 6),
              (std::vector<uint16_t>{0, 0, 0, 63189, 65535, 54060}));
    EXPECT_EQ(lab[7], 73);
    EXPECT_EQ(lab[9], 7); // past the last whole triple
    EXPECT_EQ(Lab2XYZ_16(0, nullptr), int(std::strlen("rmax:0 gmax:0 bmax:0\n")));
    EXPECT_EQ(Lab2XYZ_16(3, nullptr), -3);
}
