// Exposure fusion out of core: the stack, the weight maps and the weight pyramids on temporary
// files give the fusion in memory, bit for bit, and no file is left, whatever happens.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fusion/exposure_fusion.h"
#include "fusion/pyramid_blend.h"
#include "imagecore/preview.h"
#include "tests/support/bracket_generator.h"
#include "tests/support/fixtures.h"
#include "tests/support/scratch_files.h"

namespace {

struct Case {
    int n, bpsIn, spp, poidsDepth, fusionDepth, is360;
};

// The fused output buffer (its first w x h x spp samples are the image) and the result.
std::pair<int, std::vector<uint16_t>> fuse(const std::vector<uint8_t> &stack, int w, int h,
                                           const Case &r, optim_param_struct optim,
                                           const std::vector<int> &fixed = {},
                                           const uint8_t *mask = nullptr)
{
    const int len = pyram_len(w, h);
    std::vector<uint16_t> out(size_t(r.spp * len * r.fusionDepth / 16));
    float p[kTmParamCount] = {};
    p[kFuAccentuation] = 2, p[kFuBlendingPoint] = 3, p[kFuShadows] = 1;
    const std::vector<int> none(size_t(r.n), -1);
    const int rc =
        kv_fusion(nullptr, p, r.n, w, h, r.spp * w, optim, 0, r.spp, r.bpsIn, 16, r.poidsDepth,
                  r.fusionDepth, len, r.is360, nullptr, stack.data(),
                  fixed.empty() ? none.data() : fixed.data(), mask, nullptr, out.data(), 0);
    out.resize(size_t(w) * size_t(h) * size_t(r.spp));
    return {rc, out};
}

} // namespace

// Every depth of weights and blending, grey and colour, 8- and 16-bit sources, the 360-degree
// wrap and ghost handling: the same image as in memory (with 4 workers there), no file left.
TEST(KvFusionOutOfCore, GivesTheFusionInMemoryAndLeavesNoFile)
{
    testsupport::PrivateTmp tmp;
    const int w = 53, h = 37;
    const auto map = testsupport::make_radiance_map(w, h);
    for (const Case r : {Case{3, 8, 3, 16, 16, 0}, Case{3, 8, 1, 8, 32, 1},
                         Case{2, 16, 3, 32, 16, 1}, Case{4, 16, 1, 16, 32, 0}}) {
        const auto stack = testsupport::render_bracket(map, {0.05f, 0.4f, 3, 12}, r.bpsIn, r.spp);
        const std::vector<uint8_t> photos(
            stack.begin(),
            stack.begin() + ptrdiff_t(size_t(r.n) * w * h * r.spp * size_t(r.bpsIn / 8)));
        const auto mem = fuse(photos, w, h, r, {4, 0, {}});
        const auto disk = fuse(photos, w, h, r, {4, 1, {}});
        ASSERT_EQ(mem.first, w * h * r.spp);
        EXPECT_EQ(disk.first, mem.first);
        EXPECT_EQ(disk.second, mem.second) << r.n << " " << r.bpsIn << " " << r.spp;
        EXPECT_TRUE(tmp.entries().empty());
    }
    // Ghost handling reads the mask rows at their place out of core too.
    const Case r{3, 8, 3, 16, 16, 0};
    const auto stack = testsupport::render_bracket(map, {0.05f, 0.4f, 3}, 8, 3);
    std::vector<uint8_t> mask(size_t(3 * w * h + 7) / 8);
    for (size_t i = 0; i < mask.size(); ++i)
        mask[i] = uint8_t(i * 37);
    const std::vector<int> fixed = {2, 0, -1};
    EXPECT_EQ(fuse(stack, w, h, r, {1, 1, {}}, fixed, mask.data()),
              fuse(stack, w, h, r, {3, 0, {}}, fixed, mask.data()));
}

// Files that cannot be made or written: the fusion falls back to memory (two 8-bit photos stay
// there anyway) with the same image, or fails when the weights find no room; never a file left.
TEST(KvFusionOutOfCore, FallsBackOrFailsAndLeavesNoFile)
{
    testsupport::PrivateTmp tmp;
    const int w = 64, h = 48;
    const Case grey{3, 8, 1, 16, 16, 0};
    const auto stack =
        testsupport::render_bracket(testsupport::make_radiance_map(w, h), {0.1f, 1, 8}, 8, 1);
    const auto mem = fuse(stack, w, h, grey, {1, 0, {}});
    ASSERT_EQ(mem.first, w * h);
    // A slot whose path exists is not taken: in memory, the file untouched.
    const std::string taken = tmp.path("taken");
    testsupport::write_file(taken, {42});
    EXPECT_EQ(fuse(stack, w, h, grey, {1, 1, {nullptr, taken.c_str()}}), mem);
    EXPECT_EQ(testsupport::read_file(taken), testsupport::Bytes{42});
    EXPECT_EQ(tmp.entries(), std::vector<std::string>{"taken"});
    {
        // No room for the stack: in memory. Room for the stack (w h n bytes) but not for the
        // 16-bit weight maps (twice that): -2.
        testsupport::FileSizeLimit full(1000);
        EXPECT_EQ(fuse(stack, w, h, grey, {1, 1, {}}), mem);
        testsupport::FileSizeLimit tight(uint64_t(w) * h * 3 + 100);
        EXPECT_EQ(fuse(stack, w, h, grey, {1, 1, {}}).first, -2);
        // Two 8-bit photos are fused in memory, whatever the disk holds.
        const std::vector<uint8_t> two(stack.begin(), stack.begin() + 2 * w * h);
        EXPECT_EQ(fuse(two, w, h, {2, 8, 1, 16, 16, 0}, {1, 1, {}}).first, w * h);
    }
    EXPECT_EQ(tmp.entries(), std::vector<std::string>{"taken"});
}

// fusion22 with its weight pyramid on file: the sums of the pyramid in memory; a file that ends
// early stops the blend with -3.
TEST(KvFusionOutOfCore, BlendReadsTheWeightPyramidFromItsFile)
{
    const int w = 21, h = 14, L = pyram_levels(w, h), len = pyram_len(w, h);
    std::vector<uint16_t> weights(static_cast<size_t>(len)), photo(3 * weights.size()),
        row(static_cast<size_t>(w));
    for (int i = 0; i < w * h; ++i)
        weights[size_t(i)] = uint16_t(i * 977 % 65536);
    fusion21(L, w, h, 16, 0, weights.data());
    for (int i = 0; i < 3 * w * h; ++i)
        photo[size_t(i)] = uint16_t(i * 131 % 32768);
    auto file_of = [&](size_t count) { // the first count weights of the pyramid
        FILE *f = ::tmpfile();
        std::fwrite(weights.data(), 2, count, f);
        return f;
    };
    FILE *f = file_of(weights.size());
    for (int rangMax : {L, 0}) {
        auto outMem = photo, outDisk = photo;
        std::vector<uint16_t> mem(photo.size(), 32767), disk = mem;
        ASSERT_EQ(fusion22(rangMax, w, h, 3, 16, 16, 16, 0, weights.data(), nullptr, nullptr,
                           outMem.data(), mem.data()),
                  rangMax + 1);
        ASSERT_EQ(fusion22(rangMax, w, h, 3, 16, 16, 16, 0, nullptr, f, row.data(), outDisk.data(),
                           disk.data()),
                  rangMax + 1);
        EXPECT_EQ(disk, mem) << rangMax;
    }
    std::fclose(f);
    // The coarsest level cut, then level 0 ending in its fourth row.
    for (size_t count : {weights.size() - 5, size_t(w) * 3}) {
        std::vector<uint16_t> blended(photo.size());
        auto out = photo;
        f = file_of(count);
        EXPECT_EQ(
            fusion22(L, w, h, 3, 16, 16, 16, 0, nullptr, f, row.data(), out.data(), blended.data()),
            -3)
            << count;
        std::fclose(f);
    }
}
