// The road's noise reduction on generated noisy brackets: which photos it denoises (the darkest,
// by the metadata's exposures or else by brightness), that they come out closer to the clean
// scene, grey photos, thread counts and a machine without the memory for it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/road.h"
#include "imagecore/records.h"
#include "metadata/exif_records.h"
#include "metadata/tiff_writer.h"
#include "tests/support/bracket_generator.h"
#include "tests/support/fixtures.h"
#include "tests/support/noise.h"

using namespace testsupport;

namespace {

constexpr int kW = 160, kH = 120;
constexpr double kSigma = 6; // 8-bit codes: a photo at a high ISO

struct Shot {
    float exposure; // radiance factor of the rendering
    int den;        // EXIF exposure time 1/den s at f/8, ISO 100; 0: no exposure time
};

// A bracket of the scene, one noisy 8-bit TIFF a shot (lossless: the noise reaches the stack as
// made; grey photos, which TIFFs cannot give the driver, as JPEGs of quality 100 without EXIF),
// probed and decoded; clean holds each photo as rendered before the noise.
struct NoisyBracket {
    TempDir dir;
    app::Document doc;
    std::vector<std::vector<uint8_t>> clean;

    NoisyBracket(const std::vector<Shot> &shots, int spp = 3)
    {
        const RadianceMap scene = make_radiance_map(kW, kH);
        std::vector<std::string> paths;
        for (size_t k = 0; k < shots.size(); ++k) {
            clean.push_back(render_photo(scene, shots[k].exposure, 8, spp));
            std::vector<uint8_t> noisy = clean.back();
            add_seeded_noise(noisy, 8, kSigma, 1000 + k);
            int32_t exif[kExifBufCount] = {}, gps[kGpsBufCount] = {}, info[kSaveInfoCount] = {};
            if (shots[k].den > 0) {
                exif[kExifExposureNum] = 1, exif[kExifExposureDen] = shots[k].den;
                exif[kExifFNumberNum] = 8, exif[kExifFNumberDen] = 1, exif[kExifIso] = 100;
            }
            info[kSaveWidth] = kW, info[kSaveHeight] = kH, info[kSaveSamples] = 3;
            info[kSaveBits] = 8;
            if (spp == 1) {
                paths.push_back(dir.file("p" + std::to_string(k) + ".jpg"));
                EXPECT_TRUE(write_file(paths.back(), encode_jpeg(noisy.data(), kW, kH, 1, 100)));
                continue;
            }
            paths.push_back(dir.file("p" + std::to_string(k) + ".tif"));
            EXPECT_EQ(buf2tif(noisy.data(), info, kW * 3, nullptr, exif, gps, 0, nullptr, 0,
                              nullptr, 0, nullptr, paths.back().c_str()),
                      kH);
        }
        EXPECT_FALSE(app::check_and_probe(paths, &doc));
        EXPECT_FALSE(app::decode_stack(&doc));
    }

    size_t photo_bytes() const { return size_t(kW) * kH * size_t(doc.spp); }
    std::vector<uint8_t> stack() const
    {
        return std::vector<uint8_t>(doc.stack->bytes(), doc.stack->bytes() + doc.stack->length());
    }
    const uint8_t *photo(const std::vector<uint8_t> &stack, size_t k) const
    {
        return stack.data() + k * photo_bytes();
    }
    double psnr(const std::vector<uint8_t> &stack, size_t k) const
    {
        return psnr8(clean[k].data(), photo(stack, k), photo_bytes());
    }
};

// Runs denoise_stack(count) on the bracket and returns, per photo, whether it changed.
std::vector<bool> denoised(NoisyBracket &b, int count, int threads = 2)
{
    const std::vector<uint8_t> before = b.stack();
    EXPECT_EQ(app::denoise_stack(&b.doc, count, threads), "");
    const std::vector<uint8_t> after = b.stack();
    std::vector<bool> changed;
    for (size_t k = 0; k < b.clean.size(); ++k)
        changed.push_back(std::memcmp(b.photo(before, k), b.photo(after, k), b.photo_bytes()) != 0);
    return changed;
}

// Denoises the darkest photo, which must be photo k, and checks that it came closer to the
// clean scene. Sigma 6 is 32.6 dB; the filter keeps 30 % of the source's luma and fades out
// above mid-grey, so a dark photo gains about 4 dB (a bright one, where it does little, none).
void expect_darkest_cleaner(NoisyBracket &b, size_t k)
{
    const std::vector<uint8_t> before = b.stack();
    std::vector<bool> want(b.clean.size(), false);
    want[k] = true;
    EXPECT_EQ(denoised(b, 1), want);
    EXPECT_GT(b.psnr(b.stack(), k), b.psnr(before, k) + 3);
}

using Changed = std::vector<bool>;

// How a denoised photo compares with its source: the fine-scale noise in the shadows (the mean
// distance of each sample to its 3 x 3 mean where that mean's luma is 6..80: dark but not
// crushed) and the contrast of the strongest edges (the luma steps to the right and below,
// summed, at the 2 % of pixels where the source has its largest), after over before.
struct CleanerAndSharp {
    double noise = 0, edges = 0;
};
CleanerAndSharp compare_denoised(const uint8_t *before, const uint8_t *after, int w, int h)
{
    auto luma = [w](const uint8_t *p, int x, int y) {
        const uint8_t *s = p + (size_t(y) * size_t(w) + size_t(x)) * 3;
        return (s[0] + s[1] + s[2]) / 3.0;
    };
    auto step = [&](const uint8_t *p, int x, int y) {
        return std::fabs(luma(p, x + 1, y) - luma(p, x, y)) +
               std::fabs(luma(p, x, y + 1) - luma(p, x, y));
    };
    std::vector<double> steps;
    for (int y = 1; y < h - 1; ++y)
        for (int x = 1; x < w - 1; ++x)
            steps.push_back(step(before, x, y));
    auto top = steps.begin() + long(steps.size() * 98 / 100);
    std::nth_element(steps.begin(), top, steps.end());
    const double strong = *top;

    double noise[2] = {}, edges[2] = {};
    for (int y = 1; y < h - 1; ++y)
        for (int x = 1; x < w - 1; ++x) {
            double mean[2][3] = {};
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx)
                    for (int c = 0; c < 3; ++c) {
                        const size_t i = (size_t(y + dy) * size_t(w) + size_t(x + dx)) * 3 + c;
                        mean[0][c] += before[i] / 9.0, mean[1][c] += after[i] / 9.0;
                    }
            const double l = (mean[0][0] + mean[0][1] + mean[0][2]) / 3;
            const bool edge = step(before, x, y) >= strong;
            for (int k = 0; k < 2; ++k) {
                const uint8_t *p = k ? after : before;
                const size_t i = (size_t(y) * size_t(w) + size_t(x)) * 3;
                if (l >= 6 && l <= 80)
                    for (int c = 0; c < 3; ++c)
                        noise[k] += std::fabs(p[i + c] - mean[k][c]);
                if (edge)
                    edges[k] += step(p, x, y);
            }
        }
    return {noise[1] / noise[0], edges[1] / edges[0]};
}

} // namespace

// With an exposure time in every photo the darkest photos go first, by the metadata even where
// the pixels would say otherwise; a count past the photos takes them all.
TEST(DenoiseStack, TakesTheDarkestPhotosByTheirExposures)
{
    const std::vector<Shot> shots = {{0.25f, 64}, {1 / 64.0f, 1024}, {4.0f, 4}};
    {
        NoisyBracket b(shots);
        ASSERT_EQ(b.doc.exif, 1);
        expect_darkest_cleaner(b, 1);
    }
    {
        NoisyBracket b(shots);
        EXPECT_EQ(denoised(b, 2), (Changed{true, true, false}));
    }
    {
        NoisyBracket b(shots);
        EXPECT_EQ(denoised(b, 9), (Changed{true, true, true}));
    }
    {
        NoisyBracket b({{0.25f, 1024}, {1 / 64.0f, 64}, {4.0f, 4}});
        EXPECT_EQ(denoised(b, 1), (Changed{true, false, false}));
    }
}

// Without an exposure time in every photo the darkest is the one of least mean brightness.
TEST(DenoiseStack, WithoutExposuresTakesTheDarkestByBrightness)
{
    for (const auto &shots : {std::vector<Shot>{{4.0f, 0}, {0.25f, 0}, {1 / 64.0f, 0}},
                              std::vector<Shot>{{4.0f, 4}, {0.25f, 0}, {1 / 64.0f, 1024}}}) {
        NoisyBracket one(shots), two(shots);
        ASSERT_EQ(one.doc.exif, 0);
        expect_darkest_cleaner(one, 2);
        EXPECT_EQ(denoised(two, 2), (Changed{false, true, true}));
    }
}

// Grey photos go through the filter as RGB and come back as grey photos, cleaner.
TEST(DenoiseStack, GreyPhotosAreDenoisedToo)
{
    NoisyBracket b({{1 / 64.0f, 0}, {0.25f, 0}, {4.0f, 0}}, 1);
    ASSERT_EQ(b.doc.spp, 1);
    const std::vector<uint8_t> before = b.stack();
    EXPECT_EQ(denoised(b, 1), (Changed{true, false, false}));
    EXPECT_GT(b.psnr(b.stack(), 0), b.psnr(before, 0) + 3);
}

// One worker or eight (or the processor count) give the same stack.
TEST(DenoiseStack, ThreadCountsGiveTheSameStack)
{
    const std::vector<Shot> shots = {{1 / 64.0f, 1024}, {0.25f, 64}, {4.0f, 4}};
    NoisyBracket one(shots), eight(shots), all(shots);
    denoised(one, 2, 1);
    denoised(eight, 2, 8);
    denoised(all, 2, 0);
    EXPECT_EQ(one.stack(), eight.stack());
    EXPECT_EQ(one.stack(), all.stack());
}

// Nothing asked, or not the memory for it: the stack stays as decoded; the latter says so.
TEST(DenoiseStack, LeavesTheStackWhenNotAskedOrShortOfMemory)
{
    NoisyBracket b({{1 / 64.0f, 1024}, {0.25f, 64}});
    const std::vector<uint8_t> before = b.stack();
    EXPECT_EQ(app::denoise_stack(&b.doc, 0, 1), "");
    const std::string note = app::denoise_stack(&b.doc, 1, 1, b.doc.stack->length() + 1000);
    EXPECT_NE(note.find("noise reduction skipped: it needs"), std::string::npos) << note;
    EXPECT_EQ(b.stack(), before);
}

// The darkest photo of each real bracket (by its EXIF exposure: time, f-number and ISO) is the
// one denoised: cleaner in the shadows, its edges kept.
class RealBracketNoise : public ::testing::TestWithParam<std::pair<const char *, size_t>> {};

TEST_P(RealBracketNoise, TheDarkestPhotoComesOutCleanerWithItsEdges)
{
    const auto [name, darkest] = GetParam();
    std::vector<std::string> paths;
    std::error_code ec;
    for (const auto &e :
         std::filesystem::directory_iterator(std::string(HDR_TESTDATA_DIR) + "/" + name, ec))
        if (e.path().extension() != ".md")
            paths.push_back(e.path().string());
    if (paths.empty())
        GTEST_SKIP() << "no photos in " << HDR_TESTDATA_DIR << "/" << name;
    std::sort(paths.begin(), paths.end());
    app::Document doc;
    ASSERT_FALSE(app::check_and_probe(paths, &doc));
    ASSERT_FALSE(app::decode_stack(&doc));
    ASSERT_EQ(doc.exif, 1);
    const size_t one = size_t(doc.width) * size_t(doc.height) * 3;
    const std::vector<uint8_t> before(doc.stack->bytes(), doc.stack->bytes() + doc.stack->length());
    ASSERT_EQ(app::denoise_stack(&doc, 1, 0), "");
    const uint8_t *after = doc.stack->bytes();
    for (size_t k = 0; k < paths.size(); ++k)
        EXPECT_EQ(std::memcmp(before.data() + k * one, after + k * one, one) != 0, k == darkest)
            << paths[k];
    // Measured: the shadows' fine-scale noise falls to 0.41 (phone) to 0.81 (the others, whose
    // darkest photo is mostly crushed black), the strongest edges keep 95 to 97 %.
    const CleanerAndSharp m = compare_denoised(before.data() + darkest * one, after + darkest * one,
                                               doc.width, doc.height);
    EXPECT_LT(m.noise, 0.9);
    EXPECT_GT(m.edges, 0.9);
}

INSTANTIATE_TEST_SUITE_P(DenoiseStack, RealBracketNoise,
                         ::testing::Values(std::pair{"window_tripod_e995", size_t(0)},
                                           std::pair{"stlouis_arch_tripod", size_t(3)},
                                           std::pair{"iphone6_handheld", size_t(0)}));
