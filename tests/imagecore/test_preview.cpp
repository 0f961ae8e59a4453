// Previews, pyramid sizes, crops and quarter turns: the sizes and samples the definitions give,
// a scalar reference for the bilinear resampler, round trips of the turns, refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "imagecore/preview.h"
#include "imagecore/rotate.h"
#include "tests/support/patterns.h"

using testsupport::seeded_samples;

namespace {

// 8-bit RGB whose samples name their pixel: R = x, G = y, B = the high bits of both.
std::vector<uint8_t> coordinates(int w, int h)
{
    std::vector<uint8_t> img;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.insert(img.end(), {uint8_t(x), uint8_t(y), uint8_t((x >> 8) | ((y >> 8) << 4))});
    return img;
}
int x_of(const uint8_t *p)
{
    return p[0] | (p[2] & 15) << 8;
}
int y_of(const uint8_t *p)
{
    return p[1] | (p[2] >> 4) << 8;
}

} // namespace

TEST(DownsampleDecimate, SamplesTruncatedSinglePrecisionPositions)
{
    const std::vector<uint8_t> src = coordinates(4000, 3000);
    std::vector<uint8_t> dst(180 * 135 * 3);
    ASSERT_EQ(downsample_decimate(4000, 3000, 180, 135, 3, 3, 8, 8, src.data(), dst.data()), 135);
    const float q = 22.222221f; // 4000 / 180 and 3000 / 135 in single precision
    for (int j = 0; j < 135; ++j)
        for (int i = 0; i < 180; ++i) {
            ASSERT_EQ(x_of(&dst[size_t(j * 180 + i) * 3]), int(float(i) * q));
            ASSERT_EQ(y_of(&dst[size_t(j * 180 + i) * 3]), int(float(j) * q));
        }
    const std::vector<uint16_t> s16(16, 43981);
    EXPECT_EQ(downsample_decimate(4, 4, 2, 2, 1, 1, 16, 8, s16.data(), dst.data()), 2);
    EXPECT_EQ(dst[3], 171); // the high byte
    EXPECT_EQ(downsample_decimate(4, 4, 2, 2, 1, 1, 16, 16, s16.data(), dst.data()), -1);
}

TEST(KvDownsample, MatchesBilinearReference)
{
    const int sw = 37, sh = 23, dw = 16, dh = 11;
    auto check = [&](auto sample, int bps) {
        using T = decltype(sample);
        const auto src = seeded_samples<T>(size_t(sw * sh * 3), uint32_t(bps), 65536);
        std::vector<T> dst(size_t(dw * dh * 3));
        ASSERT_EQ(kv_downsample(sw, sh, sw * 3, dw, dh, dw * 3, 3, bps, src.data(), dst.data()),
                  dh - 1);
        for (int j = 0; j < dh; ++j)
            for (int i = 0; i < dw; ++i)
                for (int c = 0; c < 3; ++c) {
                    // The last column and row repeat their neighbours.
                    const float fx = float(std::min(i, dw - 2)) * (float(sw) / float(dw));
                    const float fy = float(std::min(j, dh - 2)) * (float(sh) / float(dh));
                    const int x = int(fx), y = int(fy);
                    const float dx = fx - float(x), dy = fy - float(y);
                    auto p = [&](int xx, int yy) {
                        return float(src[size_t((yy * sw + xx) * 3 + c)]);
                    };
                    const float v = p(x, y) * (1 - dx) * (1 - dy) + p(x + 1, y) * dx * (1 - dy) +
                                    p(x, y + 1) * (1 - dx) * dy + p(x + 1, y + 1) * dx * dy;
                    ASSERT_EQ(dst[size_t((j * dw + i) * 3 + c)], T(v))
                        << bps << ": " << i << "," << j;
                }
    };
    check(uint8_t{}, 8);
    check(uint16_t{}, 16);
}

TEST(KvDownsample, SmallTargetsEnlargingAndBlackRgbe)
{
    const auto src = seeded_samples<uint8_t>(9 * 7 * 3, 3);
    // A target side below 2 has no interpolated row: nothing is written (no column -1).
    std::vector<uint8_t> dst(20 * 20 * 3, 77);
    EXPECT_EQ(kv_downsample(9, 7, 27, 9, 1, 27, 3, 8, src.data(), dst.data()), 0);
    EXPECT_EQ(kv_downsample(9, 7, 27, 1, 5, 3, 3, 8, src.data(), dst.data()), 0);
    EXPECT_EQ(dst, std::vector<uint8_t>(dst.size(), 77));
    EXPECT_EQ(kv_downsample(9, 7, 27, 20, 20, 60, 3, 8, src.data(), dst.data()), 19);
    EXPECT_EQ(kv_downsample(9, 7, 26, 5, 5, 15, 3, 8, src.data(), dst.data()), -3);
    // Two samples a pixel: both are interpolated and nothing else is written (a third channel
    // at offset 2 would be the next pixel's first sample, past the buffer at the last pixel).
    const auto two = seeded_samples<uint8_t>(9 * 7 * 2, 4);
    std::vector<uint8_t> halved(4 * 3 * 2);
    ASSERT_EQ(kv_downsample(9, 7, 18, 4, 3, 8, 2, 8, two.data(), halved.data()), 2);
    for (int i = 0; i < 2; ++i) { // pixel (i, 0): source column 2.25 i, row 0
        const int x = int(float(i) * 2.25f);
        const float dx = float(i) * 2.25f - float(x);
        for (int c = 0; c < 2; ++c)
            EXPECT_EQ(halved[size_t(2 * i + c)], int(float(two[size_t(2 * x + c)]) * (1 - dx) +
                                                     float(two[size_t(2 * x + 2 + c)]) * dx))
                << i << " " << c;
    }
    EXPECT_EQ(halved[6] * 256 + halved[7], halved[4] * 256 + halved[5]); // the last column
    const std::vector<uint8_t> black(8 * 6 * 4, 0);
    EXPECT_EQ(kv_downsample(8, 6, 0, 4, 3, 0, 3, 32, black.data(), dst.data()), 2);
    EXPECT_TRUE(std::all_of(dst.begin(), dst.begin() + 48, [](uint8_t b) { return b == 0; }));
}

TEST(ExtractBasepreview, HalvesToTheAskedSizeOrRefuses)
{
    const std::vector<uint8_t> src = coordinates(1000, 667);
    std::vector<uint8_t> dst(250 * 167 * 3);
    ASSERT_EQ(
        extract_basepreview(8, 1000, 667, 3, 3000, 250, 167, 0, src.data(), nullptr, dst.data()),
        167);
    for (int j = 0; j < 167; ++j)
        for (int i = 0; i < 250; ++i) {
            ASSERT_EQ(x_of(&dst[size_t(j * 250 + i) * 3]), 4 * i);
            ASSERT_EQ(y_of(&dst[size_t(j * 250 + i) * 3]), 4 * j);
        }
    // No halving gives 250 x 166; sides of 4 or less (0 included: no logarithm) are refused.
    for (auto [iw, ih, ow, oh, code] : {std::array{1000, 667, 250, 166, -5},
                                        {4, 667, 250, 167, -1},
                                        {1000, 667, 250, 4, -1},
                                        {0, 0, 250, 167, -1}})
        EXPECT_EQ(
            extract_basepreview(8, iw, ih, 3, 3000, ow, oh, 0, src.data(), nullptr, dst.data()),
            code);
}

TEST(PyramLen, LevelCountsAndTotals)
{
    for (auto [w, h, levels, len] : std::vector<std::array<int, 4>>{{8, 8, 2, 84},
                                                                    {3, 100, 0, 300},
                                                                    {1, 1000, -1, 1000},
                                                                    {0, 7, -1, 0},
                                                                    {800, 533, 8, 568989},
                                                                    {8192, 8192, 12, 89478484},
                                                                    {-3, 5, -1, -1},
                                                                    {46341, 46341, 14, -1}}) {
        EXPECT_EQ(pyram_levels(w, h), levels) << w << "x" << h;
        EXPECT_EQ(pyram_len(w, h), len) << w << "x" << h;
    }
}

TEST(LevelForTargetDim, FollowsTheLargerSide)
{
    for (auto [target, w, h, level, ow, oh] :
         std::vector<std::array<int, 6>>{{120, 100, 200, 0, 100, 200},
                                         {300, 400, 100, 0, 400, 100},
                                         {100, 800, 600, 2, 200, 150},
                                         {190, 800, 600, 1, 400, 300}, // the side before is nearer
                                         {300, 800, 600, 1, 400, 300}, // 100 either side: a tie
                                         {1, 40, 30, 5, 3, 2},         // capped at log2 of 35
                                         {100, 0, 600, -3, -1, -1}}) {
        int gw = -1, gh = -1;
        EXPECT_EQ(levelForTargetDim(target, w, h, &gw, &gh), level) << target;
        EXPECT_EQ(gw, ow) << target;
        EXPECT_EQ(gh, oh) << target;
    }
}

TEST(ExtractCrop, CopiesInsideRectanglesAndRefusesOthers)
{
    const std::vector<uint8_t> src = coordinates(20, 12);
    std::vector<uint8_t> dst(6 * 5 * 3, 0);
    ASSERT_EQ(extract_crop(1, 20, 12, 3, 60, 8, 6, 5, 14, 7, src.data(), dst.data()), 5);
    for (int i = 0; i < 30; ++i)
        EXPECT_EQ(x_of(&dst[size_t(i) * 3]) * 100 + y_of(&dst[size_t(i) * 3]),
                  (14 + i % 6) * 100 + 7 + i / 6);
    // Every rectangle that leaves the source is refused, not only a bad top-left corner.
    std::fill(dst.begin(), dst.end(), 0);
    for (auto [x0, y0] : {std::pair{20, 0}, {0, 12}, {15, 0}, {0, 8}, {-1, 0}})
        EXPECT_EQ(extract_crop(1, 20, 12, 3, 60, 8, 6, 5, x0, y0, src.data(), dst.data()), -2);
    EXPECT_EQ(extract_crop(1, 4, 12, 3, 60, 8, 6, 5, 0, 0, src.data(), dst.data()), -1);
    EXPECT_EQ(dst, std::vector<uint8_t>(dst.size(), 0));
    // A 16-bit stack of two photos: each photo's rectangle in turn, high bytes.
    const auto stack = seeded_samples<uint16_t>(2 * 20 * 12, 9, 65536);
    std::vector<uint8_t> both(2 * 5 * 5);
    ASSERT_EQ(extract_crop(2, 20, 12, 1, 20, 16, 5, 5, 3, 6, stack.data(), both.data()), 11);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(both[size_t(i)],
                  stack[size_t(i / 25 * 240 + (6 + i % 25 / 5) * 20 + 3 + i % 5)] >> 8);
}

TEST(Rotate, ThreeByTwoExampleForBothCodes)
{
    // P1 P2 P3 / P4 P5 P6, pixel n = (n, 10 n, 100 + n).
    auto pixels = [](std::vector<int> order) {
        std::vector<uint8_t> img;
        for (int n : order)
            img.insert(img.end(), {uint8_t(n), uint8_t(10 * n), uint8_t(100 + n)});
        return img;
    };
    const std::vector<uint8_t> src = pixels({1, 2, 3, 4, 5, 6});
    std::vector<uint8_t> cw(18), ccw(18), m90(18), none(18, 5);
    ASSERT_EQ(rotate_8bit(6, 3, 2, 3, src.data(), cw.data()), 3);
    ASSERT_EQ(rotate_8bit(5, 3, 2, 3, src.data(), ccw.data()), 3);
    ASSERT_EQ(kv_rotate(-90, 3, 2, 3, 8, src.data(), m90.data()), 3);
    EXPECT_EQ(cw, pixels({4, 1, 5, 2, 6, 3}));
    EXPECT_EQ(ccw, pixels({3, 6, 2, 5, 1, 4}));
    EXPECT_EQ(m90, ccw); // -90 is 270
    EXPECT_EQ(rotate_8bit(6, 0, 2, 3, src.data(), none.data()), 0);
    EXPECT_EQ(rotate_8bit(3, 3, 2, 3, src.data(), none.data()), -3);
    EXPECT_EQ(none, std::vector<uint8_t>(18, 5));
}

TEST(Rotate, FourQuarterTurnsAreIdentity)
{
    auto spin = [](auto src, int angle, int bps, int w, int h) {
        auto tmp = src;
        for (int turn = 0; turn < 4; ++turn, std::swap(w, h)) {
            EXPECT_EQ(kv_rotate(angle, w, h, 3, bps, src.data(), tmp.data()), w);
            std::swap(src, tmp);
        }
        return src;
    };
    const auto s8 = seeded_samples<uint8_t>(7 * 4 * 3, 6),
               rgbe = seeded_samples<uint8_t>(7 * 4 * 4, 8);
    const auto s16 = seeded_samples<uint16_t>(7 * 4 * 3, 7, 65536);
    for (int angle : {90, 270}) {
        EXPECT_EQ(spin(s8, angle, 8, 7, 4), s8);
        EXPECT_EQ(spin(s16, angle, 16, 7, 4), s16);
        EXPECT_EQ(spin(rgbe, angle, 32, 7, 4), rgbe);
    }
    // One clockwise turn of an rgbeBuf: destination (j, k) is source (k, h - 1 - j), per plane.
    std::vector<uint8_t> cw(rgbe.size());
    ASSERT_EQ(kv_rotate(90, 7, 4, 3, 32, rgbe.data(), cw.data()), 7);
    for (int i = 0; i < 7 * 4 * 4; ++i) // i = (k x 4 + plane) x 4 + j
        EXPECT_EQ(cw[size_t(i)], rgbe[size_t((3 - i % 4) * 28 + i % 16 / 4 * 7 + i / 16)]);
}
