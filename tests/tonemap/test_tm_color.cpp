// rgbeBuf conversion of photos and the HSL conversions.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "tonemap/tm_color.h"

namespace {

using Px = std::vector<std::vector<int>>;

// Identity curve (8-bit samples read its start): expected bytes are exact.
const std::vector<float> kIdentity = [] {
    std::vector<float> c(65536);
    std::iota(c.begin(), c.end(), 0.0f);
    return c;
}();

// convert_to_rgbe into pixels preset to 0xAB (one row of w when refused); their four bytes.
Px convert(int bits, int w, int h, int spp, int rowLength, int swap, const void *src,
           bool refused = false)
{
    const int s = refused ? 1 : w;
    std::vector<uint8_t> out(size_t(s) * size_t(refused ? 1 : h) * 4, 0xAB);
    EXPECT_EQ(convert_to_rgbe(bits, w, h, spp, rowLength, swap, kIdentity.data(), src, out.data()),
              refused ? 0 : h);
    Px px;
    for (size_t i = 0; i < out.size() / 4; ++i) {
        const uint8_t *p = out.data() + i / size_t(s) * 4 * size_t(s) + i % size_t(s);
        px.push_back({p[0], p[s], p[2 * s], p[3 * s]});
    }
    return px;
}

} // namespace

TEST(ConvertToRgbe, MidRangeDarkAndSaturatedPixels)
{
    // A colour, a dark pixel, a saturated pixel, a grey; then 2 padding samples per row of 14.
    const uint8_t src[] = {100, 50, 25, 2,  2,  2,  255, 255, 255, 60, 60, 60, 9, 9,
                           64,  64, 64, 32, 32, 32, 128, 128, 128, 16, 16, 16, 9, 9};
    // 100 = 0.78125 x 2^7: mantissas x 2, exponent 7 + 128. Dark: the grey of the smallest
    // 0.3 R + 0.6 G + 0.1 B, saturated: of the largest; the weights' sum falls short of 1 in
    // binary, so greys of 16 and 128 come out as 15.99... and 127.99...
    EXPECT_EQ(convert(8, 4, 2, 3, 14, 0, src), (Px{{200, 100, 50, 135},
                                                   {255, 255, 255, 132},
                                                   {255, 255, 255, 135},
                                                   {240, 240, 240, 134},
                                                   {128, 128, 128, 135},
                                                   {128, 128, 128, 134},
                                                   {128, 128, 128, 136},
                                                   {128, 128, 128, 133}}));
    // No mid-range pixel, no extreme to borrow: black stays black (no 0 / 0 greys), saturated
    // pixels take the curve's top, 255 = 0.99609375 x 2^8.
    const uint8_t extremes[] = {0, 0, 0, 255, 255, 255, 3, 3, 3};
    EXPECT_EQ(convert(8, 3, 1, 3, 9, 0, extremes),
              (Px{{0, 0, 0, 0}, {255, 255, 255, 136}, {0, 0, 0, 0}}));
}

TEST(ConvertToRgbe, SixteenBitsSwappedAndFourSampleLayouts)
{
    // 0x04FF has high byte 4: dark, although its value is far from black. Its grey is
    // 0.3 x 16384 + 0.6 x 8192 + 0.1 x 4096 = 10240 = 0.625 x 2^14.
    const uint16_t deep[] = {0x04FF, 0x04FF, 0x04FF, 0x4000, 0x2000, 0x1000};
    EXPECT_EQ(convert(16, 2, 1, 3, 6, 0, deep), (Px{{160, 160, 160, 142}, {128, 64, 32, 143}}));
    // Swapped: blue, green, red. Four samples: red, green, blue at 0, 1, 3.
    const uint8_t bgr[] = {25, 50, 100}, rgba[] = {100, 50, 7, 25};
    EXPECT_EQ(convert(8, 1, 1, 3, 3, 1, bgr), (Px{{200, 100, 50, 135}}));
    EXPECT_EQ(convert(8, 1, 1, 4, 4, 0, rgba), (Px{{200, 100, 50, 135}}));
}

TEST(ConvertToRgbe, RefusedArgumentsWriteNothing)
{
    // Depths 12 and 32, no rows, no columns, no samples, rows shorter than w x spp.
    const uint8_t src[12] = {100, 100, 100};
    const int bad[][5] = {{12, 1, 1, 3, 3}, {32, 1, 1, 3, 3}, {8, 1, 0, 3, 3},
                          {8, 0, 1, 3, 3},  {8, 1, 1, 0, 3},  {8, 2, 2, 3, 5}};
    for (const auto &a : bad)
        EXPECT_EQ(convert(a[0], a[1], a[2], a[3], a[4], 0, src, true), (Px{{171, 171, 171, 171}}))
            << a[0] << " " << a[1] << " " << a[2] << " " << a[3] << " " << a[4];
}

TEST(Rgb2hslNorm, PrimariesAndRoundTrips)
{
    float hsl[3], rgb[3];
    const float red[3] = {1, 0, 0}, green[3] = {0, 1, 0}, pink[3] = {1, 0.5f, 0.5f};
    EXPECT_EQ(rgb2hsl_norm(red, hsl), 1);
    EXPECT_EQ(std::vector<float>(hsl, hsl + 3), (std::vector<float>{0, 1, 0.5f}));
    EXPECT_EQ(hsl2rgb_norm(hsl, rgb), 1);
    EXPECT_EQ(rgb[0], 1.0f);
    EXPECT_EQ(rgb[1], 0.0f);
    EXPECT_NEAR(rgb[2], 0.0f, 1e-6f); // blue lands on the hue2rgb segment edge 2/3
    rgb2hsl_norm(green, hsl);
    EXPECT_FLOAT_EQ(hsl[0], 1.0f / 3.0f);
    // On a scale: 255 is 1; a scale below 1 writes nothing.
    const float orange[3] = {255, 127.5f, 0};
    rgb2hsl(orange, hsl, 255);
    EXPECT_FLOAT_EQ(hsl[0], 1.0f / 12.0f);
    hsl[0] = -1;
    rgb2hsl(orange, hsl, 0.5f);
    EXPECT_EQ(hsl[0], -1.0f);
    hsl2rgb(std::vector<float>{0, 1, 0.5f}.data(), rgb, 255);
    EXPECT_EQ(rgb[0], 255.0f);
    // Lightness above one half takes the other saturation formula: (1 - 0.5) / (2 - 1 - 0.5).
    rgb2hsl_norm(pink, hsl);
    EXPECT_FLOAT_EQ(hsl[1], 1.0f);
    EXPECT_FLOAT_EQ(hsl[2], 0.75f);
    for (int i = 0; i < 11 * 11 * 11; ++i) {
        const float c[3] = {float(i % 11) / 10, float(i / 11 % 11) / 10, float(i / 121) / 10};
        rgb2hsl_norm(c, hsl);
        EXPECT_TRUE(hsl[0] >= 0 && hsl[0] <= 1) << i;
        hsl2rgb_norm(hsl, rgb);
        // Single-precision conversions both ways plus the 1/3 hue shifts rounded to 12-13
        // digits: a few float ulps of a unit value.
        for (int k = 0; k < 3; ++k)
            EXPECT_NEAR(rgb[k], c[k], 2e-6f) << i;
    }
}
