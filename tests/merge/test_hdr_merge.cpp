#include <gtest/gtest.h>

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

struct Merged {
    int result = 0;
    std::vector<uint8_t> rgbe;
    std::array<float, 3> stats{};
    std::vector<float> exposures;
};

// Merges an 8- or 16-bit stack held in a byte vector with the kernel's own defaults (gamma 2.2).
Merged run_merge(const std::vector<uint8_t> &stack, int n, int w, int h, int spp, int bps,
                 std::vector<float> exposures, float evSpacing = -1.0f, int cleanup = 0,
                 progressCallback cb = nullptr)
{
    Merged m;
    m.rgbe.assign(size_t(w) * size_t(h > 0 ? h : 0) * 4, 0xAB);
    std::vector<float> lut(size_t(1) << bps);
    exposures.resize(size_t(n), 1.0f);
    m.result = kv_hdr_merge(cb, cleanup, n, w, h, spp, bps, 0, lut.data(), exposures.data(),
                            stack.data(), m.stats.data(), m.rgbe.data(), evSpacing);
    m.exposures = exposures;
    return m;
}

std::array<uint8_t, 4> pixel(const Merged &m, int w, int x, int y)
{
    const size_t i = size_t(4) * size_t(w) * size_t(y) + size_t(x);
    return {m.rgbe[i], m.rgbe[i + size_t(w)], m.rgbe[i + 2 * size_t(w)], m.rgbe[i + 3 * size_t(w)]};
}

std::array<float, 3> decode(const Merged &m, int w, int x, int y)
{
    float table[256];
    exp_lut(table, -8);
    std::array<float, 3> rgb{};
    rgbe2float(m.rgbe.data(), table, w, 2 * w, 3 * w, 4 * w * y + x, rgb.data());
    return rgb;
}

std::vector<uint8_t> grey_photos(const std::vector<std::vector<uint8_t>> &photos)
{
    // photos[k] holds one grey code a pixel; expanded to RGB.
    std::vector<uint8_t> s;
    for (const auto &p : photos)
        for (uint8_t v : p)
            s.insert(s.end(), {v, v, v});
    return s;
}

using Quad = std::array<uint8_t, 4>;

} // namespace

TEST(EncodeRgbe, KnownPixelAndItsDecoding)
{
    const merge::Rgbe c = merge::encode_rgbe(1.0f, 0.5f, 0.25f);
    EXPECT_EQ(Quad({c.r, c.g, c.b, c.e}), Quad({128, 64, 32, 129}));
    float table[256];
    exp_lut(table, -8);
    const uint8_t planar[4] = {c.r, c.g, c.b, c.e};
    float rgb[3];
    EXPECT_EQ(rgbe2float(planar, table, 1, 2, 3, 0, rgb), 129);
    EXPECT_EQ(rgb[0], 1.0f);
    EXPECT_EQ(rgb[1], 0.5f);
    EXPECT_EQ(rgb[2], 0.25f);
}

TEST(EncodeRgbe, BlackAndMarkerThresholds)
{
    auto quad = [](float r, float g, float b) {
        const merge::Rgbe c = merge::encode_rgbe(r, g, b);
        return Quad({c.r, c.g, c.b, c.e});
    };
    EXPECT_EQ(quad(0, 0, 0), Quad({0, 0, 0, 0}));
    EXPECT_EQ(quad(1e-33f, 0, 9.9e-33f), Quad({0, 0, 0, 0}));
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(quad(nan, nan, nan), Quad({0, 0, 0, 0}));
    EXPECT_EQ(quad(1e9f, 1, 1), Quad({255, 255, 255, 255}));
    // The largest float below 999999999 is still an ordinary pixel: frexp exponent 30.
    EXPECT_EQ(quad(999999936.0f, 0, 0)[3], 158);
    EXPECT_EQ(quad(999999936.0f, 0, 0)[0], 238);
}

TEST(EncodeRgbe, MatchesFrexpFormulaAcrossTheRange)
{
    // The kernel builds frexp's scale from the exponent bits; it must equal m x 256 / M.
    for (double v = 2e-32; v < 9e8; v *= 1.37) {
        const float r = float(v), g = float(v * 0.61), b = float(v * 0.013);
        int e = 0;
        const double m = std::frexp(double(r), &e);
        const float f = float(m * 256.0 / double(r));
        const merge::Rgbe c = merge::encode_rgbe(r, g, b);
        ASSERT_EQ(c.r, uint8_t(r * f)) << v;
        ASSERT_EQ(c.g, uint8_t(g * f)) << v;
        ASSERT_EQ(c.b, uint8_t(b * f)) << v;
        ASSERT_EQ(c.e, e + 128) << v;
    }
}

TEST(KvHdrMerge, ClippedEverywhereBecomesMarkersThenZeroLuminanceGrey)
{
    const std::vector<uint8_t> stack(2 * 2 * 3, 255);
    Merged kept = run_merge(stack, 1, 2, 2, 3, 8, {1}, -1, 2);
    ASSERT_EQ(kept.result, 2);
    for (uint8_t b : kept.rgbe)
        EXPECT_EQ(b, 255);
    // No pixel counts in the statistics: minimum stays 1e9, maximum and mean 0.
    EXPECT_EQ(kept.stats[0], 1e9f * 256.0f);
    EXPECT_EQ(kept.stats[1], 0.0f);
    EXPECT_EQ(kept.stats[2], 0.0f);

    // The largest luminance is 0: the grey has no exponent to scale by.
    Merged cleaned = run_merge(stack, 1, 2, 2, 3, 8, {1});
    for (int x = 0; x < 2; ++x)
        for (int y = 0; y < 2; ++y)
            EXPECT_EQ(pixel(cleaned, 2, x, y), Quad({0, 0, 0, 128}));
}

TEST(KvHdrMerge, BlackEverywhereBecomesGreyAtTheUnsetMinimum)
{
    const std::vector<uint8_t> stack(3 * 1 * 3 * 2, 0);
    Merged kept = run_merge(stack, 2, 3, 1, 3, 8, {1, 2}, -1, 2);
    ASSERT_EQ(kept.result, 1);
    for (uint8_t b : kept.rgbe)
        EXPECT_EQ(b, 0);
    EXPECT_EQ(kept.stats[0], 1e9f * 256.0f);
    EXPECT_EQ(kept.stats[2], 0.0f);
    Merged cleaned = run_merge(stack, 2, 3, 1, 3, 8, {1, 2});
    for (int x = 0; x < 3; ++x)
        EXPECT_EQ(pixel(cleaned, 3, x, 0), Quad({238, 238, 238, 158}));
}

TEST(KvHdrMerge, CleanUpTurnsMarkersIntoGreyAtTheExtremes)
{
    // One photo: black, dark, bright and clipped pixels.
    const std::vector<uint8_t> stack = grey_photos({{0, 60, 200, 255}});
    Merged kept = run_merge(stack, 1, 4, 1, 3, 8, {1}, -1, 2);
    Merged cleaned = run_merge(stack, 1, 4, 1, 3, 8, {1});
    EXPECT_EQ(pixel(kept, 4, 0, 0), Quad({0, 0, 0, 0}));
    EXPECT_EQ(pixel(kept, 4, 3, 0), Quad({255, 255, 255, 255}));
    // Ordinary pixels are left alone; the markers take the darkest and brightest greys.
    EXPECT_EQ(pixel(cleaned, 4, 1, 0), pixel(kept, 4, 1, 0));
    EXPECT_EQ(pixel(cleaned, 4, 2, 0), pixel(kept, 4, 2, 0));
    EXPECT_EQ(pixel(cleaned, 4, 0, 0), pixel(kept, 4, 1, 0));
    EXPECT_EQ(pixel(cleaned, 4, 3, 0), pixel(kept, 4, 2, 0));
    // Statistics: the two ordinary pixels and the black one count in the mean.
    const float dark = decode(kept, 4, 1, 0)[1], bright = decode(kept, 4, 2, 0)[1];
    // Decoding truncates the mantissa: within 1/128 of the statistic.
    EXPECT_NEAR(cleaned.stats[0] / 256.0f, dark, dark / 128);
    EXPECT_NEAR(cleaned.stats[1] / 256.0f, bright, bright / 128);
    EXPECT_NEAR(cleaned.stats[2] / 256.0f, (dark + bright) / 3, (dark + bright) / 128);
}

TEST(KvHdrMerge, SaturationLevelsFallFromShortestToLongestExposure)
{
    // Grey codes c give luma 256 c. Levels 64000 (t = 1), 62080 (t = 4), 60160 (t = 16): the
    // first pixel is above all three, each other pixel sits at or under one of them. Photo
    // order is shuffled: exposures 4, 16, 1.
    const std::vector<uint8_t> stack =
        grey_photos({{243, 243, 242, 243}, {236, 236, 236, 235}, {251, 250, 251, 251}});
    Merged m = run_merge(stack, 3, 4, 1, 3, 8, {4, 16, 1}, -1, 2);
    ASSERT_EQ(m.result, 1);
    EXPECT_EQ(pixel(m, 4, 0, 0), Quad({255, 255, 255, 255}));
    for (int x = 1; x < 4; ++x)
        EXPECT_NE(pixel(m, 4, x, 0)[3], 255) << x;
}

TEST(KvHdrMerge, EqualExposuresShareTheTopLevel)
{
    const std::vector<uint8_t> stack = grey_photos({{251, 250}, {251, 251}});
    Merged m = run_merge(stack, 2, 2, 1, 3, 8, {2, 2}, -1, 2);
    EXPECT_EQ(pixel(m, 2, 0, 0), Quad({255, 255, 255, 255}));
    EXPECT_NE(pixel(m, 2, 1, 0)[3], 255);
}

TEST(KvHdrMerge, SixteenBitLumaComesFromTheHighBytes)
{
    // High byte 250 (luma 64000) is still usable whatever the low byte; 251 is clipped.
    const std::vector<uint16_t> samples = {0xFAFF, 0xFAFF, 0xFAFF, 0xFB00, 0xFB00, 0xFB00};
    std::vector<uint8_t> stack(samples.size() * 2);
    std::memcpy(stack.data(), samples.data(), stack.size());
    Merged m = run_merge(stack, 1, 2, 1, 3, 16, {1}, -1, 2);
    EXPECT_NE(pixel(m, 2, 0, 0)[3], 255);
    EXPECT_EQ(pixel(m, 2, 1, 0), Quad({255, 255, 255, 255}));
    // The linearisation reads all 16 bits: 0xFAFF / 65536 to the power 2.2.
    EXPECT_NEAR(decode(m, 2, 0, 0)[0], std::pow(0xFAFF / 65536.0, 2.2), 0.008);
}

TEST(KvHdrMerge, DoublingExposureHalvesRadiance)
{
    const auto map = testsupport::make_radiance_map(48, 16);
    const auto stack = testsupport::render_bracket(map, {0.5f, 2.0f}, 8, 3);
    Merged a = run_merge(stack, 2, 48, 16, 3, 8, {0.5f, 2.0f});
    Merged b = run_merge(stack, 2, 48, 16, 3, 8, {1.0f, 4.0f});
    // Power-of-two reciprocals scale every sum exactly: same mantissas, exponent one lower.
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 48; ++x) {
            Quad pa = pixel(a, 48, x, y), pb = pixel(b, 48, x, y);
            ASSERT_EQ(pb[3] + 1, pa[3]) << x << "," << y;
            pb[3] = pa[3];
            ASSERT_EQ(pa, pb) << x << "," << y;
        }
    EXPECT_EQ(b.stats[1] * 2, a.stats[1]);
}

TEST(KvHdrMerge, RecoversKnownRadianceAtBothDepthsAndLayouts)
{
    const int w = 160, h = 48;
    const auto map = testsupport::make_radiance_map(w, h);
    const std::vector<float> exposures = {1.0f, 0.25f, 4.0f};
    for (int bits : {8, 16}) {
        for (int spp : {1, 3}) {
            SCOPED_TRACE(testing::Message() << bits << " bits, " << spp << " samples");
            const auto stack = testsupport::render_bracket(map, exposures, bits, spp);
            Merged m = run_merge(stack, 3, w, h, spp, bits, exposures);
            ASSERT_EQ(m.result, h);
            const int top = bits == 16 ? 65535 : 255;
            const size_t photoSamples = size_t(w) * h * spp;
            auto sample = [&](int k, size_t i) -> int {
                if (bits == 8)
                    return stack[size_t(k) * photoSamples + i];
                uint16_t v;
                std::memcpy(&v, &stack[(size_t(k) * photoSamples + i) * 2], 2);
                return v;
            };
            size_t compared = 0;
            double worst = 0;
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    // Compared: some photo well exposed (luma code 96 or more, below the
                    // lowest saturation level 60160), and no photo that still carries weight
                    // (luma 64000 or less) has a channel at the top code.
                    bool good = false, clippedChannel = false;
                    for (int k = 0; k < 3; ++k) {
                        const size_t i = (size_t(y) * w + x) * size_t(spp);
                        const int r = sample(k, i), g = sample(k, i + size_t(spp - 1) / 2),
                                  b = sample(k, i + size_t(spp - 1));
                        const int shift = bits == 16 ? 8 : 0;
                        const int luma = 54 * (r >> shift) + 183 * (g >> shift) + 19 * (b >> shift);
                        good = good || (luma >= 96 * 256 && luma <= 60160);
                        clippedChannel =
                            clippedChannel || (luma <= 64000 && (r == top || g == top || b == top));
                    }
                    if (!good || clippedChannel)
                        continue;
                    const auto rgb = decode(m, w, x, y);
                    double truth[3], largest = 0;
                    for (int c = 0; c < 3; ++c) {
                        truth[c] = spp == 3 ? map.at(x, y, c)
                                            : 0.2126 * map.at(x, y, 0) + 0.7152 * map.at(x, y, 1) +
                                                  0.0722 * map.at(x, y, 2);
                        largest = std::max(largest, truth[c]);
                    }
                    // The channels share one exponent: precision is relative to the largest.
                    for (int c = 0; c < 3; ++c)
                        worst = std::max(worst, std::fabs(rgb[size_t(c)] - truth[c]) / largest);
                    ++compared;
                }
            }
            // Most of the 12-stop scene is covered by the 4-stop bracket's usable codes.
            EXPECT_GT(compared, size_t(w * h) / 2);
            // 8 bits: the curve divides by 256 where the photos were made with 255 (0.86 %
            // low), half a code of quantisation at code 96 and below with its weight (1.7 %),
            // mantissa truncation (< 0.8 %). 16 bits: only the truncation.
            EXPECT_LT(worst, bits == 8 ? 0.04 : 0.01);
        }
    }
}

namespace {
std::vector<float> g_fractions;
void record_progress(int *, float f)
{
    g_fractions.push_back(f);
}
} // namespace

TEST(KvHdrMerge, ProgressOnlyFrom816RowsAndNeverDividesByZero)
{
    for (int h : {1, 2, 15, 16, 17, 815}) {
        g_fractions.clear();
        const std::vector<uint8_t> stack(size_t(h) * 3, 128);
        Merged m = run_merge(stack, 1, 1, h, 3, 8, {1}, -1, 0, record_progress);
        EXPECT_EQ(m.result, h);
        EXPECT_TRUE(g_fractions.empty()) << h;
    }
    g_fractions.clear();
    const std::vector<uint8_t> tall(1600 * 3, 128);
    run_merge(tall, 1, 1, 1600, 3, 8, {1}, -1, 0, record_progress);
    ASSERT_EQ(g_fractions.size(), 16u);
    for (size_t i = 0; i < 16; ++i)
        EXPECT_EQ(g_fractions[i], float(50 + 100 * i) / 1600.0f);
    g_fractions.clear();
    const std::vector<uint8_t> first(816 * 3, 128);
    run_merge(first, 1, 1, 816, 3, 8, {1}, -1, 0, record_progress);
    ASSERT_EQ(g_fractions.size(), 16u);
    EXPECT_EQ(g_fractions[0], 50.0f / 816.0f);
}

TEST(KvHdrMerge, UnusableExposuresAreRefusedBeforeWriting)
{
    const std::vector<uint8_t> stack(2 * 2 * 3 * 2, 100);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (float bad : {0.0f, -1.0f, nan, inf, 1e-45f}) {
        std::vector<float> lut(256, -5.0f);
        std::vector<float> exposures = {1.0f, bad};
        std::vector<uint8_t> out(2 * 2 * 4, 0xAB);
        float stats[3] = {-1, -1, -1};
        EXPECT_EQ(kv_hdr_merge(nullptr, 0, 2, 2, 2, 3, 8, 0, lut.data(), exposures.data(),
                               stack.data(), stats, out.data(), -1.0f),
                  -3)
            << bad;
        EXPECT_EQ(out, std::vector<uint8_t>(16, 0xAB));
        EXPECT_EQ(lut, std::vector<float>(256, -5.0f));
        EXPECT_EQ(stats[0], -1.0f);
    }
    // One photo needs no exposure at all.
    Merged one = run_merge(std::vector<uint8_t>(12, 100), 1, 2, 2, 3, 8, {0.0f});
    EXPECT_EQ(one.result, 2);
}

TEST(KvHdrMerge, BadArgumentsAndEmptyHeight)
{
    std::vector<uint8_t> stack(12, 100), out(16, 0xAB);
    std::vector<float> lut(65536), exposures = {1, 1};
    float stats[3];
    auto call = [&](int n, int w, int h, int spp, int bps, const void *s, float *st) {
        return kv_hdr_merge(nullptr, 0, n, w, h, spp, bps, 0, lut.data(), exposures.data(), s, st,
                            out.data(), -1.0f);
    };
    EXPECT_EQ(call(0, 2, 2, 3, 8, stack.data(), stats), -3);
    EXPECT_EQ(call(1, 0, 2, 3, 8, stack.data(), stats), -3);
    EXPECT_EQ(call(1, 2, 2, 0, 8, stack.data(), stats), -3);
    EXPECT_EQ(call(1, 2, 2, 3, 12, stack.data(), stats), -3);
    EXPECT_EQ(call(1, 2, 2, 3, 8, nullptr, stats), -3);
    EXPECT_EQ(call(1, 2, 2, 3, 8, stack.data(), nullptr), -3);
    EXPECT_EQ(call(1, 1 << 30, 1 << 30, 16, 8, stack.data(), stats), -3); // 2^64 bytes
    EXPECT_EQ(kv_hdr_merge(nullptr, 0, 2, 2, 2, 3, 8, 0, lut.data(), nullptr, stack.data(), stats,
                           out.data(), -1.0f),
              -3);
    EXPECT_EQ(out, std::vector<uint8_t>(16, 0xAB));

    EXPECT_EQ(call(1, 2, 0, 3, 8, stack.data(), stats), 0);
    EXPECT_EQ(stats[0], 2.56e11f);
    EXPECT_EQ(stats[1], 0.0f);
    EXPECT_EQ(stats[2], 0.0f);
    EXPECT_EQ(call(1, 2, -4, 3, 8, stack.data(), stats), 0);
    EXPECT_EQ(out, std::vector<uint8_t>(16, 0xAB));
}

TEST(KvHdrMerge, CurveModeOneTakesTheGammaFromTheTable)
{
    std::vector<float> lut(256, 0.0f);
    lut[0] = 1.0f; // linear
    std::vector<uint8_t> stack(3, 128), out(4);
    float exposure = 1, stats[3];
    ASSERT_EQ(kv_hdr_merge(nullptr, 0, 1, 1, 1, 3, 8, 1, lut.data(), &exposure, stack.data(), stats,
                           out.data(), -1.0f),
              1);
    EXPECT_EQ(lut[128], 0.5f);
    EXPECT_EQ(lut[0], lut[1]);
    EXPECT_EQ(out, (std::vector<uint8_t>{128, 128, 128, 128})); // 0.5 = 128 x 2^(128 - 136)

    lut[0] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(kv_hdr_merge(nullptr, 0, 1, 1, 1, 3, 8, 1, lut.data(), &exposure, stack.data(), stats,
                           out.data(), -1.0f),
              -3);
}

TEST(KvHdrMerge, SpacingEstimateOverwritesExposuresByBrightness)
{
    const auto map = testsupport::make_radiance_map(64, 32);
    const auto stack = testsupport::render_bracket(map, {4.0f, 0.25f, 1.0f}, 8, 3);
    Merged m = run_merge(stack, 3, 64, 32, 3, 8, {9, 9, 9}, 2.0f);
    ASSERT_EQ(m.result, 32);
    EXPECT_EQ(m.exposures, (std::vector<float>{4.0f, 0.25f, 1.0f}));
    // Brightness estimate: ordered like the true exposures, the middle one anchored at 1.
    Merged e = run_merge(stack, 3, 64, 32, 3, 8, {9, 9, 9}, 0.0f);
    ASSERT_EQ(e.result, 32);
    EXPECT_EQ(e.exposures[2], 1.0f);
    EXPECT_GT(e.exposures[0], 1.0f);
    EXPECT_LT(e.exposures[1], 1.0f);
}

TEST(KvHdrMerge, PixelDependsOnlyOnItsOwnSamples)
{
    // Without the clean-up pass a pixel's bytes come from its own samples: merging a 7-pixel-wide
    // image must give, column by column, what merging each column alone gives.
    const int w = 7, h = 5;
    const auto map = testsupport::make_radiance_map(w, h);
    const std::vector<float> exposures = {0.5f, 8.0f, 2.0f};
    for (int bits : {8, 16}) {
        const auto stack = testsupport::render_bracket(map, exposures, bits, 3);
        const Merged whole = run_merge(stack, 3, w, h, 3, bits, exposures, -1, 2);
        const size_t sample = size_t(bits / 8), photo = size_t(w) * h * 3 * sample;
        for (int x = 0; x < w; ++x) {
            std::vector<uint8_t> column;
            for (int k = 0; k < 3; ++k)
                for (int y = 0; y < h; ++y) {
                    const auto *p = &stack[size_t(k) * photo + (size_t(y) * w + x) * 3 * sample];
                    column.insert(column.end(), p, p + 3 * sample);
                }
            const Merged one = run_merge(column, 3, 1, h, 3, bits, exposures, -1, 2);
            for (int y = 0; y < h; ++y)
                ASSERT_EQ(pixel(one, 1, 0, y), pixel(whole, w, x, y))
                    << bits << ":" << x << "," << y;
        }
    }
}

TEST(KvHdrMerge, PhotoOrderDoesNotMatterForManyPhotos)
{
    // Nine photos (more than a bracket ever has) in two orders: the kernel visits them by
    // exposure, so the results are identical.
    const int w = 6, h = 3;
    const auto map = testsupport::make_radiance_map(w, h);
    std::vector<float> exposures;
    for (int k = 0; k < 9; ++k)
        exposures.push_back(std::ldexp(1.0f, k - 4));
    const auto stack = testsupport::render_bracket(map, exposures, 8, 3);
    const size_t photo = size_t(w) * h * 3;
    std::vector<uint8_t> reversed;
    std::vector<float> reversedExposures;
    for (int k = 8; k >= 0; --k) {
        reversed.insert(reversed.end(), stack.begin() + long(k * photo),
                        stack.begin() + long((k + 1) * photo));
        reversedExposures.push_back(exposures[size_t(k)]);
    }
    const Merged a = run_merge(stack, 9, w, h, 3, 8, exposures);
    const Merged b = run_merge(reversed, 9, w, h, 3, 8, reversedExposures);
    EXPECT_EQ(a.rgbe, b.rgbe);
    EXPECT_EQ(a.stats, b.stats);
}

TEST(KvHdrMerge, FourSamplesReadRedGreenAndTheLast)
{
    // Channels sit at 0, (spp - 1) / 2 and spp - 1: with 4 samples the third one is ignored.
    const int w = 5, h = 2;
    const auto map = testsupport::make_radiance_map(w, h);
    const std::vector<float> exposures = {1.0f, 4.0f};
    const auto rgb = testsupport::render_bracket(map, exposures, 8, 3);
    std::vector<uint8_t> rgxb;
    for (size_t i = 0; i < rgb.size(); i += 3)
        rgxb.insert(rgxb.end(), {rgb[i], rgb[i + 1], uint8_t(i * 7), rgb[i + 2]});
    const Merged three = run_merge(rgb, 2, w, h, 3, 8, exposures);
    const Merged four = run_merge(rgxb, 2, w, h, 4, 8, exposures);
    EXPECT_EQ(three.rgbe, four.rgbe);
    EXPECT_EQ(three.stats, four.stats);
}

TEST(KvHdrMerge, EstimateBeyondTheFloatRangeIsRefused)
{
    // A black photo (key 0, counted as 1) beside a white one (key 255 x 65536): 6 EV for each of
    // 24 doublings, 2^144, past the float range.
    std::vector<uint8_t> stack(2 * 4 * 3, 0);
    std::fill(stack.begin() + 12, stack.end(), 255);
    std::vector<float> lut(256), exposures = {1, 1};
    std::vector<uint8_t> out(16, 0xAB);
    float stats[3];
    EXPECT_EQ(kv_hdr_merge(nullptr, 0, 2, 2, 2, 3, 8, 0, lut.data(), exposures.data(), stack.data(),
                           stats, out.data(), 0.0f),
              -3);
    EXPECT_EQ(out, std::vector<uint8_t>(16, 0xAB));
    EXPECT_TRUE(std::isinf(exposures[1]));
}
