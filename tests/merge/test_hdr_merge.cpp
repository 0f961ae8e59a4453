// The merge kernel: pixel encoding, markers and clean-up, saturation levels, radiance recovered
// from rendered brackets, the generic layouts, the exposure estimate and refused arguments.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "imagecore/pixel_buffers.h"
#include "merge/hdr_merge.h"
#include "tests/support/bracket_generator.h"
#include "tonemap/tm_params.h"

namespace {

using Quad = std::array<uint8_t, 4>;
const float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Merged {
    int result = 0;
    std::vector<uint8_t> rgbe;
    std::array<float, 3> stats{};
    std::vector<float> exposures;

    Quad at(int w, int x, int y) const
    {
        const size_t i = size_t(4) * size_t(w) * size_t(y) + size_t(x), s = size_t(w);
        return {rgbe[i], rgbe[i + s], rgbe[i + 2 * s], rgbe[i + 3 * s]};
    }
    std::array<float, 3> decode(int w, int x, int y) const
    {
        float table[256];
        exp_lut(table, -8);
        std::array<float, 3> rgb{};
        rgbe2float(rgbe.data(), table, w, 2 * w, 3 * w, 4 * w * y + x, rgb.data());
        return rgb;
    }
};

// The kernel with its own gamma 2.2.
Merged run_merge(const std::vector<uint8_t> &stack, int n, int w, int h, int spp, int bps,
                 std::vector<float> exposures, float evSpacing = -1.0f, int cleanup = 0)
{
    Merged m;
    m.rgbe.assign(size_t(w) * size_t(h) * 4, 0xAB);
    std::vector<float> lut(size_t(1) << bps);
    exposures.resize(size_t(n), 1.0f);
    m.result = kv_hdr_merge(nullptr, cleanup, n, w, h, spp, bps, 0, lut.data(), exposures.data(),
                            stack.data(), m.stats.data(), m.rgbe.data(), evSpacing);
    m.exposures = exposures;
    return m;
}

// photos[k] holds one grey code a pixel, expanded to RGB.
std::vector<uint8_t> grey_photos(const std::vector<std::vector<uint8_t>> &photos)
{
    std::vector<uint8_t> s;
    for (const auto &p : photos)
        for (uint8_t v : p)
            s.insert(s.end(), {v, v, v});
    return s;
}

} // namespace

TEST(EncodeRgbe, KnownPixelsThresholdsAndDecoding)
{
    auto quad = [](float r, float g, float b) {
        const merge::Rgbe c = merge::encode_rgbe(r, g, b);
        return Quad({c.r, c.g, c.b, c.e});
    };
    Merged one;
    one.rgbe.assign({128, 64, 32, 129});
    EXPECT_EQ(quad(1.0f, 0.5f, 0.25f), Quad({128, 64, 32, 129}));
    EXPECT_EQ(one.decode(1, 0, 0), (std::array<float, 3>{1.0f, 0.5f, 0.25f}));
    EXPECT_EQ(quad(1e-33f, 0, 9.9e-33f), Quad({0, 0, 0, 0})); // at or below 1e-32
    EXPECT_EQ(quad(kNaN, kNaN, kNaN), Quad({0, 0, 0, 0}));
    EXPECT_EQ(quad(1e9f, 1, 1), Quad({255, 255, 255, 255}));     // the marker
    EXPECT_EQ(quad(999999936.0f, 0, 0), Quad({238, 0, 0, 158})); // the largest float below it
}

TEST(KvHdrMerge, CleanUpReplacesMarkersByGreyAtTheExtremes)
{
    // Clipped everywhere: markers, no pixel in the statistics; the grey of a largest luminance
    // of 0 has no exponent to scale by.
    const std::vector<uint8_t> white(2 * 2 * 3, 255);
    const Merged kept = run_merge(white, 1, 2, 2, 3, 8, {1}, -1, 2);
    ASSERT_EQ(kept.result, 2);
    EXPECT_EQ(kept.rgbe, std::vector<uint8_t>(16, 255));
    EXPECT_EQ(kept.stats, (std::array<float, 3>{1e9f * 256.0f, 0.0f, 0.0f}));
    EXPECT_EQ(run_merge(white, 1, 2, 2, 3, 8, {1}).at(2, 1, 1), Quad({0, 0, 0, 128}));
    // Black everywhere: the smallest positive luminance keeps its start value 1e9.
    const std::vector<uint8_t> black(3 * 3 * 2, 0);
    EXPECT_EQ(run_merge(black, 2, 3, 1, 3, 8, {1, 2}, -1, 2).rgbe, std::vector<uint8_t>(12, 0));
    EXPECT_EQ(run_merge(black, 2, 3, 1, 3, 8, {1, 2}).at(3, 2, 0), Quad({238, 238, 238, 158}));

    // Black, dark, bright and clipped pixels: ordinary pixels are left alone.
    const std::vector<uint8_t> mixed = grey_photos({{0, 60, 200, 255}});
    const Merged raw = run_merge(mixed, 1, 4, 1, 3, 8, {1}, -1, 2);
    const Merged cleaned = run_merge(mixed, 1, 4, 1, 3, 8, {1});
    EXPECT_EQ(raw.at(4, 0, 0), Quad({0, 0, 0, 0}));
    EXPECT_EQ(raw.at(4, 3, 0), Quad({255, 255, 255, 255}));
    for (auto [x, from] : {std::pair{0, 1}, {1, 1}, {2, 2}, {3, 2}})
        EXPECT_EQ(cleaned.at(4, x, 0), raw.at(4, from, 0)) << x;
    // Decoding truncates the mantissa: within 1/128. The black pixel counts in the mean.
    const float dark = raw.decode(4, 1, 0)[1], bright = raw.decode(4, 2, 0)[1];
    EXPECT_NEAR(cleaned.stats[0] / 256.0f, dark, dark / 128);
    EXPECT_NEAR(cleaned.stats[1] / 256.0f, bright, bright / 128);
    EXPECT_NEAR(cleaned.stats[2] / 256.0f, (dark + bright) / 3, (dark + bright) / 128);
}

TEST(KvHdrMerge, SaturationLevelsFallFromShortestToLongestExposure)
{
    // Grey code c is luma 256 c. Levels 64000 (t = 1), 62080 (t = 4), 60160 (t = 16): pixel 0 is
    // above all three, every other pixel at or under one of them. Photo order: 4, 16, 1.
    const Merged m =
        run_merge(grey_photos({{243, 243, 242, 243}, {236, 236, 236, 235}, {251, 250, 251, 251}}),
                  3, 4, 1, 3, 8, {4, 16, 1}, -1, 2);
    ASSERT_EQ(m.result, 1);
    EXPECT_EQ(m.at(4, 0, 0), Quad({255, 255, 255, 255}));
    for (int x = 1; x < 4; ++x)
        EXPECT_NE(m.at(4, x, 0)[3], 255) << x;
}

TEST(KvHdrMerge, RecoversKnownRadianceAtBothDepthsAndLayouts)
{
    const int w = 160, h = 48;
    const auto map = testsupport::make_radiance_map(w, h);
    const std::vector<float> t = {1.0f, 0.25f, 4.0f};
    for (int bits : {8, 16})
        for (int spp : {1, 3}) {
            SCOPED_TRACE(testing::Message() << bits << " bits, " << spp << " samples");
            const auto stack = testsupport::render_bracket(map, t, bits, spp);
            const Merged m = run_merge(stack, 3, w, h, spp, bits, t);
            ASSERT_EQ(m.result, h);
            const int top = bits == 16 ? 65535 : 255, shift = bits == 16 ? 8 : 0;
            auto sample = [&](int k, int i, int c) { // c: 0 red, 1 green, 2 blue
                const size_t j =
                    (size_t(k) * w * h + size_t(i)) * size_t(spp) + size_t(c * (spp - 1) / 2);
                uint16_t v = stack[j];
                if (bits == 16)
                    std::memcpy(&v, &stack[j * 2], 2);
                return int(v);
            };
            size_t compared = 0;
            double worst = 0;
            for (int i = 0; i < w * h; ++i) {
                // Compared: some photo well exposed (luma from 96 x 256 to the lowest saturation
                // level 60160) and none still weighted (luma <= 64000) clipped.
                bool good = false, clipped = false;
                for (int k = 0; k < 3; ++k) {
                    const int r = sample(k, i, 0), g = sample(k, i, 1), b = sample(k, i, 2);
                    const int luma = 54 * (r >> shift) + 183 * (g >> shift) + 19 * (b >> shift);
                    good = good || (luma >= 96 * 256 && luma <= 60160);
                    clipped = clipped || (luma <= 64000 && std::max({r, g, b}) == top);
                }
                if (!good || clipped)
                    continue;
                const int x = i % w, y = i / w;
                const auto rgb = m.decode(w, x, y);
                double truth[3];
                for (int c = 0; c < 3; ++c)
                    truth[c] = spp == 3 ? map.at(x, y, c)
                                        : 0.2126 * map.at(x, y, 0) + 0.7152 * map.at(x, y, 1) +
                                              0.0722 * map.at(x, y, 2);
                // One shared exponent: precision is relative to the largest channel.
                const double largest = std::max({truth[0], truth[1], truth[2]});
                for (int c = 0; c < 3; ++c)
                    worst = std::max(worst, std::fabs(rgb[size_t(c)] - truth[c]) / largest);
                ++compared;
            }
            EXPECT_GT(compared, size_t(w * h) / 2);
            // 8 bits: the curve divides by 256 where the photos were made with 255 (0.86 %),
            // half a code at code 96 with its weight (1.7 %), mantissa truncation (< 0.8 %).
            // 16 bits: only the truncation.
            EXPECT_LT(worst, bits == 8 ? 0.04 : 0.01);
        }
}

TEST(KvHdrMerge, GenericPathsAgreeWithTheSpecialisedOnes)
{
    const auto map = testsupport::make_radiance_map(7, 5);
    // Seven pixels a row go through groups of four and a scalar tail; one pixel a row only
    // through the tail. The same stack read as 1 x 35 gives the same pixels.
    const std::vector<float> three = {0.5f, 8.0f, 2.0f};
    for (int bits : {8, 16}) {
        const auto stack = testsupport::render_bracket(map, three, bits, 3);
        const Merged wide = run_merge(stack, 3, 7, 5, 3, bits, three);
        const Merged tall = run_merge(stack, 3, 1, 35, 3, bits, three);
        for (int i = 0; i < 35; ++i)
            ASSERT_EQ(tall.at(1, 0, i), wide.at(7, i % 7, i / 7)) << bits << " bits, pixel " << i;
    }
    // Nine photos (past the counts with their own code) as RGB, and in reverse order with four
    // samples a pixel (red, green, a sample to ignore, blue): photos are visited by exposure.
    std::vector<float> nine, reversedT;
    for (int k = 0; k < 9; ++k)
        nine.push_back(std::ldexp(1.0f, k - 4));
    const auto rgb = testsupport::render_bracket(map, nine, 8, 3);
    std::vector<uint8_t> rgxb;
    for (int k = 8; k >= 0; --k) {
        reversedT.push_back(nine[size_t(k)]);
        for (size_t i = size_t(k) * 105; i < size_t(k + 1) * 105; i += 3)
            rgxb.insert(rgxb.end(), {rgb[i], rgb[i + 1], uint8_t(i * 7), rgb[i + 2]});
    }
    const Merged a = run_merge(rgb, 9, 7, 5, 3, 8, nine);
    const Merged b = run_merge(rgxb, 9, 7, 5, 4, 8, reversedT);
    EXPECT_EQ(a.rgbe, b.rgbe);
    EXPECT_EQ(a.stats, b.stats);
}

TEST(KvHdrMerge, EstimateOverwritesTheExposuresInPhotoOrder)
{
    const std::vector<float> truth = {0.25f, 16.0f, 0.0625f, 4.0f, 1.0f};
    const auto stack =
        testsupport::render_bracket(testsupport::make_radiance_map(120, 40), truth, 8, 3);
    const Merged spaced = run_merge(stack, 5, 120, 40, 3, 8, {9, 9, 9, 9, 9}, 2.0f);
    ASSERT_EQ(spaced.result, 40);
    EXPECT_EQ(spaced.exposures, truth);
    // From brightness alone: ordered like the truth, the middle rank anchored at 1.
    const std::vector<float> t = run_merge(stack, 5, 120, 40, 3, 8, {}, 0.0f).exposures;
    EXPECT_EQ(t[4], 1.0f);
    EXPECT_TRUE(t[1] > t[3] && t[3] > 1.0f && 1.0f > t[0] && t[0] > t[2]);
}

TEST(KvHdrMerge, BadArgumentsAreRefusedBeforeWriting)
{
    const std::vector<uint8_t> grey(2 * 2 * 3 * 2, 100);
    const std::vector<uint8_t> bw = grey_photos({{0, 0, 0, 0}, {255, 255, 255, 255}});
    std::vector<float> lut;
    float stats[3];
    auto call = [&](int n, int w, int h, int spp, int bps, std::vector<float> t,
                    const std::vector<uint8_t> *stack, float spacing = -1, int curveMode = 0,
                    float gamma = kNaN) {
        lut.assign(size_t(1) << (bps == 16 ? 16 : 8), gamma);
        std::vector<uint8_t> out(16, 0xAB);
        const int rc = kv_hdr_merge(nullptr, 0, n, w, h, spp, bps, curveMode, lut.data(),
                                    t.empty() ? nullptr : t.data(), stack ? stack->data() : nullptr,
                                    stats, out.data(), spacing);
        if (rc <= 0) {
            EXPECT_EQ(out, std::vector<uint8_t>(16, 0xAB));
        }
        if (rc < 0 && spacing < -0.5f) { // refused before the curve is built
            EXPECT_TRUE(std::isnan(lut[1]));
        }
        return rc;
    };
    EXPECT_EQ(call(0, 2, 2, 3, 8, {1}, &grey), -3);
    EXPECT_EQ(call(1, 0, 2, 3, 8, {1}, &grey), -3);
    EXPECT_EQ(call(1, 2, 2, 0, 8, {1}, &grey), -3);
    EXPECT_EQ(call(1, 2, 2, 3, 12, {1}, &grey), -3);
    EXPECT_EQ(call(1, 2, 2, 3, 8, {1}, nullptr), -3);
    EXPECT_EQ(call(1, 1 << 30, 1 << 30, 16, 8, {1}, &grey), -3); // 2^64 bytes
    EXPECT_EQ(call(2, 2, 2, 3, 8, {}, &grey), -3);
    // Curve mode 1 takes the gamma from lut[0]: NaN is refused, 1 gives a linear curve.
    EXPECT_EQ(call(1, 2, 2, 3, 8, {1}, &grey, -1, 1), -3);
    EXPECT_EQ(call(1, 2, 2, 3, 8, {1}, &grey, -1, 1, 1.0f), 2);
    EXPECT_EQ(lut[128], 0.5f);
    // Exposures that would make NaN saturation levels; one photo needs none.
    for (float bad : {0.0f, -1.0f, kNaN, std::numeric_limits<float>::infinity(), 1e-45f})
        EXPECT_EQ(call(2, 2, 2, 3, 8, {1, bad}, &grey), -3) << bad;
    EXPECT_EQ(call(1, 2, 2, 3, 8, {0}, &grey), 2);
    // A black photo (key 0, counted as 1) beside a white one: 6 EV for each of 24 doublings of
    // the key, 2^144, past the float range.
    EXPECT_EQ(call(2, 2, 2, 3, 8, {1, 1}, &bw, 0.0f), -3);
    // No rows: nothing merged, the statistics of an empty image.
    EXPECT_EQ(call(1, 2, 0, 3, 8, {1}, &grey), 0);
    EXPECT_EQ(std::vector<float>(stats, stats + 3), (std::vector<float>{2.56e11f, 0, 0}));
}
