// Brightness keys of photos and the exposures estimated from them.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "merge/ev_estimate.h"

namespace {

// The key of one row of grey RGB pixels: runs of (count, code).
int key_of(const std::vector<std::pair<int, uint8_t>> &runs)
{
    std::vector<uint8_t> s;
    for (auto [count, v] : runs)
        s.insert(s.end(), size_t(count) * 3, v);
    const int w = int(s.size() / 3);
    int key = -1;
    EXPECT_EQ(mediane_images(1, w, 1, w * 3, 3, 8, s.data(), &key), w / 2);
    return key;
}

} // namespace

TEST(MedianeImages, OrdinaryDarkAndBrightKeys)
{
    EXPECT_EQ(key_of({{100, 128}}), 128 * 256);
    EXPECT_EQ(key_of({{100, 5}}), 5 * 256);
    EXPECT_EQ(key_of({{100, 252}}), 252 * 256);
    // Median bin 4 or less: the 95th-percentile bin, unscaled.
    EXPECT_EQ(key_of({{96, 2}, {4, 200}}), 2);
    EXPECT_EQ(key_of({{94, 2}, {6, 200}}), 200);
    // Median bin 253 or more: the 17th-percentile bin x 65536.
    EXPECT_EQ(key_of({{18, 10}, {82, 255}}), 10 * 65536);
    EXPECT_EQ(key_of({{16, 10}, {84, 253}}), 253 * 65536);
    EXPECT_EQ(key_of({{30, 0}, {70, 255}}), 0);
}

TEST(MedianeImages, ChannelLayoutsDepthsRowPaddingAndBadArguments)
{
    // Luma (54 R + 183 G + 19 B) >> 8: (0, 200, 0) -> 142. Four samples read 0, 1, 2; two read
    // the first one three times; 16 bits read the high byte.
    const uint8_t rgba[] = {0, 200, 0, 255}, ga[] = {90, 255};
    const uint16_t deep[] = {0x64FF};
    int key = 0;
    mediane_images(1, 1, 1, 4, 4, 8, rgba, &key);
    EXPECT_EQ(key, 142 * 256);
    mediane_images(1, 1, 1, 2, 2, 8, ga, &key);
    EXPECT_EQ(key, 90 * 256);
    mediane_images(1, 1, 1, 1, 1, 16, deep, &key);
    EXPECT_EQ(key, 100 * 256);
    // Two photos of 1 x 2 pixels in rows of 4 samples: the padding is skipped.
    const uint8_t padded[] = {50, 255, 255, 255, 50, 255, 255, 255, 150, 0, 0, 0, 150, 0, 0, 0};
    int keys[2] = {0, 0};
    EXPECT_EQ(mediane_images(2, 1, 2, 4, 1, 8, padded, keys), 1);
    EXPECT_EQ(keys[0], 50 * 256);
    EXPECT_EQ(keys[1], 150 * 256);
    // Refused (count, width, height, row shorter than the width, depth): nothing written.
    key = 77;
    const int bad[][6] = {{0, 2, 2, 3, 1, 8},
                          {1, 0, 2, 3, 1, 8},
                          {1, 2, 0, 3, 1, 8},
                          {1, 2, 2, 1, 1, 8},
                          {1, 2, 2, 2, 1, 12}};
    for (const auto &a : bad)
        EXPECT_EQ(mediane_images(a[0], a[1], a[2], a[3], a[4], a[5], padded, &key), -3);
    EXPECT_EQ(mediane_images(1, 2, 2, 2, 1, 8, nullptr, &key), -3);
    EXPECT_EQ(mediane_images(1, 2, 2, 2, 1, 8, padded, nullptr), -3);
    EXPECT_EQ(key, 77);
}

TEST(GuessEv, ExposuresFromKeyRatios)
{
    auto exposures = [](int k0, int k1) {
        int keys[2] = {k0, k1};
        std::vector<float> t(2);
        EXPECT_EQ(guess_ev(0, 2, keys, t.data(), 0.0f), 2);
        return t;
    };
    // Midpoint 24576: factor 1.8 + 1536 x 0.5 / 8960; one doubling -> 2^1.8857 (to the value's
    // printed digits).
    std::vector<float> t = exposures(32768, 16384);
    EXPECT_NEAR(t[0], 3.69536f, 1e-5);
    EXPECT_EQ(t[1], 1.0f);
    // Midpoint past the table: its top factor, 6 EV a doubling (1 / ln 2 rounded to float: ~1e-7
    // relative).
    t = exposures(200 * 65536, 100 * 65536);
    EXPECT_NEAR(t[0], 64.0f, 64e-6);
    EXPECT_EQ(t[1], 1.0f);
    // A key of 0 counts as 1 in the ratio: a finite, larger exposure for the brighter photo.
    t = exposures(0, 100 * 256);
    EXPECT_EQ(t[0], 1.0f);
    EXPECT_TRUE(std::isfinite(t[1]) && t[1] > 1.0f);
}

TEST(GuessEv, RankModeAndBadArguments)
{
    // Other modes: photos and EV in rank order, brightest first, ties to the lower index.
    int keys[3] = {100, 40000, 20000}, tied[2] = {30000, 30000};
    float ev[3] = {};
    EXPECT_EQ(guess_ev(1, 3, keys, ev, 1.5f), 3);
    EXPECT_EQ(std::vector<int>(keys, keys + 3), (std::vector<int>{1, 2, 0}));
    EXPECT_EQ(std::vector<float>(ev, ev + 3), (std::vector<float>{1.5f, 0.0f, -1.5f}));
    EXPECT_EQ(guess_ev(1, 2, tied, ev, 0.0f), 2);
    EXPECT_EQ(std::vector<int>(tied, tied + 2), (std::vector<int>{0, 1}));
    // A negative key, no photo, null pointers: nothing written.
    int bad[2] = {100, -5};
    float t[2] = {7, 7};
    EXPECT_EQ(guess_ev(0, 2, bad, t, 0.0f), -3);
    EXPECT_EQ(guess_ev(0, 0, bad, t, 0.0f), -3);
    EXPECT_EQ(guess_ev(0, 1, nullptr, t, 0.0f), -3);
    EXPECT_EQ(guess_ev(0, 1, bad, nullptr, 0.0f), -3);
    EXPECT_EQ(std::vector<float>(t, t + 2), (std::vector<float>{7, 7}));
    EXPECT_EQ(bad[0], 100);
}
