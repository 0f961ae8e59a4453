// rgbeBuf conversion of photos and the HSL conversions.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tonemap/tm_color.h"

namespace {

// Identity curves: a sample's linear value is the sample itself, so expected bytes are exact.
struct Curves {
    std::vector<float> linear8 = std::vector<float>(256);
    std::vector<float> linear16 = std::vector<float>(65536);
    Curves()
    {
        for (int i = 0; i < 256; ++i)
            linear8[size_t(i)] = float(i);
        for (int i = 0; i < 65536; ++i)
            linear16[size_t(i)] = float(i);
    }
};

// The four bytes of pixel x of an rgbeBuf row of width w.
std::vector<int> pixel(const std::vector<uint8_t> &rgbe, int w, int y, int x)
{
    const uint8_t *row = rgbe.data() + size_t(y) * 4 * size_t(w);
    return {row[x], row[x + w], row[x + 2 * w], row[x + 3 * w]};
}

} // namespace

TEST(ConvertToRgbe, MidRangeDarkAndSaturatedPixels)
{
    Curves c;
    // One row: a colour, a dark pixel, a saturated pixel, a grey.
    const uint8_t src[] = {100, 50, 25, 2, 2, 2, 255, 255, 255, 60, 60, 60};
    std::vector<uint8_t> out(4 * 4, 0xAB);
    ASSERT_EQ(convert_to_rgbe(8, 4, 1, 3, 12, 0, c.linear8.data(), src, out.data()), 1);
    // 100 = 0.78125 x 2^7: mantissas x 2, exponent 7 + 128.
    EXPECT_EQ(pixel(out, 4, 0, 0), (std::vector<int>{200, 100, 50, 135}));
    EXPECT_EQ(pixel(out, 4, 0, 3), (std::vector<int>{240, 240, 240, 134}));
    // Dark: the grey of the smallest 0.3 R + 0.6 G + 0.1 B, 60 = 240 x 2^-2.
    EXPECT_EQ(pixel(out, 4, 0, 1), (std::vector<int>{240, 240, 240, 134}));
    // Saturated: the grey of the largest, 62.5 = 250 x 2^-2.
    EXPECT_EQ(pixel(out, 4, 0, 2), (std::vector<int>{250, 250, 250, 134}));
}

TEST(ConvertToRgbe, RowsArePlanarAndStrideIsHonoured)
{
    Curves c;
    // 2 x 2 pixels, rows of 8 samples (2 padding samples that must not be read as pixels).
    const uint8_t src[] = {64, 64, 64, 32, 32, 32, 1, 1, 128, 128, 128, 16, 16, 16, 255, 255};
    std::vector<uint8_t> out(2 * 2 * 4);
    ASSERT_EQ(convert_to_rgbe(8, 2, 2, 3, 8, 0, c.linear8.data(), src, out.data()), 2);
    EXPECT_EQ(pixel(out, 2, 0, 0), (std::vector<int>{128, 128, 128, 135})); // 64
    EXPECT_EQ(pixel(out, 2, 0, 1), (std::vector<int>{128, 128, 128, 134})); // 32
    EXPECT_EQ(pixel(out, 2, 1, 0), (std::vector<int>{128, 128, 128, 136})); // 128
    EXPECT_EQ(pixel(out, 2, 1, 1), (std::vector<int>{128, 128, 128, 133})); // 16
}

TEST(ConvertToRgbe, SixteenBitPixelsAreClassifiedByTheirHighBytes)
{
    Curves c;
    // 0x04FF has high byte 4: dark, although its value is far from black.
    const uint16_t src[] = {0x04FF, 0x04FF, 0x04FF, 0x4000, 0x2000, 0x1000};
    std::vector<uint8_t> out(2 * 4);
    ASSERT_EQ(convert_to_rgbe(16, 2, 1, 3, 6, 0, c.linear16.data(), src, out.data()), 1);
    // 16384 = 0.5 x 2^15: mantissas 128, 64, 32.
    EXPECT_EQ(pixel(out, 2, 0, 1), (std::vector<int>{128, 64, 32, 143}));
    // Dark -> grey of 0.3 x 16384 + 0.6 x 8192 + 0.1 x 4096 = 10240 = 0.625 x 2^14.
    EXPECT_EQ(pixel(out, 2, 0, 0), (std::vector<int>{160, 160, 160, 142}));
}

TEST(ConvertToRgbe, SwapReadsBlueGreenRed)
{
    Curves c;
    const uint8_t bgr[] = {25, 50, 100};
    std::vector<uint8_t> out(4);
    ASSERT_EQ(convert_to_rgbe(8, 1, 1, 3, 3, 1, c.linear8.data(), bgr, out.data()), 1);
    EXPECT_EQ(pixel(out, 1, 0, 0), (std::vector<int>{200, 100, 50, 135}));
    // Four samples a pixel: red, green, blue at 0, 1, 3.
    const uint8_t rgba[] = {100, 50, 7, 25};
    ASSERT_EQ(convert_to_rgbe(8, 1, 1, 4, 4, 0, c.linear8.data(), rgba, out.data()), 1);
    EXPECT_EQ(pixel(out, 1, 0, 0), (std::vector<int>{200, 100, 50, 135}));
}

TEST(ConvertToRgbe, NoMidRangePixelGivesBlackAndTheCurveTop)
{
    Curves c;
    // Only dark and saturated pixels: no smallest or largest value to borrow.
    const uint8_t src[] = {0, 0, 0, 255, 255, 255, 3, 3, 3};
    std::vector<uint8_t> out(3 * 4, 0xAB);
    ASSERT_EQ(convert_to_rgbe(8, 3, 1, 3, 9, 0, c.linear8.data(), src, out.data()), 1);
    EXPECT_EQ(pixel(out, 3, 0, 0), (std::vector<int>{0, 0, 0, 0}));
    EXPECT_EQ(pixel(out, 3, 0, 2), (std::vector<int>{0, 0, 0, 0}));
    // 255 = 0.99609375 x 2^8.
    EXPECT_EQ(pixel(out, 3, 0, 1), (std::vector<int>{255, 255, 255, 136}));
}

TEST(ConvertToRgbe, RefusedArgumentsWriteNothing)
{
    Curves c;
    const uint8_t src[12] = {100, 100, 100};
    std::vector<uint8_t> out(16, 0xAB);
    EXPECT_EQ(convert_to_rgbe(12, 1, 1, 3, 3, 0, c.linear8.data(), src, out.data()), 0);
    EXPECT_EQ(convert_to_rgbe(32, 1, 1, 3, 3, 0, c.linear8.data(), src, out.data()), 0);
    EXPECT_EQ(convert_to_rgbe(8, 1, 0, 3, 3, 0, c.linear8.data(), src, out.data()), 0);
    EXPECT_EQ(convert_to_rgbe(8, 0, 1, 3, 3, 0, c.linear8.data(), src, out.data()), 0);
    EXPECT_EQ(convert_to_rgbe(8, 1, 1, 0, 3, 0, c.linear8.data(), src, out.data()), 0);
    EXPECT_EQ(convert_to_rgbe(8, 2, 2, 3, 5, 0, c.linear8.data(), src, out.data()), 0);
    for (uint8_t b : out)
        EXPECT_EQ(b, 0xAB);
}

TEST(Rgb2hslNorm, PrimariesAndGrey)
{
    float hsl[3];
    const float red[3] = {1, 0, 0}, green[3] = {0, 1, 0}, blue[3] = {0, 0, 1};
    EXPECT_EQ(rgb2hsl_norm(red, hsl), 1);
    EXPECT_EQ(hsl[0], 0.0f);
    EXPECT_EQ(hsl[1], 1.0f);
    EXPECT_EQ(hsl[2], 0.5f);
    rgb2hsl_norm(green, hsl);
    EXPECT_FLOAT_EQ(hsl[0], 1.0f / 3.0f);
    rgb2hsl_norm(blue, hsl);
    EXPECT_FLOAT_EQ(hsl[0], 2.0f / 3.0f);
    const float grey[3] = {0.3f, 0.3f, 0.3f};
    rgb2hsl_norm(grey, hsl);
    EXPECT_EQ(hsl[0], 0.0f);
    EXPECT_EQ(hsl[1], 0.0f);
    EXPECT_EQ(hsl[2], 0.3f);
    // Magenta: hue below 0 before the wrap.
    const float magenta[3] = {1, 0, 0.5f};
    rgb2hsl_norm(magenta, hsl);
    EXPECT_FLOAT_EQ(hsl[0], 1.0f - 1.0f / 12.0f);
    // Lightness above one half uses the other saturation formula: (1 - 0.5) / (2 - 1 - 0.5).
    const float pink[3] = {1, 0.5f, 0.5f};
    rgb2hsl_norm(pink, hsl);
    EXPECT_FLOAT_EQ(hsl[1], 1.0f);
    EXPECT_FLOAT_EQ(hsl[2], 0.75f);
}

TEST(Hsl2rgbNorm, RoundTripsOverAColourGrid)
{
    for (int r = 0; r <= 10; ++r)
        for (int g = 0; g <= 10; ++g)
            for (int b = 0; b <= 10; ++b) {
                const float rgb[3] = {r / 10.0f, g / 10.0f, b / 10.0f};
                float hsl[3], back[3];
                rgb2hsl_norm(rgb, hsl);
                EXPECT_GE(hsl[0], 0.0f);
                EXPECT_LE(hsl[0], 1.0f);
                EXPECT_EQ(hsl2rgb_norm(hsl, back), 1);
                // Single-precision conversions both ways plus the 1/3 constants of the hue
                // shifts (rounded to 12-13 digits): a few float ulps of a unit value.
                for (int k = 0; k < 3; ++k)
                    EXPECT_NEAR(back[k], rgb[k], 2e-6f) << r << " " << g << " " << b;
            }
}

TEST(Hsl2rgbNorm, RedBackFromItsHsl)
{
    const float hsl[3] = {0, 1, 0.5f};
    float rgb[3];
    hsl2rgb_norm(hsl, rgb);
    EXPECT_EQ(rgb[0], 1.0f);
    EXPECT_EQ(rgb[1], 0.0f);
    EXPECT_NEAR(rgb[2], 0.0f, 1e-6f); // blue lands on the hue2rgb segment edge 2/3
}

TEST(Rgb2hsl, ScaleDividesAndSmallScaleWritesNothing)
{
    const float rgb[3] = {255, 127.5f, 0};
    float hsl[3] = {-1, -1, -1};
    rgb2hsl(rgb, hsl, 0.5f);
    EXPECT_EQ(hsl[0], -1.0f);
    EXPECT_EQ(hsl[1], -1.0f);
    EXPECT_EQ(hsl[2], -1.0f);
    rgb2hsl(rgb, hsl, 255);
    EXPECT_FLOAT_EQ(hsl[0], 1.0f / 12.0f);
    EXPECT_FLOAT_EQ(hsl[1], 1.0f);
    EXPECT_FLOAT_EQ(hsl[2], 0.5f);
}

TEST(Hsl2rgb, GreyScalesLightness)
{
    const float hsl[3] = {0.4f, 0, 0.25f};
    float rgb[3];
    hsl2rgb(hsl, rgb, 65535);
    for (float v : rgb)
        EXPECT_EQ(v, 0.25f * 65535);
    const float red[3] = {0, 1, 0.5f};
    hsl2rgb(red, rgb, 255);
    EXPECT_EQ(rgb[0], 255.0f);
    EXPECT_EQ(rgb[1], 0.0f);
}

TEST(Hue2rgb, FourSegmentsAndWrap)
{
    // p = 0.2, q = 0.8: rising, flat at q, falling, flat at p.
    EXPECT_FLOAT_EQ(hue2rgb(0.2f, 0.8f, 0.1f), 0.56f);
    EXPECT_FLOAT_EQ(hue2rgb(0.2f, 0.8f, 0.3f), 0.8f);
    EXPECT_FLOAT_EQ(hue2rgb(0.2f, 0.8f, 0.6f), 0.44f);
    EXPECT_FLOAT_EQ(hue2rgb(0.2f, 0.8f, 0.9f), 0.2f);
    EXPECT_FLOAT_EQ(hue2rgb(0.2f, 0.8f, -0.9f), 0.56f);
    EXPECT_FLOAT_EQ(hue2rgb(0.2f, 0.8f, 1.3f), 0.8f);
}
