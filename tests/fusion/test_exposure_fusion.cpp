// The exposure-fusion driver: refusals (before any work), its progress fractions, identical
// frames fusing to the frame, thread counts, depths and channel order, and fused brackets of a
// known scene against the scene.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <vector>

#include "fusion/exposure_fusion.h"
#include "fusion/weight_maps.h"
#include "imagecore/preview.h"
#include "tests/fusion/fusion_reference.h"
#include "tests/support/bracket_generator.h"
#include "tests/support/image_compare.h"

using fusiontest::Params;
using testsupport::make_radiance_map;
using testsupport::render_bracket;

namespace {

struct Fused {
    int rc = 0;
    std::vector<int> image; // w x h x spp output samples
};

struct Call {
    int n, w, h, spp = 3;
    int bpsIn = 8, bpsOut = 16, threads = 1, fusionDepth = 16, poidsDepth = 16;
    Params p{};
    int bgr = 0, is360 = 0;
    progressCallback callback = nullptr;
};

Fused fuse(const std::vector<uint8_t> &stack, const Call &c)
{
    const int len = pyram_len(c.w, c.h);
    std::vector<uint16_t> out(size_t(c.spp) * size_t(len) * size_t(c.fusionDepth / 16));
    optim_param_struct optim;
    init_optim_param(&optim);
    optim.nbProc = c.threads;
    const std::vector<int> fixed(size_t(c.n), -1);
    Fused f;
    f.rc = kv_fusion(c.callback, c.p.data(), c.n, c.w, c.h, c.spp * c.w, optim, c.bgr, c.spp,
                     c.bpsIn, c.bpsOut, c.poidsDepth, c.fusionDepth, len, c.is360, nullptr,
                     stack.data(), fixed.data(), nullptr, nullptr, out.data(), 0);
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(out.data());
    for (size_t i = 0; f.rc > 0 && i < size_t(c.w * c.h * c.spp); ++i)
        f.image.push_back(c.bpsOut == 8 ? bytes[i] : out[i]);
    return f;
}

// The output scaled to 0..1.
std::vector<double> unit(const Fused &f, int bpsOut)
{
    std::vector<double> v;
    for (int s : f.image)
        v.push_back(s / (bpsOut == 8 ? 255.0 : 65535.0));
    return v;
}

std::vector<float> g_fractions;
void record_progress(int *, float fraction)
{
    g_fractions.push_back(fraction);
}

} // namespace

TEST(KvFusion, RefusesBeforeAnyWork)
{
    const std::vector<uint8_t> stack(3 * 16 * 16 * 3, 100);
    const Params p{};
    struct Case {
        const char *what;
        int rc, n, w, h, spp, bpsIn, bpsOut, poids, fusion, lenLess, rowLess;
        bool nullParam = false, nullImages = false, nullOut = false;
    };
    for (const Case &c : std::vector<Case>{
             {"32-bit input, 16-bit output", -2, 3, 16, 16, 3, 32, 16, 16, 16, 0, 0},
             {"32-bit input, 16-bit blending", -2, 3, 16, 16, 3, 32, 32, 16, 16, 0, 0},
             {"32 bits throughout: no output", -3, 3, 16, 16, 3, 32, 32, 16, 32, 0, 0},
             {"32-bit output", -3, 3, 16, 16, 3, 8, 32, 16, 16, 0, 0},
             {"short side 3: no level", -3, 3, 16, 3, 3, 8, 16, 16, 16, 0, 0},
             {"short side 1", -3, 3, 1, 16, 3, 8, 16, 16, 16, 0, 0},
             {"no photos", -3, 0, 16, 16, 3, 8, 16, 16, 16, 0, 0},
             {"negative width", -3, 3, -16, 16, 3, 8, 16, 16, 16, 0, 0},
             {"two samples", -3, 3, 16, 16, 2, 8, 16, 16, 16, 0, 0},
             {"12-bit input", -3, 3, 16, 16, 3, 12, 16, 16, 16, 0, 0},
             {"12-bit weights", -3, 3, 16, 16, 3, 8, 16, 12, 16, 0, 0},
             {"8-bit blending", -3, 3, 16, 16, 3, 8, 16, 16, 8, 0, 0},
             {"short pyramid", -3, 3, 16, 16, 3, 8, 16, 16, 16, 1, 0},
             {"short rows", -3, 3, 16, 16, 3, 8, 16, 16, 16, 0, 1},
             {"long rows past out", -3, 3, 16, 16, 3, 8, 16, 16, 16, 0, -3 * 16 * 2},
             {"null record", -3, 3, 16, 16, 3, 8, 16, 16, 16, 0, 0, true},
             {"null photos", -3, 3, 16, 16, 3, 8, 16, 16, 16, 0, 0, false, true},
             {"null out", -3, 3, 16, 16, 3, 8, 16, 16, 16, 0, 0, false, false, true}}) {
        const int len = pyram_len(16, 16);
        std::vector<uint16_t> out(size_t(3 * len * 2), 7);
        optim_param_struct optim;
        init_optim_param(&optim);
        g_fractions.clear();
        const int rc =
            kv_fusion(record_progress, c.nullParam ? nullptr : p.data(), c.n, c.w, c.h,
                      c.spp * c.w - c.rowLess, optim, 0, c.spp, c.bpsIn, c.bpsOut, c.poids,
                      c.fusion, len - c.lenLess, 0, nullptr, c.nullImages ? nullptr : stack.data(),
                      nullptr, nullptr, nullptr, c.nullOut ? nullptr : out.data(), 0);
        EXPECT_EQ(rc, c.rc) << c.what;
        EXPECT_TRUE(g_fractions.empty()) << c.what;
        EXPECT_EQ(out, std::vector<uint16_t>(out.size(), 7)) << c.what;
    }
    // The smallest image with a level: 4 x 4.
    Call call{3, 4, 4};
    EXPECT_EQ(fuse(stack, call).rc, 4 * 4 * 3);
}

TEST(KvFusion, ProgressAfterWeightsEachPhotoAndTheEnd)
{
    const auto stack = render_bracket(make_radiance_map(40, 30), {0.1f, 0.5f, 2, 8}, 8, 3);
    for (auto [depth, expected] :
         {std::pair{16, std::vector<float>{0.3f, 0.425f, 0.55f, 0.675f, 0.8f, 0.95f}},
          {32, std::vector<float>{0.1f, 0.275f, 0.45f, 0.625f, 0.8f, 0.95f}}}) {
        g_fractions.clear();
        Call c{4, 40, 30};
        c.fusionDepth = depth;
        c.callback = record_progress;
        ASSERT_EQ(fuse(stack, c).rc, 40 * 30 * 3);
        ASSERT_EQ(g_fractions.size(), expected.size());
        for (size_t k = 0; k < expected.size(); ++k)
            EXPECT_NEAR(g_fractions[k], expected[k], 1e-6) << depth << " " << k;
    }
}

TEST(KvFusion, IdenticalPhotosFuseToThePhoto)
{
    // Three copies share every weight; what they blend is the photo's own pyramid, which
    // collapses back to it but for the truncation of weighted band values (below one 15-bit
    // unit a level) and the reduced border weights' 0.9998: within 2 output levels.
    const int w = 57, h = 41;
    const auto map = make_radiance_map(w, h);
    for (int spp : {1, 3})
        for (int bpsIn : {8, 16})
            for (int bpsOut : {8, 16})
                for (int depth : {16, 32}) {
                    const auto one = testsupport::render_photo(map, 0.6f, bpsIn, spp);
                    std::vector<uint8_t> stack;
                    for (int k = 0; k < 3; ++k)
                        stack.insert(stack.end(), one.begin(), one.end());
                    Call c{3, w, h, spp, bpsIn, bpsOut, 2, depth};
                    const Fused f = fuse(stack, c);
                    ASSERT_EQ(f.rc, w * h * spp);
                    const double level = bpsOut == 8 ? 1 : 256;
                    double worst = 0;
                    for (size_t i = 0; i < f.image.size(); ++i) {
                        const double in =
                            bpsIn == 8 ? one[i] * 128.0
                                       : reinterpret_cast<const uint16_t *>(one.data())[i] / 2;
                        const double expected = bpsOut == 8 ? std::floor(in / 128) : in * 2;
                        worst = std::max(worst, std::fabs(f.image[i] - expected) / level);
                    }
                    EXPECT_LE(worst, 2) << spp << " " << bpsIn << " " << bpsOut << " " << depth;
                }
}

TEST(KvFusion, BlendsEveryPhotoWithItsOwnWeights)
{
    // The pyramid stages run by hand over the weight stage's maps, photo by photo: the driver
    // must pair each photo with its own map and prepare the blended pyramid the same way.
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
    for (size_t k = 0; k < 3; ++k) {
        photos.emplace_back(stack.begin() + long(k * P * 3), stack.begin() + long((k + 1) * P * 3));
        maps.emplace_back(poids.begin() + long(k * P), poids.begin() + long((k + 1) * P));
    }
    for (int bpsOut : {8, 16})
        for (int is360 : {0, 1}) {
            Call c{3, w, h, 3, 8, bpsOut, 3};
            c.p = p, c.is360 = is360;
            EXPECT_EQ(fuse(stack, c).image,
                      fusiontest::fuse<uint16_t>(photos, maps, w, h, p, bpsOut, is360 != 0))
                << bpsOut << " " << is360;
        }
}

TEST(KvFusion, ThreadCountsAndBlendingDepthAgree)
{
    const int w = 96, h = 64;
    const auto stack = render_bracket(make_radiance_map(w, h), {0.05f, 0.4f, 3}, 8, 3);
    Call c{3, w, h};
    c.p[kFuAccentuation] = 3, c.p[kFuBlendingPoint] = 2, c.p[kFuShadows] = 1;
    const Fused one = fuse(stack, c);
    ASSERT_GT(one.rc, 0);
    c.threads = 8;
    EXPECT_EQ(fuse(stack, c).image, one.image);
    // Float blending avoids the integer truncations: within 2 levels of 8 bits.
    c.fusionDepth = 32;
    const Fused floats = fuse(stack, c);
    ASSERT_GT(floats.rc, 0);
    double worst = 0;
    for (size_t i = 0; i < one.image.size(); ++i)
        worst = std::max(worst, std::fabs(floats.image[i] - one.image[i]) / 256);
    EXPECT_LE(worst, 2);
    // Blue first swaps the outer samples of every pixel and nothing else.
    c.fusionDepth = 16, c.bgr = 1;
    const Fused bgr = fuse(stack, c);
    for (size_t i = 0; i < one.image.size(); i += 3) {
        ASSERT_EQ(bgr.image[i], one.image[i + 2]);
        ASSERT_EQ(bgr.image[i + 1], one.image[i + 1]);
    }
}

TEST(KvFusion, FusedBracketsShowTheScene)
{
    // Three photos four stops apart of a twelve-stop scene, every source and output depth, RGB
    // and grey: the result follows the scene's log luminance and keeps the patches' hues.
    const int w = 192, h = 128;
    const auto map = make_radiance_map(w, h);
    for (int spp : {3, 1})
        for (int bpsIn : {8, 16})
            for (int bpsOut : {8, 16}) {
                const auto stack = render_bracket(map, {1 / 64.0f, 0.25f, 4}, bpsIn, spp);
                const Fused f = fuse(stack, Call{3, w, h, spp, bpsIn, bpsOut, 4});
                ASSERT_EQ(f.rc, w * h * spp);
                const auto m = testsupport::scene_match(unit(f, bpsOut), spp, map, 2.2);
                const auto where = testing::Message() << spp << " " << bpsIn << " " << bpsOut;
                // Local contrast bends the curve: 0.98 here.
                EXPECT_GT(m.correlation, 0.95) << where;
                // A fused pixel takes the hue a photo shows (gamma-encoded): within a degree.
                for (double e : m.hueError)
                    EXPECT_LT(e, 2.0) << where;
            }
}

TEST(KvFusion, BlendingPointFavoursBrightOrDarkPhotos)
{
    const int w = 64, h = 48;
    const auto stack = render_bracket(make_radiance_map(w, h), {0.05f, 0.4f, 3}, 8, 3);
    double mean[2];
    for (int k = 0; k < 2; ++k) {
        Call c{3, w, h};
        c.p[kFuBlendingPoint] = k == 0 ? -8.0f : 8.0f;
        const Fused f = fuse(stack, c);
        ASSERT_GT(f.rc, 0);
        const auto v = unit(f, 16);
        mean[k] = std::accumulate(v.begin(), v.end(), 0.0) / double(v.size());
    }
    EXPECT_GT(mean[1], mean[0] + 0.05);
}
