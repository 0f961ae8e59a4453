// HDR median filters: the selection against a sort, each filter against a plain reading of its
// definition, spikes removed, normal pixels copied, refusals that leave the destination alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include "imagecore/color.h"
#include "merge/hdr_filters.h"
#include "tests/merge/hdr_test_util.h"

using namespace hdrtest;

namespace {

using Filter = int (*)(int, int, int, int, const uint8_t *, uint8_t *);
const Quad kUnwritten = {0xAB, 0xAB, 0xAB, 0xAB};

// Normalised pixels (m, m - 1, m - 2, e), each (m, e) once: every luminance is distinct after
// encoding, so each window has one median pixel whatever the order of ties.
Rgbe textured(int w, int h)
{
    Rgbe img{w, h, std::vector<uint8_t>(size_t(w) * size_t(h) * 4)};
    for (int i = 0; i < w * h; ++i) {
        const int v = int((int64_t(i) * 7919) % (w * h)); // w x h coprime to 7919
        const uint8_t m = uint8_t(130 + v % 120);
        img.set(i % w, i / w, {m, uint8_t(m - 1), uint8_t(m - 2), uint8_t(129 + v / 120)});
    }
    return img;
}

// As textured, in colour: red rises as blue falls within each exponent, (130 + m, 100,
// 249 - m), so the luminance 123.9 + 0.2 m orders the pixels against what weights with red and
// blue swapped (147.7 - 0.2 m) would.
Rgbe colourful(int w, int h)
{
    Rgbe img{w, h, std::vector<uint8_t>(size_t(w) * size_t(h) * 4)};
    for (int i = 0; i < w * h; ++i) {
        const int v = int((int64_t(i) * 7919) % (w * h));
        const int m = v % 120;
        img.set(i % w, i / w, {uint8_t(130 + m), 100, uint8_t(249 - m), uint8_t(129 + v / 120)});
    }
    return img;
}

// The window of radius r as (luminance, bytes), sorted by luminance.
std::vector<std::pair<float, Quad>> sorted_window(const Rgbe &img, int x, int y, int r)
{
    std::vector<std::pair<float, Quad>> win;
    for (int dy = -r; dy <= r; ++dy)
        for (int dx = -r; dx <= r; ++dx) {
            const Rgb c = img.value(x + dx, y + dy);
            win.push_back({float(0.3 * c[0] + 0.6 * c[1] + 0.1 * c[2]), img.at(x + dx, y + dy)});
        }
    std::sort(win.begin(), win.end(), [](auto &a, auto &b) { return a.first < b.first; });
    return win;
}

Rgbe run(Filter f, int radius, const Rgbe &src, int want)
{
    Rgbe dst{src.w, src.h, std::vector<uint8_t>(src.bytes.size(), 0xAB)};
    EXPECT_EQ(f(radius, src.w, src.h, 32, src.bytes.data(), dst.bytes.data()), want);
    return dst;
}

} // namespace

TEST(Fqs2, LowerMedianAsASortGivesAndPermutationFollows)
{
    for (auto [values, median] : std::vector<std::pair<std::vector<float>, float>>{
             {{5}, 5}, {{3, 1}, 1}, {{4, 1, 3, 2}, 2}, {{2, 2, 1, 1}, 1}}) {
        std::vector<int> perm(values.size());
        std::iota(perm.begin(), perm.end(), 0);
        EXPECT_EQ(fqs2(values.data(), perm.data(), int(values.size())), median);
    }
    for (int n = 1; n <= 170; n += 3) {
        std::vector<float> v;
        for (int i = 0; i < n; ++i)
            v.push_back(std::floor(8.0f * noise(1, i, n))); // few distinct values: many ties
        const std::vector<float> original = v;
        std::vector<int> perm(v.size());
        std::iota(perm.begin(), perm.end(), 0);
        std::vector<float> sorted = v;
        std::sort(sorted.begin(), sorted.end());
        ASSERT_EQ(fqs2(v.data(), perm.data(), n), sorted[size_t(n - 1) / 2]) << n;
        for (size_t i = 0; i < v.size(); ++i) // every exchange went to both arrays
            ASSERT_EQ(v[i], original[size_t(perm[i])]);
    }
}

TEST(HdrMedians, FixedAndAdaptiveMatchPlainReadings)
{
    for (const Rgbe &src : {textured(19, 17), colourful(19, 17)}) {
        const Rgbe fixed = run(normalMedian, 0, src, 17 - 2),
                   adaptive = run(adaptiveMedian, 0, src, 17 - 7);
        for (int y = 0; y < src.h; ++y)
            for (int x = 0; x < src.w; ++x) {
                const bool in5 = x >= 2 && x < src.w - 2 && y >= 2 && y < src.h - 2;
                ASSERT_EQ(fixed.at(x, y),
                          in5 ? sorted_window(src, x, y, 2)[12].second : kUnwritten);
                if (x < 7 || x >= src.w - 7 || y < 7 || y >= src.h - 7) {
                    ASSERT_EQ(adaptive.at(x, y), kUnwritten);
                    continue;
                }
                std::vector<std::pair<float, Quad>> win;
                for (int r = 2; r <= 6; ++r) { // grow until the median lies strictly inside
                    win = sorted_window(src, x, y, r);
                    const float med = win[win.size() / 2].first;
                    if (win.front().first < med && med < win.back().first)
                        break;
                }
                const Rgb c = src.value(x, y);
                const float lum = float(0.3 * c[0] + 0.6 * c[1] + 0.1 * c[2]);
                const bool keep = win.front().first < lum && lum < win.back().first;
                ASSERT_EQ(adaptive.at(x, y), keep ? src.at(x, y) : win[win.size() / 2].second);
            }
    }
}

TEST(HdrMedians, SpikeRemovedNormalPixelCopiedFlatAreaReencoded)
{
    Rgbe ramp = make_rgbe(15, 15, [](int x, int y) {
        const float v = 1.0f + 0.01f * float(y * 15 + x);
        return Rgb{v, v, v};
    });
    // Unnormalised bytes between the row neighbours' 2.11 and 2.13: copied, not re-encoded.
    ramp.set(7, 7, {67, 68, 69, 131});
    EXPECT_EQ(run(adaptiveMedian, 0, ramp, 8).at(7, 7), (Quad{67, 68, 69, 131}));
    Rgbe flat{15, 15, std::vector<uint8_t>(15 * 15 * 4)};
    for (int y = 0; y < 15; ++y)
        for (int x = 0; x < 15; ++x)
            flat.set(x, y, {64, 64, 64, 130});
    // Flat: no window has its median strictly inside, radius 6 writes the median re-encoded.
    EXPECT_EQ(run(adaptiveMedian, 0, flat, 8).at(7, 7), (Quad{128, 128, 128, 129}));
    flat.set(7, 7, {255, 255, 255, 135}); // a hot pixel
    EXPECT_EQ(run(adaptiveMedian, 0, flat, 8).at(7, 7), (Quad{128, 128, 128, 129}));
    EXPECT_EQ(run(normalMedian, 0, flat, 13).at(7, 7), (Quad{128, 128, 128, 129}));
    for (int y = 6; y <= 8; ++y) // three black rows: the median pixel is black, mantissas or not
        for (int x = 5; x < 10; ++x)
            flat.set(x, y, {7, 9, 11, 0});
    EXPECT_EQ(run(normalMedian, 0, flat, 13).at(7, 7), (Quad{0, 0, 0, 0}));
}

TEST(MedianC, ChromaMediansWithOwnLumaMatchPlainReading)
{
    for (const Rgbe &src : {textured(12, 10), colourful(12, 10)})
        for (int r : {0, 1, 2}) {
            const Rgbe dst = run(median_c, r, src, 10 - r);
            for (int y = r; y < src.h - r; ++y)
                for (int x = r; x < src.w - r; ++x) {
                    std::vector<float> cb, cr;
                    float ybr[3], centreY = 0;
                    for (int dy = -r; dy <= r; ++dy)
                        for (int dx = -r; dx <= r; ++dx) {
                            rgb2ybr(src.value(x + dx, y + dy).data(), ybr);
                            cb.push_back(ybr[1]);
                            cr.push_back(ybr[2]);
                            centreY = dx == 0 && dy == 0 ? ybr[0] : centreY;
                        }
                    std::sort(cb.begin(), cb.end());
                    std::sort(cr.begin(), cr.end());
                    const float out[3] = {centreY, cb[cb.size() / 2], cr[cr.size() / 2]};
                    float rgb[3];
                    ybr2rgb(out, rgb);
                    const imagecore::Rgbe e = imagecore::encode_rgbe(rgb[0], rgb[1], rgb[2]);
                    ASSERT_EQ(dst.at(x, y), (Quad{e.r, e.g, e.b, e.e}))
                        << r << ": " << x << "," << y;
                }
        }
}

TEST(HdrMedians, RefusalsAndSmallImagesLeaveDestination)
{
    const Rgbe src = textured(20, 20);
    struct Case {
        Filter f;
        int radius, w, h, bits, want;
    };
    for (const Case &c :
         {Case{normalMedian, 0, 20, 4, 32, 2}, Case{normalMedian, 0, 20, 20, 24, 0},
          Case{adaptiveMedian, 0, 20, 14, 32, 7}, Case{median_c, 3, 20, 6, 32, 3},
          Case{median_c, -3, 20, 20, 32, -3}, Case{median_c, 1 << 30, 20, 20, 32, 1 << 30},
          Case{median_c, 12, 20, 30, 32, 30 - 12}}) { // wider than the image
        std::vector<uint8_t> dst(src.bytes.size(), 0x5A);
        EXPECT_EQ(c.f(c.radius, c.w, c.h, c.bits, src.bytes.data(), dst.data()), c.want)
            << c.radius << " " << c.w << "x" << c.h << " " << c.bits;
        EXPECT_EQ(dst, std::vector<uint8_t>(src.bytes.size(), 0x5A));
    }
    EXPECT_EQ(median_c(1, 20, 20, 32, src.bytes.data(), nullptr), -3);
}
