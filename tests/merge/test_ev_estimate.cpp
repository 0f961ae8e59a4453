#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "merge/ev_estimate.h"
#include "tests/support/bracket_generator.h"

namespace {

// One photo of width pixels, one row, RGB grey: counts[i] pixels of code values[i].
std::vector<uint8_t> grey_row(const std::vector<std::pair<int, uint8_t>> &runs)
{
    std::vector<uint8_t> s;
    for (auto [count, v] : runs)
        for (int i = 0; i < count; ++i)
            s.insert(s.end(), {v, v, v});
    return s;
}

int key_of(const std::vector<uint8_t> &photo)
{
    int key = -1;
    EXPECT_EQ(
        mediane_images(1, int(photo.size() / 3), 1, int(photo.size()), 3, 8, photo.data(), &key),
        int(photo.size() / 6));
    return key;
}

} // namespace

TEST(MedianeImages, OrdinaryDarkAndBrightKeys)
{
    EXPECT_EQ(key_of(grey_row({{100, 128}})), 128 * 256);
    // Median bin 2: the key is the 95th-percentile bin, unscaled.
    EXPECT_EQ(key_of(grey_row({{96, 2}, {4, 200}})), 2);
    EXPECT_EQ(key_of(grey_row({{94, 2}, {6, 200}})), 200);
    // Median bin 5 is ordinary.
    EXPECT_EQ(key_of(grey_row({{100, 5}})), 5 * 256);
    // Median bin 253 or more: the 17th-percentile bin x 65536.
    EXPECT_EQ(key_of(grey_row({{100, 252}})), 252 * 256);
    EXPECT_EQ(key_of(grey_row({{18, 10}, {82, 255}})), 10 * 65536);
    EXPECT_EQ(key_of(grey_row({{16, 10}, {84, 253}})), 253 * 65536);
    EXPECT_EQ(key_of(grey_row({{30, 0}, {70, 255}})), 0);
}

TEST(MedianeImages, ChannelLayoutsDepthsAndRowPadding)
{
    // Luma of (R, G, B) = (54 R + 183 G + 19 B) >> 8; (0, 200, 0) -> 142.
    const std::vector<uint8_t> rgb = {0, 200, 0, 0, 200, 0};
    int key = 0;
    mediane_images(1, 2, 1, 6, 3, 8, rgb.data(), &key);
    EXPECT_EQ(key, 142 * 256);
    // Four samples read 0, 1, 2; two samples read the first one three times.
    const std::vector<uint8_t> rgba = {0, 200, 0, 255};
    mediane_images(1, 1, 1, 4, 4, 8, rgba.data(), &key);
    EXPECT_EQ(key, 142 * 256);
    const std::vector<uint8_t> ga = {90, 255};
    mediane_images(1, 1, 1, 2, 2, 8, ga.data(), &key);
    EXPECT_EQ(key, 90 * 256);
    // 16 bits: only the high byte counts.
    const std::vector<uint16_t> deep = {0x64FF};
    mediane_images(1, 1, 1, 1, 1, 16, deep.data(), &key);
    EXPECT_EQ(key, 100 * 256);
    // Rows 4 samples long for 1 pixel of 1 sample: padding is skipped; two photos.
    const std::vector<uint8_t> padded = {50,  255, 255, 255, 50,  255, 255, 255,
                                         150, 0,   0,   0,   150, 0,   0,   0};
    int keys[2] = {0, 0};
    EXPECT_EQ(mediane_images(2, 1, 2, 4, 1, 8, padded.data(), keys), 1);
    EXPECT_EQ(keys[0], 50 * 256);
    EXPECT_EQ(keys[1], 150 * 256);
}

TEST(MedianeImages, BadArguments)
{
    const std::vector<uint8_t> p(12, 0);
    int key = 77;
    EXPECT_EQ(mediane_images(0, 2, 2, 3, 1, 8, p.data(), &key), -3);
    EXPECT_EQ(mediane_images(1, 0, 2, 3, 1, 8, p.data(), &key), -3);
    EXPECT_EQ(mediane_images(1, 2, 0, 3, 1, 8, p.data(), &key), -3);
    EXPECT_EQ(mediane_images(1, 2, 2, 1, 1, 8, p.data(), &key), -3); // row shorter than width
    EXPECT_EQ(mediane_images(1, 2, 2, 2, 1, 12, p.data(), &key), -3);
    EXPECT_EQ(mediane_images(1, 2, 2, 2, 1, 8, nullptr, &key), -3);
    EXPECT_EQ(mediane_images(1, 2, 2, 2, 1, 8, p.data(), nullptr), -3);
    EXPECT_EQ(key, 77);
}

TEST(GuessEv, FixedSpacingOnShuffledKeys)
{
    // Brightness ranks: photo 1, 3, 4, 0, 2.
    int keys[5] = {50 * 256, 200 * 256, 10 * 256, 120 * 256, 90 * 256};
    float t[5] = {};
    EXPECT_EQ(guess_ev(0, 5, keys, t, 2.0f), 5);
    EXPECT_EQ(std::vector<float>(t, t + 5), (std::vector<float>{0.25f, 16, 0.0625f, 4, 1}));
}

TEST(GuessEv, FixedSpacingOnRenderedPhotosRecoversTheirExposures)
{
    // Five photos two stops apart, out of order; the middle one (exposure 1) is the anchor.
    const std::vector<float> exposures = {0.25f, 16.0f, 0.0625f, 4.0f, 1.0f};
    const auto map = testsupport::make_radiance_map(120, 40);
    const auto stack = testsupport::render_bracket(map, exposures, 8, 3);
    int keys[5];
    ASSERT_GE(mediane_images(5, 120, 40, 360, 3, 8, stack.data(), keys), 0);
    float t[5] = {};
    EXPECT_EQ(guess_ev(0, 5, keys, t, 2.0f), 5);
    EXPECT_EQ(std::vector<float>(t, t + 5), exposures);
}

TEST(GuessEv, KeyRatioThroughTheFactorTable)
{
    // Midpoint 24576: factor 1.8 + 1536 x 0.5 / 8960; one doubling of the key -> 2^1.8857.
    int keys[2] = {32768, 16384};
    float t[2] = {};
    EXPECT_EQ(guess_ev(0, 2, keys, t, 0.0f), 2);
    EXPECT_NEAR(t[0], 3.69536f, 1e-5); // the value to its printed digits
    EXPECT_EQ(t[1], 1.0f);
}

TEST(GuessEv, EqualKeysRankLowerIndexFirst)
{
    int keys[2] = {30000, 30000};
    float ev[2] = {9, 9};
    EXPECT_EQ(guess_ev(1, 2, keys, ev, 0.0f), 2);
    EXPECT_EQ(keys[0], 0);
    EXPECT_EQ(keys[1], 1);
    EXPECT_EQ(ev[0], 0.0f);
    EXPECT_EQ(ev[1], 0.0f);
}

TEST(GuessEv, OtherModesWriteRankingAndEvInRankOrder)
{
    int keys[3] = {100, 40000, 20000};
    float ev[3] = {};
    EXPECT_EQ(guess_ev(1, 3, keys, ev, 1.5f), 3);
    EXPECT_EQ(std::vector<int>(keys, keys + 3), (std::vector<int>{1, 2, 0}));
    EXPECT_EQ(std::vector<float>(ev, ev + 3), (std::vector<float>{1.5f, 0.0f, -1.5f}));
}

TEST(GuessEv, ZeroKeyCountsAsOne)
{
    int keys[2] = {0, 100 * 256};
    float t[2] = {};
    EXPECT_EQ(guess_ev(0, 2, keys, t, 0.0f), 2);
    EXPECT_EQ(t[0], 1.0f);
    EXPECT_TRUE(std::isfinite(t[1]));
    EXPECT_GT(t[1], 1.0f);
}

TEST(GuessEv, BrightKeysUseTheTopOfTheFactorTable)
{
    // Midpoint 150 x 65536 is far past the table: factor 6, one doubling of the key = 6 EV.
    int keys[2] = {200 * 65536, 100 * 65536};
    float t[2] = {};
    EXPECT_EQ(guess_ev(0, 2, keys, t, 0.0f), 2);
    EXPECT_NEAR(t[0], 64.0f, 64e-6); // q = 1/ln 2 rounded to float: 6 EV to ~1e-7
    EXPECT_EQ(t[1], 1.0f);
}

TEST(GuessEv, BadArgumentsWriteNothing)
{
    int keys[2] = {100, -5};
    float t[2] = {7, 7};
    EXPECT_EQ(guess_ev(0, 2, keys, t, 0.0f), -3);
    EXPECT_EQ(guess_ev(0, 0, keys, t, 0.0f), -3);
    EXPECT_EQ(guess_ev(0, 1, nullptr, t, 0.0f), -3);
    EXPECT_EQ(guess_ev(0, 1, keys, nullptr, 0.0f), -3);
    EXPECT_EQ(t[0], 7.0f);
    EXPECT_EQ(keys[1], -5);
}
