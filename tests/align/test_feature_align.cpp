// The feature-based aligner: the brightness order against a plain reading, the warp against a
// plain bilinear transcription, the tiling, the step test, and whole runs on a real photo moved
// by a planted hand-held shake (the planted transform is the reference), with their edge cases.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "align/align_log.h"
#include "align/detail/tiling.h"
#include "align/feature_align.h"
#include "align/feature_points.h"
#include "align/matching.h"
#include "align/projective.h"
#include "platform/bitmap.h"
#include "tests/align/align_test_util.h"
#include "tests/support/warp.h"

using testsupport::apply8;
using testsupport::similarity8;
using testsupport::Transform8;

namespace {

using Bytes = std::vector<uint8_t>;

// The lines the aligner writes during one scope, kept instead of printed.
struct LogCapture {
    std::vector<std::string> lines;
    AlignLogSink previous;
    LogCapture()
    {
        previous = set_align_log_sink([this](const std::string &l) { lines.push_back(l); });
    }
    ~LogCapture() { set_align_log_sink(previous); }
    // The transform of the photo at place k, from its "photo:" line.
    std::array<float, 8> transform(int k) const
    {
        std::array<float, 8> t{};
        for (const std::string &l : lines) {
            int place;
            if (std::sscanf(l.c_str(), "photo: %d %f %f %f %f %f %f %f %f", &place, &t[0], &t[1],
                            &t[2], &t[3], &t[4], &t[5], &t[6], &t[7]) == 9 &&
                place == k)
                return t;
        }
        ADD_FAILURE() << "no line for place " << k;
        return t;
    }
};

// A grey crop of a real photo (the middle of the tripod bracket's 1/30 s photo), or empty.
Bytes real_grey(int w, int h)
{
    return aligntest::real_crop("window_tripod_e995/HDRI_Sample_Scene_Window_-_06.jpg", w, h);
}

Bytes to_rgb(const Bytes &grey, double gain)
{
    Bytes rgb(grey.size() * 3);
    for (size_t i = 0; i < grey.size(); ++i)
        rgb[3 * i] = rgb[3 * i + 1] = rgb[3 * i + 2] =
            uint8_t(std::min(255.0, std::round(grey[i] * gain)));
    return rgb;
}

// Mean and largest distance between the images of a 5 x 5 grid over the frame under a and b.
std::pair<double, double> grid_error(const std::array<float, 8> &a, const Transform8 &b, int w,
                                     int h)
{
    double sum = 0, worst = 0;
    for (int j = 0; j < 5; ++j)
        for (int i = 0; i < 5; ++i) {
            const double x = w * i / 4.0, y = h * j / 4.0;
            double ax, ay, bx, by;
            map_point(a.data(), x, y, &ax, &ay);
            apply8(b, x, y, &bx, &by);
            const double d = std::hypot(ax - bx, ay - by);
            sum += d, worst = std::max(worst, d);
        }
    return {sum / 25, worst};
}

int run_align(Bytes &stack, int n, int w, int h, int threads, int keep = 0, int *dims = nullptr)
{
    int local[2] = {keep, 0};
    int *d = dims ? dims : local;
    d[0] = keep;
    return rt_align(threads, int(w * 0.1), int(h * 0.1), n, w, h, 3, 8, d, stack.data(), nullptr);
}

} // namespace

TEST(ClassementImages, KeysAndOrderFollowThePlainReading)
{
    // Photos of constant luma 200, 30, 4 (dark: the key is its 95 % bin), 200 again, 5 (the
    // first median that counts) and a photo with 90 % at 2 and 10 % at 250 (median 2, 95 % bin
    // 250).
    const int w = 10, h = 10;
    std::vector<Bytes> photos;
    for (int v : {200, 30, 4, 200, 5})
        photos.push_back(Bytes(size_t(w * h) * 3, uint8_t(v)));
    Bytes mixed(size_t(w * h) * 3, 2);
    std::fill(mixed.begin() + 90 * 3, mixed.end(), uint8_t(250));
    photos.push_back(mixed);
    Bytes stack;
    for (const Bytes &p : photos)
        stack.insert(stack.end(), p.begin(), p.end());
    std::array<int, 6> keys{}, order{};
    ASSERT_EQ(classementImages(6, w, h, 3, 8, stack.data(), keys.data(), order.data()), 6);
    // (54 + 183 + 19) v >> 8 = v for grey pixels.
    EXPECT_EQ(keys, (std::array<int, 6>{200 * 256, 30 * 256, 4, 200 * 256, 5 * 256, 250}));
    EXPECT_EQ(order, (std::array<int, 6>{0, 3, 1, 4, 5, 2})); // ties to the lower index
    EXPECT_EQ(classementImages(0, w, h, 3, 8, stack.data(), keys.data(), order.data()), 0);
    EXPECT_EQ(classementImages(1, w, h, 3, 12, stack.data(), keys.data(), order.data()), -3);
}

TEST(AlignWithTransfOrig, WarpFollowsThePlainBilinearReading)
{
    const int w = 23, h = 17, spp = 3;
    testsupport::SeededRandom rng{7};
    Bytes src(size_t(w * h * spp));
    for (uint8_t &v : src)
        v = uint8_t(rng.below(256));
    const std::vector<uint16_t> src16 = [&] {
        std::vector<uint16_t> s(src.size());
        for (size_t i = 0; i < s.size(); ++i)
            s[i] = uint16_t(src[i] * 257 + (i % 7));
        return s;
    }();
    // Photo 1 at place 1 of order {0, 1}; its transform from the table.
    const std::array<float, 16> table{1,     0,     0,    0,      1,     0,     0,  0,
                                      0.97f, 0.05f, 1.3f, -0.04f, 1.02f, -0.6f, 40, -25};
    const int order[2] = {0, 1};
    for (auto [offsetX, offsetY] : {std::pair{0, 0}, {2, -1}}) {
        Bytes out(size_t(w * h * spp));
        std::vector<uint16_t> out16(out.size());
        // Photo 1 sits at sample w h spp of a two-photo stack.
        Bytes stack(src.size() * 2, 0);
        std::copy(src.begin(), src.end(), stack.begin() + ptrdiff_t(src.size()));
        std::vector<uint16_t> stack16(src16.size() * 2, 0);
        std::copy(src16.begin(), src16.end(), stack16.begin() + ptrdiff_t(src16.size()));
        ASSERT_EQ(align_with_transf_orig(w, h, w, 0, h, spp, 8, offsetX, offsetY, order,
                                         table.data(), 1, int64_t(src.size()), stack.data(),
                                         out.data()),
                  h);
        ASSERT_EQ(align_with_transf_orig(w, h, w, 0, h, spp, 16, offsetX, offsetY, order,
                                         table.data(), 1, int64_t(src.size()), stack16.data(),
                                         out16.data()),
                  h);
        int inside = 0, white = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                // The source point, mapped in double and kept as floats.
                const double rx = x - offsetX, ry = y - offsetY;
                const double q = 40 / 100000.0 * rx - 25 / 100000.0 * ry + 1;
                const float sx =
                    float((double(0.97f) * rx + double(0.05f) * ry + double(1.3f)) / q);
                const float sy =
                    float((double(-0.04f) * rx + double(1.02f) * ry + double(-0.6f)) / q);
                for (int c = 0; c < spp; ++c) {
                    const size_t at = size_t((y * w + x) * spp + c);
                    if (!(sx > -1 && sx <= w - 1 && sy > -1 && sy <= h - 1)) {
                        ASSERT_EQ(out[at], 255) << x << "," << y;
                        ASSERT_EQ(out16[at], 65535);
                        white += c == 0;
                        continue;
                    }
                    inside += c == 0;
                    const int ix = int(sx), iy = int(sy);
                    const float fx = sx - ix, fy = sy - iy;
                    const auto s = [&](const auto &img, int px, int py) {
                        return float(
                            img[size_t((std::min(py, h - 1) * w + std::min(px, w - 1)) * spp + c)]);
                    };
                    for (int bits : {8, 16}) {
                        const float v = bits == 8 ? s(src, ix, iy) * (1 - fy) * (1 - fx) +
                                                        s(src, ix + 1, iy) * (1 - fy) * fx +
                                                        s(src, ix, iy + 1) * (1 - fx) * fy +
                                                        s(src, ix + 1, iy + 1) * fx * fy
                                                  : s(src16, ix, iy) * (1 - fy) * (1 - fx) +
                                                        s(src16, ix + 1, iy) * (1 - fy) * fx +
                                                        s(src16, ix, iy + 1) * (1 - fx) * fy +
                                                        s(src16, ix + 1, iy + 1) * fx * fy;
                        if (bits == 8)
                            ASSERT_EQ(out[at], int(std::clamp(v, 0.0f, 255.0f) + 0.5f))
                                << x << "," << y;
                        else
                            ASSERT_EQ(out16[at], int(std::clamp(v, 0.0f, 65535.0f)))
                                << x << "," << y;
                    }
                }
            }
        EXPECT_GT(inside, w * h / 2);
        EXPECT_GT(white, 0);
    }
    // The identity keeps every pixel, the last column and row included.
    Bytes out(src.size());
    ASSERT_EQ(align_with_transf_orig(w, h, w, 0, h, spp, 8, 0, 0, order, table.data(), 0, 0,
                                     src.data(), out.data()),
              h);
    EXPECT_EQ(out, src);
    EXPECT_EQ(align_with_transf_orig(w, h, w, 0, h, spp, 12, 0, 0, order, table.data(), 0, 0,
                                     src.data(), out.data()),
              0);
    EXPECT_EQ(align_with_transf_orig(w, h, w, 5, 5, spp, 8, 0, 0, order, table.data(), 0, 0,
                                     src.data(), out.data()),
              5);
}

TEST(AlignWithTransfThreaded, BandsCoverTheRowsOnce)
{
    // 7 rows in 3 bands: 2, 2 and 3 rows, each written at its own place.
    const int w = 5, h = 7;
    Bytes src(size_t(w * h * 3));
    for (size_t i = 0; i < src.size(); ++i)
        src[i] = uint8_t(i);
    const float id[8] = {1, 0, 0, 0, 1, 0, 0, 0};
    const int order[1] = {0};
    Bytes out(src.size(), 0);
    for (int band = 0; band < 3; ++band) {
        warpThreadArgs a{w, h,     w,  h,          3,          8,    0, 0, 0,
                         0, order, id, src.data(), out.data(), band, 3, -1};
        align_with_transf_threaded(&a);
        EXPECT_EQ(a.result, band == 2 ? 7 : 2 * band + 2);
    }
    EXPECT_EQ(out, src);
}

TEST(Tiling, TileOriginsBudgetsAndTheExtraColumn)
{
    using align::detail::make_tiling;
    // 1280 x 1280: one tile of 1024 moved by half the x slack and the whole y slack.
    const auto t = make_tiling(1280, 1280, (1280 + 1280) >> 4);
    ASSERT_EQ(t.nx * t.ny, 1);
    EXPECT_EQ(t.origins[0], (std::pair{128, 256}));
    EXPECT_EQ(t.matchesPerTile, 160);
    EXPECT_EQ(t.regions[0].x0, 108);
    EXPECT_EQ(t.regions[0].w, 1024 + 40);
    // 1281 wide: a remainder of 257 gets a second column, whose region stops at the edge.
    const auto u = make_tiling(1281, 1280, 160);
    ASSERT_EQ(u.nx, 2);
    ASSERT_EQ(u.ny, 1);
    EXPECT_EQ(u.matchesPerTile, 160);
    EXPECT_EQ(u.regions[1].x0 + u.regions[1].w, 1281);
    EXPECT_EQ(make_tiling(0, 5, 20).regions.size(), 0u);
}

TEST(StepAccepted, HandHeldMotionsPassFalseFitsDoNot)
{
    // Pairs spread over 800 x 600, mapped by truth; the fit t is judged against them.
    const int w = 800, h = 600;
    auto judge = [&](const Transform8 &truth, const Transform8 &t, int n, int agreeing) {
        std::vector<int> x1, y1, x2, y2;
        testsupport::SeededRandom rng{3};
        for (int k = 0; k < n; ++k) {
            const int x = 20 + rng.below(w - 40), y = 20 + rng.below(h - 40);
            double X, Y;
            apply8(truth, x, y, &X, &Y);
            if (k >= agreeing) // the rest far off
                X += 30 + rng.below(50), Y -= 20 + rng.below(50);
            x1.push_back(x), y1.push_back(y);
            x2.push_back(int(std::lround(X))), y2.push_back(int(std::lround(Y)));
        }
        float f[8];
        for (int i = 0; i < 8; ++i)
            f[i] = float(t[size_t(i)]);
        return step_accepted(f, w, h, n, x1.data(), y1.data(), x2.data(), y2.data());
    };
    const Transform8 shake = similarity8(0.5, 1.012, 400, 300, 9, -6, 0.4, -0.3);
    EXPECT_TRUE(judge(shake, shake, 100, 100));
    EXPECT_TRUE(judge(shake, shake, 100, 20));  // 20 % agree
    EXPECT_FALSE(judge(shake, shake, 100, 12)); // 12 %: too few
    EXPECT_FALSE(judge(shake, shake, 11, 11));  // 11 pairs: too few
    // Pairs agreeing on a large scale change, or on a shear: no camera held in the hand.
    for (const Transform8 &t :
         {similarity8(0, 1.127, 400, 300, -199, 0), Transform8{1, -0.22, 60, 0, 1, 0, 0, 0},
          Transform8{1, 0, 0, 0, 1, 0, 60, 0}})
        EXPECT_FALSE(judge(t, t, 100, 100)) << t[0] << " " << t[1] << " " << t[6];
}

TEST(RtAlign, RealPhotoUnderAPlantedShakeComesBack)
{
    // A real photo and a darker copy moved by a hand-held shake (rotation, scale, shift and
    // perspective), with noise: the transform of the moved photo is the planted one. 1200 x 900
    // goes through the reduced copies and the full-size refinement.
    const int w = 1200, h = 900;
    const Bytes grey = real_grey(w, h);
    if (grey.empty())
        GTEST_SKIP() << "no real photo in " << HDR_TESTDATA_DIR;
    const Transform8 shake = similarity8(0.45, 1.008, w / 2.0, h / 2.0, 7.5, -4.25, 0.3, -0.25);
    Bytes moved = to_rgb(testsupport::warp_photo(grey, w, h, 1, shake, 128), 0.55);
    testsupport::add_noise(moved, 1.5, 9);
    Bytes stack = to_rgb(grey, 1.0);
    stack.insert(stack.end(), moved.begin(), moved.end());
    const Bytes before = stack;
    int dims[2];
    {
        LogCapture log;
        ASSERT_GE(run_align(stack, 2, w, h, 1, 0, dims), 0);
        // The hand-held goal: at most 0.5 pixels on average over the frame, 1.5 at worst.
        const auto [mean, worst] = grid_error(log.transform(1), shake, w, h);
        EXPECT_LE(mean, 0.5);
        EXPECT_LE(worst, 1.5);
        EXPECT_EQ(log.transform(0), (std::array<float, 8>{1, 0, 0, 0, 1, 0, 0, 0}));
        ASSERT_EQ(log.lines.size(), 3u);
        EXPECT_EQ(log.lines[2].rfind("rt_align: ", 0), 0u);
    }
    // The crop keeps what both photos cover, most of the frame.
    EXPECT_LT(dims[0], w);
    EXPECT_GT(dims[0], w * 95 / 100);
    EXPECT_GT(dims[1], h * 95 / 100);
    // The warped photo matches the reference where both are inside: darker by the gain.
    const uint8_t *ref = stack.data(), *warped = stack.data() + size_t(dims[0] * dims[1] * 3);
    double diff = 0;
    int count = 0;
    for (int i = 0; i < dims[0] * dims[1]; i += 7) {
        diff += std::fabs(ref[size_t(i) * 3] * 0.55 - warped[size_t(i) * 3]);
        ++count;
    }
    EXPECT_LT(diff / count, 4.0); // noise 1.5, JPEG edges resampled once
    // Eight and three threads and a second run give the same bytes.
    for (int threads : {8, 3, 1}) {
        Bytes again = before;
        int d2[2];
        ASSERT_GE(run_align(again, 2, w, h, threads, 0, d2), 0);
        EXPECT_EQ(d2[0], dims[0]);
        EXPECT_EQ(again, stack) << threads;
    }
}

TEST(RtAlign, OnePhotoKeepSizeAndBadArguments)
{
    const int w = 300, h = 200;
    const Bytes photo = to_rgb(testsupport::speckle_photo(w, h, 300, 2), 1.0);
    Bytes stack = photo;
    int dims[2] = {0, 0};
    EXPECT_EQ(run_align(stack, 1, w, h, 4, 0, dims), 0);
    EXPECT_EQ(stack, photo); // the identity keeps every pixel
    EXPECT_EQ(dims[0], w);
    EXPECT_EQ(dims[1], h);
    // Keep-size: a shifted pair stays at full size and the moved photo comes back onto the first
    // (both moved by the common area's offset).
    const Bytes g = testsupport::speckle_photo(w, h, 300, 2);
    const Bytes moved =
        to_rgb(testsupport::warp_photo(g, w, h, 1, testsupport::shift8(6, -3), 128), 0.7);
    stack = to_rgb(g, 1.0);
    stack.insert(stack.end(), moved.begin(), moved.end());
    ASSERT_GE(run_align(stack, 2, w, h, 2, 1, dims), 0);
    EXPECT_EQ(dims[0], w);
    EXPECT_EQ(dims[1], h);
    const uint8_t *back = stack.data() + photo.size();
    int same = 0;
    for (int y = 10; y < h - 10; ++y)
        for (int x = 10; x < w - 10; ++x)
            same += std::abs(back[size_t(y * w + x) * 3] -
                             int(std::lround(stack[size_t(y * w + x) * 3] * 0.7))) <= 2;
    EXPECT_GT(same, (w - 20) * (h - 20) * 9 / 10);
    for (auto [n, wide, high] : {std::array{0, w, h}, {2, 0, h}, {2, w, 0}})
        EXPECT_EQ(rt_align(1, 10, 10, n, wide, high, 3, 8, dims, stack.data(), nullptr), -1);
    EXPECT_EQ(rt_align(1, 10, 10, 2, w, h, 3, 12, dims, stack.data(), nullptr), -3);
    EXPECT_EQ(rt_align(1, 10, 10, 2, w, h, 3, 8, nullptr, stack.data(), nullptr), -3);
}

TEST(RtAlign, CropOverSeventyPercentFallsBackToTheIdentity)
{
    // Five photos each 18 % of the width right of the one before: together they share 28 % of
    // the width, so every photo keeps the identity and the full size.
    const int w = 900, h = 300;
    const Bytes g = testsupport::speckle_photo(w * 2, h, 3000, 6);
    Bytes stack;
    for (int k = 0; k < 5; ++k) {
        Bytes crop(size_t(w * h));
        for (int y = 0; y < h; ++y)
            std::memcpy(&crop[size_t(y * w)], &g[size_t(y * w * 2 + (4 - k) * 162)], size_t(w));
        const Bytes rgb = to_rgb(crop, 1.0 - 0.1 * k);
        stack.insert(stack.end(), rgb.begin(), rgb.end());
    }
    const Bytes before = stack;
    int dims[2] = {0, 0};
    EXPECT_EQ(rt_align(1, int(w * 0.2), int(h * 0.2), 5, w, h, 3, 8, dims, stack.data(), nullptr),
              0);
    EXPECT_EQ(dims[0], w);
    EXPECT_EQ(dims[1], h);
    EXPECT_EQ(stack, before);
}

TEST(Kvdetect, RealPhotoPointsComeFromTheWholeTile)
{
    // A detailed 1024 x 1024 crop finds more than the budget; the kept points reach every
    // quarter of the rows.
    const Bytes g = real_grey(1024, 1024);
    if (g.empty())
        GTEST_SKIP() << "no real photo in " << HDR_TESTDATA_DIR;
    const aligntest::Points all = aligntest::detect(g, 1024, 1024, 1 << 20);
    const aligntest::Points p = aligntest::detect(g, 1024, 1024);
    ASSERT_GT(all.n, 1310);
    ASSERT_EQ(p.n, 1310);
    std::array<int, 4> quarters{};
    for (int k = 0; k < p.n; ++k)
        ++quarters[size_t(p.y[size_t(k)] / 256)];
    for (int q : quarters)
        EXPECT_GT(q, 1310 / 10) << quarters[0] << " " << quarters[1] << " " << quarters[2] << " "
                                << quarters[3];
}
