// Translation alignment: planted shifts recovered exactly with their signs, crops and white
// strips, 16-bit samples, the threshold count walk, the pyramid's downsampling against a plain
// reading, and the edge cases (one photo, a flat stack, a search whose errors only fall).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "align/translation_align.h"
#include "tests/support/bracket_generator.h"
#include "tests/support/warp.h"

namespace {

using Bytes = std::vector<uint8_t>;

// An RGB photo of the scene, moved by (dx, dy): out(x + dx, y + dy) = in(x, y), uncovered
// pixels taking the edge.
Bytes shifted(const Bytes &in, int w, int h, int dx, int dy)
{
    Bytes out(in.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int sx = std::clamp(x - dx, 0, w - 1), sy = std::clamp(y - dy, 0, h - 1);
            std::memcpy(&out[size_t(y * w + x) * 3], &in[size_t(sy * w + sx) * 3], 3);
        }
    return out;
}

Bytes stack_of(const std::vector<Bytes> &photos)
{
    Bytes s;
    for (const Bytes &p : photos)
        s.insert(s.end(), p.begin(), p.end());
    return s;
}

// Four exposures, a stop apart, of one grey texture (as RGB), each moved by its own shift;
// exposure k scales the texture by 2^k / 4 (clipped at 255).
struct Bracket {
    int w, h;
    Bytes scene;
    Bytes stack;
};

Bytes exposed(const Bytes &grey, int k)
{
    Bytes rgb(grey.size() * 3);
    for (size_t i = 0; i < grey.size(); ++i)
        rgb[3 * i] = rgb[3 * i + 1] = rgb[3 * i + 2] =
            uint8_t(std::min(255, (int(grey[i]) << k) / 4));
    return rgb;
}

Bracket textured(int w, int h, const std::vector<std::array<int, 2>> &shifts)
{
    Bracket b{w, h, testsupport::speckle_photo(w, h, w * h / 200, 21), {}};
    std::vector<Bytes> photos;
    for (size_t k = 0; k < shifts.size(); ++k)
        photos.push_back(shifted(exposed(b.scene, int(k)), w, h, shifts[k][0], shifts[k][1]));
    b.stack = stack_of(photos);
    return b;
}

} // namespace

TEST(TrAlign, PlantedShiftsComeBackExactlyWithTheirCrop)
{
    // Exposures 1/4 .. 2: the brightest is photo 3, the second brightest (the reference)
    // photo 2, which stays put. The crop is the range of the shifts.
    for (const auto &shifts : {std::vector<std::array<int, 2>>{{0, 0}, {0, 0}, {0, 0}, {0, 0}},
                               {{-4, 2}, {3, -1}, {0, 0}, {6, 5}},
                               {{11, -7}, {-9, 3}, {0, 0}, {-2, 12}}}) {
        Bracket b = textured(480, 320, shifts);
        int dims[2] = {0, 0};
        const int rc = tr_align(4, b.w, b.h, 3, 8, dims, b.stack.data());
        int minX = 0, maxX = 0, minY = 0, maxY = 0;
        for (auto [x, y] : shifts)
            minX = std::min(minX, x), maxX = std::max(maxX, x), minY = std::min(minY, y),
            maxY = std::max(maxY, y);
        ASSERT_EQ(rc, (maxX - minX) + (maxY - minY)) << shifts[0][0];
        ASSERT_EQ(dims[0], b.w - (maxX - minX));
        ASSERT_EQ(dims[1], b.h - (maxY - minY));
        // Every cropped photo shows the scene point (x - minX, y - minY) at (x, y).
        for (int k = 0; k < 4; ++k) {
            const Bytes plain = exposed(b.scene, k);
            const uint8_t *out = b.stack.data() + size_t(k) * size_t(dims[0] * dims[1] * 3);
            for (int y = 0; y < dims[1]; ++y)
                ASSERT_EQ(0, std::memcmp(out + size_t(y * dims[0]) * 3,
                                         &plain[size_t((y - minY) * b.w - minX) * 3],
                                         size_t(dims[0]) * 3))
                    << k << " row " << y;
        }
    }
}

TEST(TrAlign, SignsCropAndWhiteStripsOfAShiftedPhoto)
{
    // The brighter photo's content lies 5 right of and 3 below the darker one's (the reference).
    const int w = 320, h = 240;
    const Bytes scene = testsupport::speckle_photo(w, h, 500, 8);
    const Bytes dark = exposed(scene, 1), bright = shifted(exposed(scene, 2), w, h, 5, 3);
    for (int keep : {0, 1}) {
        Bytes stack = stack_of({dark, bright});
        int dims[2] = {keep, 0};
        ASSERT_EQ(tr_align(2, w, h, 3, 8, dims, stack.data()), 8);
        if (!keep) {
            EXPECT_EQ(dims[0], w - 5);
            EXPECT_EQ(dims[1], h - 3);
            continue;
        }
        ASSERT_EQ(dims[0], w);
        ASSERT_EQ(dims[1], h);
        EXPECT_TRUE(std::equal(dark.begin(), dark.end(), stack.begin())); // the reference stays
        const uint8_t *moved = stack.data() + dark.size();
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const uint8_t *px = moved + size_t(y * w + x) * 3;
                if (x >= w - 5 || y >= h - 3)
                    ASSERT_TRUE(px[0] == 255 && px[1] == 255 && px[2] == 255) << x << "," << y;
                else
                    ASSERT_EQ(px[0], bright[size_t((y + 3) * w + x + 5) * 3]) << x << "," << y;
            }
    }
}

TEST(TrAlign, IdenticalOneOrFlatPhotosStayAsTheyAre)
{
    const int w = 200, h = 120;
    const Bytes scene = exposed(testsupport::speckle_photo(w, h, 200, 4), 2);
    const Bytes flat(scene.size(), 90);
    for (const auto &[n, photo] : {std::pair{3, &scene}, {1, &scene}, {0, &scene}, {3, &flat}}) {
        Bytes stack = stack_of(std::vector<Bytes>(size_t(std::max(n, 1)), *photo));
        const Bytes before = stack;
        int dims[2] = {0, 0}; // crop asked
        EXPECT_EQ(tr_align(n, w, h, 3, 8, dims, stack.data()), 0) << n;
        EXPECT_EQ(dims[0], w);
        EXPECT_EQ(dims[1], h);
        EXPECT_EQ(stack, before);
    }
    int dims[2] = {0, 0};
    Bytes stack = stack_of({scene, scene});
    for (auto [wide, high, spp, bps] :
         {std::array{0, h, 3, 8}, {w, 0, 3, 8}, {w, h, 0, 8}, {w, h, 3, 12}})
        EXPECT_EQ(tr_align(2, wide, high, spp, bps, dims, stack.data()), -3);
    EXPECT_EQ(tr_align(2, w, h, 3, 8, nullptr, stack.data()), -3);
    EXPECT_EQ(tr_align(2, w, h, 3, 8, dims, nullptr), -3);
}

TEST(TrAlign, SixteenBitsDecideOnTheHighByteAndKeepTheirSamples)
{
    // High bytes: the texture; low bytes: a pattern the luma never sees, which must travel with
    // its pixel.
    const int w = 256, h = 160;
    const Bytes scene = testsupport::speckle_photo(w, h, 300, 12);
    std::vector<uint16_t> stack;
    const int shifts[2][2] = {{0, 0}, {-3, 4}};
    for (int k = 0; k < 2; ++k)
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int sx = std::clamp(x - shifts[k][0], 0, w - 1);
                const int sy = std::clamp(y - shifts[k][1], 0, h - 1);
                const int v = std::min(255, (int(scene[size_t(sy * w + sx)]) << (k + 1)) / 4);
                for (int c = 0; c < 3; ++c)
                    stack.push_back(uint16_t(v << 8 | ((sx * 7 + sy * 3 + c) & 0xFF)));
            }
    int dims[2] = {0, 0};
    ASSERT_EQ(tr_align(2, w, h, 3, 16, dims, stack.data()), 7);
    ASSERT_EQ(dims[0], w - 3);
    ASSERT_EQ(dims[1], h - 4);
    for (int k = 0; k < 2; ++k)
        for (int y = 0; y < dims[1]; ++y)
            for (int x = 0; x < dims[0]; ++x) {
                // Scene point (x + 3, y): both photos show it here.
                const uint16_t *px =
                    stack.data() + (size_t(k) * dims[0] * dims[1] + size_t(y) * dims[0] + x) * 3;
                ASSERT_EQ(px[2] & 0xFF, ((x + 3) * 7 + y * 3 + 2) & 0xFF)
                    << k << " " << x << "," << y;
            }
}

TEST(TrAlign, NineFallingErrorsStillTakeTheBestStep)
{
    // A 40 x 40 pair (one level): a bright bar 25 wide and 6 high, moved by (1, 1) in the
    // brighter photo. In scan order the nine errors only fall (2 x 25 per row of dy, 2 x 6 per
    // column of dx), so every candidate is at most the best before it: the step is still (1, 1).
    const int w = 40, h = 40;
    auto bar = [&](int dx, int dy, int ground, int top) {
        Bytes p(size_t(w * h) * 3, uint8_t(ground));
        for (int y = 20 + dy; y < 26 + dy; ++y)
            for (int x = 8 + dx; x < 33 + dx; ++x)
                std::fill_n(&p[size_t(y * w + x) * 3], 3, uint8_t(top));
        return p;
    };
    Bytes stack = stack_of({bar(0, 0, 60, 200), bar(1, 1, 80, 220)});
    int dims[2] = {0, 0};
    EXPECT_EQ(tr_align(2, w, h, 3, 8, dims, stack.data()), 2);
    EXPECT_EQ(dims[0], w - 1);
    EXPECT_EQ(dims[1], h - 1);
}

TEST(TrAlign, FlatWideAndNarrowPhotosAreSafe)
{
    // 800 x 20 would get 6 levels from its width, the coarsest 0 rows high; 24 wide gets none.
    for (auto [w, h, shift] : {std::array{800, 20, 2}, {24, 30, 0}, {30, 1, 0}, {1, 30, 0}}) {
        const Bytes scene = testsupport::speckle_photo(w, h, std::max(1, w * h / 60), 5);
        Bytes stack = stack_of({exposed(scene, 1), shifted(exposed(scene, 2), w, h, shift, 0)});
        int dims[2] = {0, 0};
        const int rc = tr_align(2, w, h, 3, 8, dims, stack.data());
        EXPECT_GE(rc, 0) << w << "x" << h;
        EXPECT_TRUE(dims[0] >= 1 && dims[0] <= w && dims[1] >= 1 && dims[1] <= h);
        if (shift) {
            EXPECT_EQ(dims[0], w - shift);
        }
    }
}

TEST(VerifPercentile2, WalksTheCountOutOfTheExtremes)
{
    // 100 pixels: 10 in bin 10, 80 in bin 100, 10 in bin 250 (photo 1; photo 0 is empty).
    std::vector<int> hist(512, 0);
    hist[256 + 10] = 10, hist[256 + 100] = 80, hist[256 + 250] = 10;
    // 95 lies in bin 250: 95 -> 90 (still 250) -> 85 (bin 100). 50 is fine as it is. 5 lies in
    // bin 10 and 5 x 1.05 truncates to 5 again: the walk ends at the depth limit.
    for (auto [p, depth, expected] : {std::array{95, 1, 85}, {50, 1, 50}, {5, 1, 5}, {95, 40, 95}})
        EXPECT_EQ(verifPercentile2(hist.data(), 1, depth, p), expected) << p;
    EXPECT_EQ(verifPercentile2(nullptr, 0, 1, 5), -3);
}

TEST(RemplPyram, LevelsFollowThePlainDownsamplingAndThreshold)
{
    // Odd and even sides: the one-sided last row and column apply to both.
    for (auto [w, h] : {std::array{37, 29}, {40, 32}}) {
        testsupport::SeededRandom rng{uint64_t(w)};
        Bytes rgb(size_t(w * h) * 3);
        for (uint8_t &v : rgb)
            v = uint8_t(rng.below(256));
        const int L = 3;
        // The reading of the levels: luma, then each level from the one before.
        std::vector<int> g(size_t(w * h));
        for (int i = 0; i < w * h; ++i)
            g[size_t(i)] = (54 * rgb[size_t(i) * 3] + 183 * rgb[size_t(i) * 3 + 1] +
                            19 * rgb[size_t(i) * 3 + 2]) >>
                           8;
        std::vector<int> sorted = g;
        std::sort(sorted.begin(), sorted.end());
        const int p = w * h / 2, T = sorted[size_t(p)]; // the bin whose running count passes p
        std::vector<uint8_t> block(size_t(w * h), 0);
        std::vector<int> hist(256);
        Bytes g1(size_t(w * h)), g2(size_t(w * h));
        ASSERT_EQ(remplPyram(w, h, 3, 8, 0, hist.data(), g1.data(), g2.data(), rgb.data(),
                             block.data(), L, p),
                  T);
        int W = w, H = h;
        size_t at = 0;
        for (int l = 0; l < L; ++l) {
            if (l > 0) {
                std::vector<int> next(size_t((W / 2) * (H / 2)));
                const auto v = [&](int y, int x) { return g[size_t(y * W + x)]; };
                for (int y = 0; y < H / 2; ++y)
                    for (int x = 0; x < W / 2; ++x) {
                        const int cy = 2 * y + 1, cx = 2 * x + 1;
                        const bool lastRow = y == H / 2 - 1, lastCol = x == W / 2 - 1;
                        int s;
                        if (!lastRow && !lastCol)
                            s = (4 * v(cy, cx) +
                                 2 * (v(cy - 1, cx) + v(cy + 1, cx) + v(cy, cx - 1) +
                                      v(cy, cx + 1)) +
                                 v(cy - 1, cx - 1) + v(cy - 1, cx + 1) + v(cy + 1, cx - 1) +
                                 v(cy + 1, cx + 1)) /
                                16;
                        else if (!lastRow)
                            s = (85 * v(cy, cx) +
                                 43 * (v(cy - 1, cx) + v(cy, cx - 1) + v(cy + 1, cx)) +
                                 21 * (v(cy - 1, cx - 1) + v(cy + 1, cx - 1))) /
                                256;
                        else if (!lastCol)
                            s = (83 * v(cy, cx) +
                                 43 * (v(cy - 1, cx) + v(cy, cx - 1) + v(cy, cx + 1)) +
                                 21 * (v(cy - 1, cx - 1) + v(cy - 1, cx + 1))) /
                                256;
                        else
                            s = (113 * v(cy, cx) + 57 * (v(cy - 1, cx) + v(cy, cx - 1)) +
                                 16 * v(cy - 1, cx - 1)) /
                                256;
                        next[size_t(y * (W / 2) + x)] = s;
                    }
                g = next, W /= 2, H /= 2;
            }
            const int stride = (W + 7) / 8;
            for (int y = 0; y < H; ++y)
                for (int x = 0; x < stride * 8; ++x) {
                    const bool bit = block[at + size_t(y * stride + x / 8)] & (128 >> (x % 8));
                    ASSERT_EQ(bit, x < W && g[size_t(y * W + x)] > T) << l << ": " << x << "," << y;
                }
            at += size_t(stride * H);
        }
    }
}
