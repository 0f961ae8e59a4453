// The noise-reduction driver: tile grid and work area, bad input, flat photos unchanged, mean
// brightness kept, PSNR raised on noisy brackets, results independent of threads, work-area
// content and earlier calls, 16-bit photos, and a real dark photo.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "denoise/denoise.h"
#include "denoise/detail/tile_grid.h"
#include "platform/bitmap.h"
#include "tests/support/bracket_generator.h"
#include "tests/support/image_compare.h"
#include "tests/support/noise.h"

using denoise::detail::tile_grid;
using denoise::detail::TileGrid;
using denoise::detail::TileSpan;

namespace {

struct Result {
    int rc = 0;
    std::vector<uint8_t> out;
    std::vector<float> param;
};

// denoise2 of an 8-bit packed photo with the defaults; work: null, or an area of exactly
// mem4denoise bytes filled with fill.
Result denoise8(const std::vector<uint8_t> &photo, int w, int h, int threads = 1,
                int maxTile = 2048, bool ownWork = false, uint8_t fill = 0)
{
    Result r;
    r.param.assign(kNrParamCount, 0.0f);
    nr_def(r.param.data());
    r.out.assign(photo.size(), 0);
    std::vector<float> work;
    if (ownWork) {
        const int bytes = mem4denoise(w, h, maxTile);
        EXPECT_GT(bytes, 0);
        work.resize(size_t(bytes) / sizeof(float));
        std::memset(work.data(), fill, work.size() * sizeof(float));
    }
    r.rc = denoise2(w, h, 3, w * 3, 8, maxTile, threads, r.param.data(),
                    ownWork ? work.data() : nullptr, photo.data(), r.out.data());
    return r;
}

[[maybe_unused]] double mean(const std::vector<uint8_t> &v)
{
    return testsupport::buffer_stats(v.data(), v.size()).mean;
}

} // namespace

TEST(TileGrid, MainRangesPartitionEverySideAndWorkAreaFitsEveryTile)
{
    const struct {
        int side, maxTile;
    } cases[] = {{1, 2048},    {31, 2048},   {2032, 2048}, {2033, 2048}, {4079, 2048},
                 {4080, 2048}, {4095, 2048}, {6128, 2048}, {6130, 2048}, {6144, 2048},
                 {6167, 2048}, {6168, 2048}, {300, 64},    {1000, 100},  {129, 64}};
    for (const auto &c : cases) {
        const TileGrid g = tile_grid(c.side, c.maxTile);
        ASSERT_GE(g.count, 1) << c.side;
        int next = 0, largest = 0;
        for (int k = 0; k < g.count; ++k) {
            const TileSpan t = g.tile(k);
            EXPECT_EQ(t.mainBegin, next) << c.side << " tile " << k;
            next = t.mainEnd;
            // The tile reads 32 pixels beyond its main range on every inner side.
            EXPECT_EQ(t.begin, k == 0 ? 0 : t.mainBegin - 32) << c.side;
            EXPECT_EQ(t.end, k == g.count - 1 ? c.side : t.mainEnd + 32) << c.side;
            EXPECT_EQ(t.padBefore, k == 0 ? 8 : 0);
            EXPECT_EQ(t.padAfter, k == g.count - 1 ? 8 : 0);
            largest = std::max(largest, t.extent());
        }
        EXPECT_EQ(next, c.side);
        EXPECT_EQ(g.maxExtent, largest) << c.side;
    }
    // One tile: the whole side and 8 pixels of padding at each end.
    const TileGrid one = tile_grid(100, 2048);
    EXPECT_EQ(one.count, 1);
    EXPECT_EQ(one.tile(0).extent(), 116);
    // Wider than maxTile but still one tile.
    EXPECT_EQ(tile_grid(3000, 2048).count, 1);
    // 6144 wide: inner tiles of 2048 + 64 outgrow the last one.
    EXPECT_EQ(tile_grid(6144, 2048).maxExtent, 2048 + 64);
}

TEST(Mem4denoise, SizesTheLargestTileAndRefusesBadSizes)
{
    // 24 (T + P) over the largest padded tile: 116 x 116 and its three coarser levels.
    const long long T = 116 * 116, P = T + 58 * 58 + 29 * 29 + 15 * 15;
    EXPECT_EQ(mem4denoise(100, 100, 2048), 24 * (T + P));
    EXPECT_LT(mem4denoise(8000, 6000, 2048), 1000 * 1000 * 1000);
    const int bad[][3] = {{0, 10, 2048}, {10, -1, 2048}, {10, 10, 63}, {1 << 30, 1 << 30, 1 << 20}};
    for (const auto &b : bad)
        EXPECT_EQ(mem4denoise(b[0], b[1], b[2]), -3) << b[0] << " " << b[1] << " " << b[2];
}

TEST(Denoise2, RefusesBadArguments)
{
    std::vector<uint8_t> src(64 * 64 * 3, 100), dst(src.size() + 16);
    float p[kNrParamCount];
    nr_def(p);
    const int w = 64, h = 64;
    EXPECT_EQ(denoise2(w, h, 4, w * 4, 8, 2048, 1, p, nullptr, src.data(), dst.data()), -2);
    EXPECT_EQ(denoise2(w, h, 3, w * 3, 12, 2048, 1, p, nullptr, src.data(), dst.data()), -2);
    EXPECT_EQ(denoise2(w, h, 3, w * 3, 8, 2048, 1, nullptr, nullptr, src.data(), dst.data()), -3);
    EXPECT_EQ(denoise2(w, h, 3, w * 3, 8, 2048, 1, p, nullptr, nullptr, dst.data()), -3);
    EXPECT_EQ(denoise2(w, h, 3, w * 3, 8, 2048, 1, p, nullptr, src.data(), nullptr), -3);
    EXPECT_EQ(denoise2(0, h, 3, 0, 8, 2048, 1, p, nullptr, src.data(), dst.data()), -3);
    EXPECT_EQ(denoise2(w, h, 3, w * 3 - 1, 8, 2048, 1, p, nullptr, src.data(), dst.data()), -3);
    EXPECT_EQ(denoise2(w, h, 3, w * 3, 8, 32, 1, p, nullptr, src.data(), dst.data()), -3);
    // Source and destination the same, or overlapping by one sample.
    EXPECT_EQ(denoise2(w, h, 3, w * 3, 8, 2048, 1, p, nullptr, src.data(), src.data()), -3);
    std::vector<uint8_t> both(src.size() * 2);
    EXPECT_EQ(
        denoise2(w, h, 3, w * 3, 8, 2048, 1, p, nullptr, both.data(), both.data() + src.size() - 1),
        -3);
    EXPECT_EQ(denoise2(w, h, 3, w * 3, 16, 2048, 1, p, nullptr, both.data() + 1,
                       both.data() + src.size() + 1),
              -3); // 16-bit samples misaligned
    // Nothing written by a refused call.
    EXPECT_TRUE(std::all_of(dst.begin(), dst.end(), [](uint8_t v) { return v == 0; }));
}

TEST(Denoise2, FlatPhotosComeBackByteForByte)
{
    // Several tiles (maxTile 64) and one tile; greys from black to white and a flat colour.
    const struct {
        int w, h, maxTile;
    } sizes[] = {{150, 97, 64}, {40, 33, 2048}, {1, 1, 2048}};
    const uint8_t colours[][3] = {{0, 0, 0},       {1, 1, 1},       {37, 37, 37},
                                  {100, 100, 100}, {128, 128, 128}, {254, 254, 254},
                                  {255, 255, 255}, {200, 60, 10}};
    for (const auto &s : sizes) {
        for (const auto &c : colours) {
            std::vector<uint8_t> photo(size_t(s.w) * s.h * 3);
            for (size_t i = 0; i < photo.size(); ++i)
                photo[i] = c[i % 3];
            const Result r = denoise8(photo, s.w, s.h, 1, s.maxTile);
            ASSERT_EQ(r.rc, 1);
            const auto d = testsupport::compare_images(photo, r.out, 0);
            EXPECT_EQ(d.maxDiff, 0) << s.w << "x" << s.h << " colour " << int(c[0]) << ","
                                    << int(c[1]) << "," << int(c[2]) << " at " << d.worstIndex;
        }
    }
}

TEST(Denoise2, Flat16BitPhotosComeBackSampleForSample)
{
    const int w = 90, h = 70;
    for (uint16_t v :
         {uint16_t(0), uint16_t(257), uint16_t(25700), uint16_t(40001), uint16_t(65535)}) {
        std::vector<uint16_t> photo(size_t(w) * h * 3, v), out(photo.size(), 1);
        float p[kNrParamCount];
        nr_def(p);
        ASSERT_EQ(denoise2(w, h, 3, w * 3, 16, 64, 1, p, nullptr, photo.data(), out.data()), 1);
        EXPECT_EQ(testsupport::compare_images(photo, out, 0).maxDiff, 0) << v;
    }
}

namespace {

// A dark photo of the test scene (three stops under) and its noisy copy.
struct NoisyPhoto {
    int w, h;
    std::vector<uint8_t> clean, noisy;
};

NoisyPhoto noisy_photo(int w, int h, float exposure, double sigma, uint64_t seed)
{
    const auto map = testsupport::make_radiance_map(w, h);
    NoisyPhoto p{w, h, testsupport::render_photo(map, exposure, 8, 3), {}};
    p.noisy = p.clean;
    testsupport::add_seeded_noise(p.noisy, 8, sigma, seed);
    return p;
}

} // namespace

TEST(Denoise2, RaisesPsnrAndKeepsTheMeanOnNoisyBrackets)
{
    for (float exposure : {0.125f, 0.5f, 2.0f}) {
        for (double sigma : {4.0, 8.0}) {
            const NoisyPhoto p = noisy_photo(240, 160, exposure, sigma, 17);
            const Result r = denoise8(p.noisy, p.w, p.h, 1, 64);
            ASSERT_EQ(r.rc, 1);
            const size_t n = p.clean.size();
            const double before = testsupport::psnr8(p.clean.data(), p.noisy.data(), n);
            const double after = testsupport::psnr8(p.clean.data(), r.out.data(), n);
            EXPECT_GT(after, before + 0.5) << exposure << " sigma " << sigma;
            // Rounding and edge padding must not darken (or brighten) the photo; clipping of
            // the noise at 0 and 255 is the noisy photo's own offset.
            EXPECT_NEAR(mean(r.out), mean(p.noisy), 0.5) << exposure << " sigma " << sigma;
            if (exposure == 0.125f) {
                EXPECT_NEAR(mean(r.out), mean(p.clean), 0.5) << sigma;
            }
        }
    }
}

TEST(Denoise2, ResultDependsOnNothingButThePhoto)
{
    // Several tiles (maxTile 64) and rows enough for eight bands at the finest levels.
    const NoisyPhoto p = noisy_photo(200, 150, 0.25f, 6, 23);
    const Result ref = denoise8(p.noisy, p.w, p.h, 1, 64);
    ASSERT_EQ(ref.rc, 1);
    const struct {
        int threads;
        bool ownWork;
        uint8_t fill;
    } runs[] = {{8, false, 0}, {3, false, 0}, {1, true, 0}, {8, true, 0x7f}, {1, true, 0xff}};
    for (const auto &run : runs) {
        const Result r = denoise8(p.noisy, p.w, p.h, run.threads, 64, run.ownWork, run.fill);
        ASSERT_EQ(r.rc, 1);
        EXPECT_EQ(testsupport::compare_images(ref.out, r.out, 0).count, 0u)
            << run.threads << " threads, work filled with " << int(run.fill);
        EXPECT_EQ(r.param, ref.param);
    }
    // Another photo first, then the same photo again through the same work area.
    std::vector<float> work(size_t(mem4denoise(p.w, p.h, 64)) / sizeof(float));
    const NoisyPhoto other = noisy_photo(200, 150, 4.0f, 12, 5);
    std::vector<uint8_t> out(p.noisy.size());
    float param[kNrParamCount];
    nr_def(param);
    ASSERT_EQ(denoise2(p.w, p.h, 3, p.w * 3, 8, 64, 8, param, work.data(), other.noisy.data(),
                       out.data()),
              1);
    nr_def(param);
    ASSERT_EQ(
        denoise2(p.w, p.h, 3, p.w * 3, 8, 64, 8, param, work.data(), p.noisy.data(), out.data()),
        1);
    EXPECT_EQ(testsupport::compare_images(ref.out, out, 0).count, 0u);
}

TEST(Denoise2, WideTilesStayInsideTheirBuffers)
{
    // Inner tiles of 2048 + 64 columns are wider than the last one at these widths; buffers
    // and the work area are sized exactly, so AddressSanitizer sees any write past them.
    for (int w : {4080, 6144, 6130}) {
        const int h = 36;
        const NoisyPhoto p = noisy_photo(w, h, 0.25f, 4, uint64_t(w));
        const Result r = denoise8(p.noisy, w, h, 1, 2048, true, 0x55);
        EXPECT_EQ(r.rc, 1) << w;
        // The seams between tiles are invisible: a flat photo stays flat across them.
        const std::vector<uint8_t> flat(size_t(w) * h * 3, 90);
        const Result f = denoise8(flat, w, h, 2, 2048, true);
        EXPECT_EQ(testsupport::compare_images(flat, f.out, 0).maxDiff, 0) << w;
    }
}

TEST(Denoise2, FailedEstimateFallsBackToTheDefaults)
{
    // Under 32 pixels across there is no block to measure.
    const NoisyPhoto p = noisy_photo(30, 40, 0.5f, 5, 3);
    float def[kNrParamCount];
    nr_def(def);
    const struct {
        float entry, slot0;
    } cases[] = {{80, 80}, {1.25f, 100}, {0.5f, 40}, {7, 80}};
    for (const auto &c : cases) {
        float param[kNrParamCount];
        nr_def(param);
        param[0] = c.entry;
        param[5] = 3; // any slot: the defaults replace the whole record
        std::vector<uint8_t> out(p.noisy.size());
        ASSERT_EQ(
            denoise2(p.w, p.h, 3, p.w * 3, 8, 2048, 1, param, nullptr, p.noisy.data(), out.data()),
            1);
        def[0] = c.slot0;
        EXPECT_TRUE(std::equal(param, param + kNrParamCount, def)) << c.entry;
    }
}

TEST(Denoise2, SixteenBitFollowsEightBitAndRowGapsStayUntouched)
{
    const NoisyPhoto p = noisy_photo(120, 90, 0.25f, 6, 31);
    const int w = p.w, h = p.h, stride = w * 3 + 5;
    std::vector<uint16_t> src(size_t(h) * stride, 7), dst(src.size(), 9);
    for (int y = 0; y < h; ++y)
        for (int i = 0; i < w * 3; ++i)
            src[size_t(y) * stride + i] = uint16_t(p.noisy[size_t(y) * w * 3 + i] * 256);
    float param[kNrParamCount];
    nr_def(param);
    ASSERT_EQ(denoise2(w, h, 3, stride, 16, 64, 4, param, nullptr, src.data(), dst.data()), 1);
    const Result r8 = denoise8(p.noisy, w, h, 1, 64);
    double worst = 0;
    for (int y = 0; y < h; ++y) {
        for (int i = 0; i < w * 3; ++i)
            worst = std::max(worst, std::abs(double(dst[size_t(y) * stride + i]) -
                                             256.0 * r8.out[size_t(y) * w * 3 + i]));
        for (int i = w * 3; i < stride; ++i)
            EXPECT_EQ(dst[size_t(y) * stride + i], 9);
    }
    // The same filter on samples / 256; the 8-bit result rounds twice (tile, mix), the 16-bit
    // one keeps 8 more bits.
    EXPECT_LE(worst, 2 * 256.0);
}

TEST(Denoise2, DarkestRealPhotoGetsSmootherAndKeepsItsBrightness)
{
    const std::string path =
        std::string(HDR_TESTDATA_DIR) + "/stlouis_arch_tripod/StLouisArchMultExpEV-4.72.jpeg";
    const auto bmp = platform::BitmapImageRep::imageRepWithContentsOfFile(path);
    if (!bmp)
        GTEST_SKIP() << "no real photo at " << path;
    ASSERT_EQ(bmp->samplesPerPixel(), 3);
    // A 400 x 300 crop from the middle keeps the test quick.
    const int w = 400, h = 300;
    const int x0 = (bmp->pixelsWide() - w) / 2, y0 = (bmp->pixelsHigh() - h) / 2;
    std::vector<uint8_t> crop(size_t(w) * h * 3);
    for (int y = 0; y < h; ++y)
        std::memcpy(&crop[size_t(y) * w * 3],
                    bmp->bitmapData() + size_t(y0 + y) * bmp->bytesPerRow() + size_t(x0) * 3,
                    size_t(w) * 3);
    const Result r = denoise8(crop, w, h, 4);
    ASSERT_EQ(r.rc, 1);
    EXPECT_NEAR(mean(r.out), mean(crop), 0.1);
    // Pixel-to-pixel differences of green (noise and fine detail) fall, but not to nothing.
    auto roughness = [&](const std::vector<uint8_t> &v) {
        double s = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x + 1 < w; ++x)
                s += std::abs(int(v[(size_t(y) * w + x) * 3 + 1]) -
                              int(v[(size_t(y) * w + x + 1) * 3 + 1]));
        return s;
    };
    EXPECT_LT(roughness(r.out), 0.95 * roughness(crop));
    EXPECT_GT(roughness(r.out), 0.2 * roughness(crop));
}
