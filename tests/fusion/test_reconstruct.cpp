// Fusion collapse and finishing: the up-sampling steps against the reference expansion, the
// finishing settings by their worked values (with the clipping and highlight cases that gave
// infinities), and whole pyramids that must give back the frames they blend.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "fusion/reconstruct.h"
#include "fusion/upsample.h"
#include "tests/fusion/fusion_reference.h"
#include "tests/support/bracket_generator.h"
#include "tests/support/image_compare.h"

using fusiontest::Params;
using fusiontest::ref_expand;
using testsupport::seeded_samples;

TEST(Adjust22bAndFusion31et32, UpSampleByTheReferenceExpansion)
{
    uint32_t seed = 3;
    for (auto [wf, hf] : {std::pair{7, 5}, {6, 6}, {1, 4}, {4, 1}, {8, 3}, {600, 3}, {513, 4}})
        for (int spp : {1, 3})
            for (bool is360 : {false, true}) {
                const int wc = (wf + 1) / 2, hc = (hf + 1) / 2, nf = wf * hf * spp,
                          nc = wc * hc * spp;
                const auto where = testing::Message()
                                   << wf << "x" << hf << " spp " << spp << " " << is360;
                // The value alone, every depth, after the given offsets.
                auto alone = [&](auto sample, int bps) {
                    using T = decltype(sample);
                    const auto v =
                        seeded_samples<uint16_t>(size_t(nc + 5), ++seed, bps == 8 ? 256 : 65536);
                    const std::vector<T> src(v.begin(), v.end());
                    std::vector<T> dst(size_t(nf + 2), T(7));
                    EXPECT_EQ(
                        adjust22b(wf, hf, wc, 0, spp, bps, is360, 2, 5, src.data(), dst.data()),
                        hf % 2 ? hf : hf - 1);
                    for (int i = 0; i < nf; ++i)
                        EXPECT_EQ(dst[size_t(i + 2)],
                                  T(ref_expand(src.data() + 5, wc, hc, spp, is360, i / spp % wf,
                                               i / spp / wf, i % spp)))
                            << where << " " << bps;
                    EXPECT_EQ(dst[1], T(7));
                    return dst;
                };
                alone(uint8_t{}, 8);
                alone(float{}, 32);
                const auto up = alone(uint16_t{}, 16);
                // A collapse step over the same coarse level (the 16-bit one's, seed unchanged)
                // adds the same values, less the band offset, limited; any fine values will do.
                std::vector<uint16_t> pyr(up.begin() + 2, up.end());
                const auto coarse = seeded_samples<uint16_t>(size_t(nc + 5), seed, 65536);
                pyr.insert(pyr.end(), coarse.begin(), coarse.end());
                ASSERT_EQ(fusion31et32(wf, hf, wc, hc, spp, 16, is360, 0, nf + 5, pyr.data()), hf);
                for (int i = 0; i < nf; ++i)
                    EXPECT_EQ(pyr[size_t(i)], std::clamp(2 * up[size_t(i + 2)] - 32767, 0, 65535));
            }
    // An even width repeats its last coarse column, or blends towards column 0 in a panorama.
    const uint16_t coarse[2] = {10, 30};
    std::vector<uint16_t> fine(4, 5);
    EXPECT_EQ(adjust22b(4, 1, 2, 1, 1, 12, 0, 0, 0, coarse, fine.data()), 0);
    EXPECT_EQ(fine, (std::vector<uint16_t>{5, 5, 5, 5}));
    adjust22b(4, 1, 2, 1, 1, 16, 0, 0, 0, coarse, fine.data());
    EXPECT_EQ(fine, (std::vector<uint16_t>{10, 20, 30, 30}));
    adjust22b(4, 1, 2, 1, 1, 16, 1, 0, 0, coarse, fine.data());
    EXPECT_EQ(fine, (std::vector<uint16_t>{10, 20, 30, 20}));
}

TEST(Fusion33, FinishingSettings)
{
    // Up to two settings (slot, value, slot, value); Accentuation (slot 0) is not read here.
    struct Case {
        const char *what;
        std::array<float, 4> set;
        int bps;
        std::array<uint16_t, 3> in;
        std::array<int, 3> out;
    };
    const int S = kFuSaturation, W = kFuWhiteClip, B = kFuBlackClip, M = kFuMidtonesAdjustment;
    for (const Case &c : std::vector<Case>{
             {"plain 8-bit", {}, 8, {32640, 32767, 0}, {255, 255, 0}},
             {"plain 16-bit", {}, 16, {32767, 16384, 1}, {65534, 32768, 2}},
             {"white point 230.4", {W, 10}, 8, {231 << 7, 115 << 7, 0}, {255, 127, 0}},
             {"midtones power 0.5", {M, 20}, 8, {64 << 7, 16 << 7, 0}, {128, 64, 0}},
             {"saturation 0.9 is 0", {S, 0.9f}, 8, {200 << 7, 100 << 7, 50 << 7}, {200, 100, 50}},
             {"saturation -10 grey", {S, -10}, 8, {200 << 7, 100 << 7, 50 << 7}, {125, 125, 125}},
             {"saturation -20 grey", {S, -20}, 8, {200 << 7, 100 << 7, 50 << 7}, {125, 125, 125}},
             // Clips over 100 % put white below black; one step apart, the order holds.
             {"clips over 100 %", {W, 60, B, 50}, 8, {200 << 7, 50 << 7, 129 << 7}, {255, 0, 255}},
             // Level 0 above full scale: HSL would divide by 2 - max - min <= 0.
             {"highlight 16-bit", {S, 5}, 16, {60000, 50000, 40000}, {65535, 65535, 65535}},
             {"red highlight 16-bit", {S, 5}, 16, {39322, 6554, 6554}, {65535, 13108, 13108}},
             {"highlight 8-bit", {S, 5, M, 3}, 8, {65535, 65535, 65000}, {255, 255, 255}}}) {
        Params p{};
        p[size_t(c.set[0])] = c.set[1];
        p[size_t(c.set[2])] = c.set[3];
        uint16_t out[3] = {9, 9, 9};
        ASSERT_EQ(fusion33(p.data(), 1, 1, 3, c.bps, 16, 3, 0, c.in.data(), out), 1);
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(c.bps == 8 ? reinterpret_cast<uint8_t *>(out)[k] : out[k], c.out[size_t(k)])
                << c.what << ", channel " << k;
    }
    // Blue first, rows rowLen samples apart, 4 samples a pixel (red 0, green 1, blue 3).
    const Params none{};
    const uint16_t level[8] = {32640, 16384, 999, 0, 0, 128, 999, 32640};
    std::vector<uint8_t> out(10, 7);
    ASSERT_EQ(fusion33(none.data(), 1, 2, 4, 8, 16, 5, 1, level, out.data()), 2);
    EXPECT_EQ(out, (std::vector<uint8_t>{0, 128, 7, 255, 7, 255, 1, 7, 0, 7}));
    // The collapse refuses a level count the image cannot hold and a short row.
    std::vector<uint16_t> pyr(size_t(pyram_len(8, 8)) * 3, 32767), img(pyr.size(), 4);
    EXPECT_EQ(fusion3(none.data(), 0, 8, 8, 3, 8, 16, 24, 0, 0, pyr.data(), nullptr, img.data()),
              0);
    EXPECT_EQ(fusion3(none.data(), 3, 8, 8, 3, 8, 16, 24, 0, 0, pyr.data(), nullptr, img.data()),
              -3);
    EXPECT_EQ(fusion3(none.data(), 2, 8, 8, 3, 8, 16, 23, 0, 0, pyr.data(), nullptr, img.data()),
              -3);
    EXPECT_EQ(img, std::vector<uint16_t>(img.size(), 4));
}

TEST(FusionPyramid, SinglePhotoAtFullWeightComesBackExactly)
{
    // With float weights of exactly 1 at every level, band plus up-sampled coarser level is the
    // photo's own Gaussian level at every step: the blend's and the collapse's interpolation
    // must agree. (A reduced weight map falls short of 1 on the borders: 0.333 + 3 x 0.1667 +
    // 2 / 12 = 0.99977.)
    const int w = 37, h = 22;
    const std::vector<uint8_t> photo = seeded_samples<uint8_t>(size_t(w * h * 3), 31, 256);
    const std::vector<float> ones(size_t(pyram_len(w, h)), 1.0f);
    for (bool is360 : {false, true}) {
        EXPECT_EQ(fusiontest::fuse<float>({photo}, {ones}, w, h, Params{}, 8, is360),
                  std::vector<int>(photo.begin(), photo.end()));
        const auto wide = fusiontest::fuse<float>({photo}, {ones}, w, h, Params{}, 16, is360);
        for (size_t i = 0; i < wide.size(); ++i)
            ASSERT_EQ(wide[i], photo[i] * 256) << i;
    }
}

TEST(FusionPyramid, IdenticalFramesFuseToTheFrame)
{
    const int w = 64, h = 48;
    const auto frame = testsupport::render_photo(testsupport::make_radiance_map(w, h), 4.0f, 8, 3);
    const std::vector<uint16_t> half(size_t(w * h), 32768);
    const auto fused = fusiontest::fuse<uint16_t>({frame, frame}, {half, half}, w, h, Params{}, 8);
    // Each weighted band value loses under one 15-bit unit to truncation, the reduced border
    // weights sum to 0.9998: together far below the 128 units of one 8-bit code.
    const auto diff =
        testsupport::compare_images(std::vector<uint8_t>(fused.begin(), fused.end()), frame, 0.5);
    EXPECT_LE(diff.maxDiff, 1);
}

TEST(FusionPyramid, WeightsPickThePhotoAndSaturationKeepsHue)
{
    // A dark and a bright red frame; the weights take the bright one on the left half.
    const int w = 64, h = 32;
    std::vector<uint8_t> dark, bright;
    std::vector<uint16_t> wd, wb;
    for (int i = 0; i < w * h; ++i) {
        dark.insert(dark.end(), {60, 20, 20});
        bright.insert(bright.end(), {220, 120, 110});
        wb.push_back(i % w < w / 2 ? 65535 : 0);
        wd.push_back(65535 - wb.back());
    }
    Params p{};
    const auto plain = fusiontest::fuse<uint16_t>({dark, bright}, {wd, wb}, w, h, p, 8);
    p[kFuSaturation] = 5;
    const auto vivid = fusiontest::fuse<uint16_t>({dark, bright}, {wd, wb}, w, h, p, 8);
    for (int y : {4, 16, 28}) {
        auto at = [&](const std::vector<int> &img, int x, int c) {
            return img[size_t((y * w + x) * 3 + c)];
        };
        EXPECT_NEAR(at(plain, 3, 0), 220, 2); // the bright frame on the left
        EXPECT_NEAR(at(plain, w - 4, 0), 60, 2);
        for (int x : {3, w - 4}) {
            EXPECT_GT(at(vivid, x, 0), at(vivid, x, 1)); // red stays red, and grows more saturated
            EXPECT_GT(at(vivid, x, 0) - at(vivid, x, 1), at(plain, x, 0) - at(plain, x, 1));
        }
    }
}
