// The exposure-fusion driver: refusals before any work, its progress, each photo blended with its
// own weights (against the stages run by hand), identical frames fusing to the frame, thread
// counts and blending depths, and fused brackets of a known scene against the scene.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "fusion/exposure_fusion.h"
#include "fusion/weight_maps.h"
#include "imagecore/preview.h"
#include "tests/fusion/fusion_reference.h"
#include "tests/support/bracket_generator.h"

using fusiontest::Params;
using testsupport::make_radiance_map;
using testsupport::render_bracket;

namespace {

std::vector<float> g_fractions;
void record_progress(int *, float fraction)
{
    g_fractions.push_back(fraction);
}

struct Call {
    int n, w, h, spp = 3, bpsIn = 8, bpsOut = 16, threads = 1, fusionDepth = 16, is360 = 0;
    Params p{};
};

// The fused image (w x h x spp output samples), empty on failure.
std::vector<int> fuse(const std::vector<uint8_t> &stack, const Call &c)
{
    const int len = pyram_len(c.w, c.h);
    std::vector<uint16_t> out(size_t(c.spp * len * c.fusionDepth / 16));
    optim_param_struct optim;
    init_optim_param(&optim);
    optim.nbProc = c.threads;
    const std::vector<int> fixed(size_t(c.n), -1);
    const int rc = kv_fusion(record_progress, c.p.data(), c.n, c.w, c.h, c.spp * c.w, optim, 0,
                             c.spp, c.bpsIn, c.bpsOut, 16, c.fusionDepth, len, c.is360, nullptr,
                             stack.data(), fixed.data(), nullptr, nullptr, out.data(), 0);
    std::vector<int> image;
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(out.data());
    for (size_t i = 0; rc == c.w * c.h * c.spp && i < size_t(rc); ++i)
        image.push_back(c.bpsOut == 8 ? bytes[i] : out[i]);
    return image;
}

} // namespace

TEST(KvFusion, RefusesBeforeAnyWork)
{
    // n, w, h, spp, bpsIn, bpsOut, weight and blending depths, lenPyram and rowLen shortfalls.
    const std::vector<uint8_t> stack(3 * 16 * 16 * 3, 100);
    const Params p{};
    for (auto [rc, n, w, h, spp, in, out, poids, depth, lenLess, rowLess] :
         {std::array{-2, 3, 16, 16, 3, 32, 16, 16, 16, 0, 0}, // 32-bit input, 16-bit output
          {-3, 3, 16, 16, 3, 32, 32, 16, 32, 0, 0},           // 32-bit output is never written
          {-3, 3, 16, 3, 3, 8, 16, 16, 16, 0, 0},             // a short side of 3: no level
          {-3, 0, 16, 16, 3, 8, 16, 16, 16, 0, 0},
          {-3, 3, -16, 16, 3, 8, 16, 16, 16, 0, 0},
          {-3, 3, 16, 16, 2, 8, 16, 16, 16, 0, 0},
          {-3, 3, 16, 16, 3, 12, 16, 16, 16, 0, 0},
          {-3, 3, 16, 16, 3, 8, 16, 12, 16, 0, 0},
          {-3, 3, 16, 16, 3, 8, 16, 16, 8, 0, 0},
          {-3, 3, 16, 16, 3, 8, 16, 16, 16, 1, 0},
          {-3, 3, 16, 16, 3, 8, 16, 16, 16, 0, 1},
          {-3, 3, 16, 16, 3, 8, 16, 16, 16, 0, -96}}) { // rows past the end of out
        const int len = pyram_len(16, 16);
        std::vector<uint16_t> buffer(size_t(3 * len * 2), 7);
        optim_param_struct optim;
        init_optim_param(&optim);
        g_fractions.clear();
        EXPECT_EQ(kv_fusion(record_progress, p.data(), n, w, h, spp * w - rowLess, optim, 0, spp,
                            in, out, poids, depth, len - lenLess, 0, nullptr, stack.data(), nullptr,
                            nullptr, nullptr, buffer.data(), 0),
                  rc)
            << n << " " << w << " " << h << " " << spp << " " << in << " " << out;
        EXPECT_TRUE(g_fractions.empty());
        EXPECT_EQ(buffer, std::vector<uint16_t>(buffer.size(), 7));
    }
    EXPECT_EQ(kv_fusion(nullptr, p.data(), 3, 16, 16, 48, {}, 0, 3, 8, 16, 16, 16, 340, 0, nullptr,
                        nullptr, nullptr, nullptr, nullptr, nullptr, 0),
              -3);
    EXPECT_EQ(fuse(stack, Call{3, 4, 4}).size(), 4u * 4 * 3); // the smallest image with a level
}

TEST(KvFusion, ProgressAfterWeightsEachPhotoAndTheEnd)
{
    const auto stack = render_bracket(make_radiance_map(40, 30), {0.1f, 0.5f, 2, 8}, 8, 3);
    for (auto [depth, f] :
         {std::pair{16, std::vector<float>{0.3f, 0.425f, 0.55f, 0.675f, 0.8f, 0.95f}},
          {32, std::vector<float>{0.1f, 0.275f, 0.45f, 0.625f, 0.8f, 0.95f}}}) {
        g_fractions.clear();
        Call c{4, 40, 30};
        c.fusionDepth = depth;
        ASSERT_FALSE(fuse(stack, c).empty());
        ASSERT_EQ(g_fractions.size(), f.size());
        for (size_t k = 0; k < f.size(); ++k)
            EXPECT_NEAR(g_fractions[k], f[k], 1e-6) << depth << " " << k;
    }
}

TEST(KvFusion, BlendsEveryPhotoWithItsOwnWeights)
{
    // The weight stage's maps run through the pyramid stages by hand, photo by photo: the driver
    // must pair each photo with its map and prepare the blended pyramid the same way. Worker
    // counts change nothing; float blending avoids truncations: within 2 output levels.
    const int w = 61, h = 45, P = w * h;
    const auto stack = render_bracket(make_radiance_map(w, h), {0.05f, 0.4f, 3}, 8, 3);
    Params p{};
    p[kFuAccentuation] = 2, p[kFuBlendingPoint] = 3, p[kFuShadows] = 1, p[kFuSaturation] = 2;
    std::vector<uint16_t> poids(size_t(3 * P));
    ASSERT_GT(fusion1(1, p.data(), 3, w, h, 3, 8, 16, 0, nullptr, 0, nullptr, nullptr, stack.data(),
                      nullptr, nullptr, nullptr, poids.data()),
              0);
    std::vector<std::vector<uint8_t>> photos;
    std::vector<std::vector<uint16_t>> maps;
    for (long k = 0; k < 3; ++k) {
        photos.emplace_back(stack.begin() + k * P * 3, stack.begin() + (k + 1) * P * 3);
        maps.emplace_back(poids.begin() + k * P, poids.begin() + (k + 1) * P);
    }
    for (int bpsOut : {8, 16})
        for (int is360 : {0, 1}) {
            Call c{3, w, h, 3, 8, bpsOut, 1, 16, is360, p};
            const auto fused = fuse(stack, c);
            EXPECT_EQ(fused, fusiontest::fuse<uint16_t>(photos, maps, w, h, p, bpsOut, is360));
            c.threads = 8;
            EXPECT_EQ(fuse(stack, c), fused);
            c.fusionDepth = 32;
            const auto floats = fuse(stack, c);
            ASSERT_EQ(floats.size(), fused.size());
            for (size_t i = 0; i < fused.size(); ++i)
                ASSERT_LE(std::abs(floats[i] - fused[i]), bpsOut == 8 ? 2 : 512) << i;
        }
}

TEST(KvFusion, IdenticalPhotosFuseToThePhoto)
{
    // Three copies blend the photo's own pyramid, which collapses back to it but for truncated
    // weighted band values (under one 15-bit unit a level) and the reduced border weights'
    // 0.9998: within 2 output levels, for every depth and grey too.
    const int w = 57, h = 41;
    for (int spp : {1, 3})
        for (int bpsIn : {8, 16})
            for (int depth : {16, 32}) {
                const auto one =
                    testsupport::render_photo(make_radiance_map(w, h), 0.6f, bpsIn, spp);
                std::vector<uint8_t> stack = one;
                stack.insert(stack.end(), one.begin(), one.end());
                stack.insert(stack.end(), one.begin(), one.end());
                const auto fused = fuse(stack, Call{3, w, h, spp, bpsIn, 16, 2, depth});
                ASSERT_EQ(fused.size(), size_t(w * h * spp));
                for (size_t i = 0; i < fused.size(); ++i) {
                    const int in = bpsIn == 8 ? one[i] << 8
                                              : reinterpret_cast<const uint16_t *>(one.data())[i];
                    ASSERT_LE(std::abs(fused[i] - (in & ~1)), 512)
                        << spp << " " << bpsIn << " " << depth << " " << i;
                }
            }
}

TEST(KvFusion, FusedBracketsShowTheScene)
{
    // Three photos four stops apart of a twelve-stop scene: the result follows the scene's log
    // luminance (0.98 here) and a fused pixel keeps the hue its photos show (gamma-encoded):
    // within a degree.
    const int w = 192, h = 128;
    const auto map = make_radiance_map(w, h);
    for (int spp : {3, 1})
        for (int bpsIn : {8, 16})
            for (int bpsOut : {8, 16}) {
                const auto stack = render_bracket(map, {1 / 64.0f, 0.25f, 4}, bpsIn, spp);
                std::vector<double> unit;
                for (int v : fuse(stack, Call{3, w, h, spp, bpsIn, bpsOut, 4}))
                    unit.push_back(v / (bpsOut == 8 ? 255.0 : 65535.0));
                const auto m = testsupport::scene_match(unit, spp, map, 1 / 2.2);
                EXPECT_GT(m.correlation, 0.95) << spp << " " << bpsIn << " " << bpsOut;
                for (double e : m.hueError)
                    EXPECT_LT(e, 2.0) << spp << " " << bpsIn << " " << bpsOut;
            }
}
