// HDR median filters: the selection against a sort, each filter against a plain reading of its
// definition, spikes removed, normal pixels copied, borders and refused arguments.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include "imagecore/color.h"
#include "merge/hdr_filters.h"
#include "tests/merge/hdr_test_util.h"

using hdrtest::make_rgbe;
using hdrtest::noise;
using hdrtest::Quad;
using hdrtest::Rgb;
using hdrtest::Rgbe;

namespace {

using Filter = int (*)(int, int, int, int, const uint8_t *, uint8_t *);

// Distinct luminances: every pixel a slightly different, normalised grey-ish colour, so each
// window has one median pixel whatever the selection's order of ties.
Rgbe textured(int w, int h, uint32_t seed)
{
    return make_rgbe(w, h, [&](int x, int y) {
        const float v = 1.0f + 0.9f * noise(seed, x, y) + 1e-4f * float(y * w + x);
        return Rgb{v * (1.0f + 0.2f * noise(seed + 1, x, y)), v,
                   v * (1.0f + 0.2f * noise(seed + 2, x, y))};
    });
}

double luminance(const Rgb &c)
{
    return float(0.3 * c[0] + 0.6 * c[1] + 0.1 * c[2]);
}

// Luminances and positions of the window of radius r, sorted by luminance.
std::vector<std::pair<double, Quad>> sorted_window(const Rgbe &img, int x, int y, int r)
{
    std::vector<std::pair<double, Quad>> win;
    for (int dy = -r; dy <= r; ++dy)
        for (int dx = -r; dx <= r; ++dx)
            win.push_back({luminance(img.value(x + dx, y + dy)), img.at(x + dx, y + dy)});
    std::sort(win.begin(), win.end(), [](auto &a, auto &b) { return a.first < b.first; });
    return win;
}

Rgbe run(Filter f, int radius, const Rgbe &src, int *result, uint8_t fill = 0xAB)
{
    Rgbe dst{src.w, src.h, std::vector<uint8_t>(src.bytes.size(), fill)};
    *result = f(radius, src.w, src.h, 32, src.bytes.data(), dst.bytes.data());
    return dst;
}

} // namespace

TEST(Fqs2, LowerMedianOfSmallSets)
{
    struct Case {
        std::vector<float> values;
        float median;
    };
    for (const Case &c : std::vector<Case>{
             {{5}, 5}, {{3, 1}, 1}, {{4, 1, 3, 2}, 2}, {{2, 2, 1, 1}, 1}, {{9, 8, 7, 6, 5}, 7}}) {
        std::vector<float> v = c.values;
        std::vector<int> perm(v.size());
        std::iota(perm.begin(), perm.end(), 0);
        EXPECT_EQ(fqs2(v.data(), perm.data(), int(v.size())), c.median) << v.size();
        EXPECT_EQ(c.values[size_t(perm[(v.size() - 1) / 2])], c.median);
    }
    // Two values end ordered.
    std::vector<float> two = {3, 1};
    int perm2[2] = {0, 1};
    fqs2(two.data(), perm2, 2);
    EXPECT_EQ(two, (std::vector<float>{1, 3}));
    EXPECT_EQ(fqs2(nullptr, perm2, 2), 0.0f);
}

TEST(Fqs2, AgreesWithASortAndPermutationNamesTheSource)
{
    for (int n = 1; n <= 170; n += 3)
        for (uint32_t seed = 0; seed < 4; ++seed) {
            const size_t count = size_t(n);
            std::vector<float> v(count);
            for (int i = 0; i < n; ++i) // few distinct values: many ties
                v[size_t(i)] = std::floor(8.0f * noise(seed, i, n));
            const std::vector<float> original = v;
            std::vector<float> sorted = v;
            std::sort(sorted.begin(), sorted.end());
            std::vector<int> perm(count);
            std::iota(perm.begin(), perm.end(), 0);
            const size_t k = size_t(n - 1) / 2;
            ASSERT_EQ(fqs2(v.data(), perm.data(), n), sorted[k]) << n << " " << seed;
            // Every exchange went to both arrays.
            for (int i = 0; i < n; ++i)
                ASSERT_EQ(v[size_t(i)], original[size_t(perm[size_t(i)])]);
        }
}

TEST(NormalMedian, MatchesPlainMedianOfEachWindow)
{
    const Rgbe src = textured(13, 11, 7);
    int result = 0;
    const Rgbe dst = run(normalMedian, 0, src, &result);
    EXPECT_EQ(result, 11 - 2);
    for (int y = 0; y < src.h; ++y)
        for (int x = 0; x < src.w; ++x) {
            const bool interior = x >= 2 && x <= src.w - 3 && y >= 2 && y <= src.h - 3;
            // Normalised pixels re-encode to their own bytes, so the median pixel's bytes it is.
            const Quad want =
                interior ? sorted_window(src, x, y, 2)[12].second : Quad{0xAB, 0xAB, 0xAB, 0xAB};
            ASSERT_EQ(dst.at(x, y), want) << x << "," << y;
        }
}

TEST(NormalMedian, SpikeOnFlatAreaIsRemovedAndBlackStaysZero)
{
    Rgbe src = make_rgbe(7, 7, [](int, int) { return Rgb{0.5f, 0.4f, 0.3f}; });
    src.set(3, 3, {200, 10, 10, 140}); // a hot pixel, 16x brighter
    int result = 0;
    EXPECT_EQ(run(normalMedian, 0, src, &result).at(3, 3), src.at(0, 0));
    Rgbe black = make_rgbe(7, 7, [](int, int) { return Rgb{0, 0, 0}; });
    black.set(3, 3, {7, 9, 11, 0}); // mantissas under a zero exponent are still black
    EXPECT_EQ(run(normalMedian, 0, black, &result).at(3, 3), (Quad{0, 0, 0, 0}));
}

TEST(AdaptiveMedian, MatchesPlainReadingOfTheGrowingWindow)
{
    const Rgbe src = textured(19, 17, 3);
    int result = 0;
    const Rgbe dst = run(adaptiveMedian, 0, src, &result);
    EXPECT_EQ(result, 17 - 7);
    int copied = 0, replaced = 0;
    for (int y = 0; y < src.h; ++y)
        for (int x = 0; x < src.w; ++x) {
            if (x < 7 || x > src.w - 8 || y < 7 || y > src.h - 8) {
                ASSERT_EQ(dst.at(x, y), (Quad{0xAB, 0xAB, 0xAB, 0xAB}));
                continue;
            }
            std::vector<std::pair<double, Quad>> win;
            for (int r = 2; r <= 6; ++r) {
                win = sorted_window(src, x, y, r);
                const double med = win[win.size() / 2].first;
                if (win.front().first < med && med < win.back().first)
                    break;
            }
            const double c = luminance(src.value(x, y));
            const bool keep = win.front().first < c && c < win.back().first;
            (keep ? copied : replaced) += 1;
            ASSERT_EQ(dst.at(x, y), keep ? src.at(x, y) : win[win.size() / 2].second);
        }
    EXPECT_GT(copied, 0);
    EXPECT_GT(replaced, 0); // window extremes at the centre were met too
}

TEST(AdaptiveMedian, NormalPixelCopiedByteForByteFlatAreaReencoded)
{
    // Unnormalised bytes: a copy keeps them, re-encoding would double the mantissas.
    Rgbe src = make_rgbe(15, 15, [](int x, int y) {
        const float v = 1.0f + 0.01f * float(y * 15 + x);
        return Rgb{v, v, v};
    });
    src.set(7, 7, {67, 68, 69, 131}); // (67 .. 69) / 32: between its row neighbours' 2.11, 2.13
    const Rgbe ramp = src;
    int result = 0;
    EXPECT_EQ(run(adaptiveMedian, 0, ramp, &result).at(7, 7), (Quad{67, 68, 69, 131}));
    EXPECT_EQ(result, 15 - 7);
    // A flat window never has its median strictly inside: radius 6 decides, the median pixel is
    // written re-encoded.
    Rgbe flat{15, 15, std::vector<uint8_t>(15 * 15 * 4)};
    for (int y = 0; y < 15; ++y)
        for (int x = 0; x < 15; ++x)
            flat.set(x, y, {64, 64, 64, 130});
    EXPECT_EQ(run(adaptiveMedian, 0, flat, &result).at(7, 7), (Quad{128, 128, 128, 129}));
    // A spike in a flat area: it is the window's maximum at every radius.
    flat.set(7, 7, {255, 255, 255, 135});
    EXPECT_EQ(run(adaptiveMedian, 0, flat, &result).at(7, 7), (Quad{128, 128, 128, 129}));
}

TEST(MedianC, MatchesPlainChromaMediansAndKeepsLuma)
{
    const Rgbe src = textured(12, 10, 11);
    for (int r : {0, 1, 2}) {
        int result = 0;
        const Rgbe dst = run(median_c, r, src, &result);
        EXPECT_EQ(result, 10 - r);
        for (int y = r; y <= src.h - r - 1; ++y)
            for (int x = r; x <= src.w - r - 1; ++x) {
                std::vector<float> cb, cr;
                float centre[3] = {0, 0, 0};
                for (int dy = -r; dy <= r; ++dy)
                    for (int dx = -r; dx <= r; ++dx) {
                        float ybr[3];
                        rgb2ybr(src.value(x + dx, y + dy).data(), ybr);
                        cb.push_back(ybr[1]);
                        cr.push_back(ybr[2]);
                        if (dx == 0 && dy == 0)
                            std::copy(ybr, ybr + 3, centre);
                    }
                std::sort(cb.begin(), cb.end());
                std::sort(cr.begin(), cr.end());
                const float ybr[3] = {centre[0], cb[(cb.size() - 1) / 2], cr[(cr.size() - 1) / 2]};
                float rgb[3];
                ybr2rgb(ybr, rgb);
                const imagecore::Rgbe want = imagecore::encode_rgbe(rgb[0], rgb[1], rgb[2]);
                ASSERT_EQ(dst.at(x, y), (Quad{want.r, want.g, want.b, want.e}))
                    << r << ": " << x << "," << y;
            }
    }
}

TEST(MedianC, UniformNeighboursGiveTheirChromaWithOwnLuma)
{
    Rgbe src = make_rgbe(3, 3, [](int, int) { return Rgb{0.8f, 0.3f, 0.1f}; }); // orange
    src.set(1, 1, {40, 40, 200, 129});                                          // a blue pixel
    int result = 0;
    const Rgbe dst = run(median_c, 1, src, &result);
    EXPECT_EQ(result, 2);
    float own[3], orange[3], out[3];
    rgb2ybr(src.value(1, 1).data(), own);
    rgb2ybr(src.value(0, 0).data(), orange);
    const Rgb got = dst.value(1, 1);
    rgb2ybr(got.data(), out);
    EXPECT_NEAR(out[0], own[0], own[0] * 1e-2);    // luma kept, to the mantissa's 1/128
    EXPECT_NEAR(out[1], orange[1], own[0] * 1e-2); // chroma of the neighbours
    EXPECT_NEAR(out[2], orange[2], own[0] * 1e-2);
    EXPECT_GT(got[0], got[2]); // the blue pixel turned orange
}

TEST(HdrMedianFilters, SmallImagesWrongDepthAndBadArgumentsLeaveDestination)
{
    const Rgbe src = textured(20, 20, 1);
    struct Case {
        Filter f;
        int radius, w, h, bits;
        int want;
    };
    const Case cases[] = {
        {normalMedian, 0, 20, 4, 32, 2},
        {normalMedian, 0, 20, 20, 24, 0},
        {normalMedian, 0, -1, 20, 32, -3},
        {adaptiveMedian, 0, 20, 14, 32, 7},
        {adaptiveMedian, 0, 20, 20, 8, 0},
        {adaptiveMedian, 0, 20, -5, 32, -3},
        {median_c, 3, 20, 6, 32, 3},
        {median_c, 1, 20, 20, 16, 0},
        {median_c, -3, 20, 20, 32, -3},
        {median_c, -1, 20, 20, 32, -3},
        {median_c, 1 << 30, 20, 20, 32, 1 << 30},
        {median_c, 12, 20, 30, 32, 30 - 12}, // wider radius than the image: nothing to filter
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> dst(src.bytes.size(), 0x5A);
        EXPECT_EQ(c.f(c.radius, c.w, c.h, c.bits, src.bytes.data(), dst.data()), c.want)
            << c.radius << " " << c.w << "x" << c.h << " " << c.bits;
        EXPECT_EQ(dst, std::vector<uint8_t>(src.bytes.size(), 0x5A));
    }
    std::vector<uint8_t> dst(src.bytes.size());
    EXPECT_EQ(normalMedian(0, 20, 20, 32, nullptr, dst.data()), -3);
    EXPECT_EQ(median_c(1, 20, 20, 32, src.bytes.data(), nullptr), -3);
}
