// Fusion pyramids, blending and collapse: the reduce step, the band blend and the up-sampling
// against plain readings of their definitions (over shapes, depths and the panorama wrap), the
// worked examples, the finishing settings by their values and its hue function, refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <type_traits>
#include <utility>
#include <vector>

#include "fusion/combination.h"
#include "fusion/pyramid_blend.h"
#include "fusion/reconstruct.h"
#include "fusion/upsample.h"
#include "imagecore/preview.h"
#include "tests/support/patterns.h"
#include "tonemap/tm_params.h"

using testsupport::seeded_samples;

namespace {

using Params = std::array<float, kTmParamCount>;
template <class T> using Sum = std::conditional_t<std::is_floating_point_v<T>, float, int>;

// Float inputs must be whole numbers below 2^20, so that every sum is exact in any order.
template <class T>
std::vector<T> ref_reduce(const std::vector<T> &fine, int fw, int fh, int spp, bool is360)
{
    const int cw = (fw + 1) / 2, ch = (fh + 1) / 2;
    std::vector<T> out;
    for (int j = 0; j < ch; ++j)
        for (int i = 0; i < cw; ++i)
            for (int c = 0; c < spp; ++c) {
                // The sides a region has no neighbours on.
                const bool top = j == 0, bottom = fh % 2 && j == ch - 1;
                const bool left = !is360 && i == 0, right = !is360 && fw % 2 && i == cw - 1;
                Sum<T> m = 0, straight = 0, diagonal = 0;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) {
                        if ((dy < 0 && top) || (dy > 0 && bottom) || (dx < 0 && left) ||
                            (dx > 0 && right))
                            continue;
                        const int x = (2 * i + dx + fw) % fw, y = 2 * j + dy;
                        const Sum<T> v = fine[size_t((y * fw + x) * spp + c)];
                        (dx == 0 && dy == 0 ? m : dx == 0 || dy == 0 ? straight : diagonal) += v;
                    }
                const int sides = int(top) + int(bottom) + int(left) + int(right);
                double v = 0.333 * double(m) + 0.1667 * double(straight) + double(diagonal) / 12.0;
                if constexpr (std::is_floating_point_v<T>)
                    v = sides == 0   ? double(m) * 0.25 + straight * 0.125 + diagonal * 0.0625
                        : sides == 2 ? double(m) * 0.5 + straight * 0.25
                                     : v;
                else
                    v = sides == 0   ? (m >> 2) + (straight >> 3) + (diagonal >> 4)
                        : sides == 2 ? (m >> 1) + (straight >> 2)
                                     : v;
                out.push_back(T(v));
            }
    return out;
}

// The expanded value at fine (x, y): the mean of the coarse pixels (x / 2 or its right
// neighbour, y / 2 or its lower neighbour) that exist, column 0 standing in on the right with
// is360. Integers: truncating shifts; floats: 0.5 and 0.25.
template <class T>
Sum<T> ref_expand(const T *coarse, int wc, int hc, int spp, bool is360, int x, int y, int c)
{
    std::vector<int> cols{x / 2}, rows{y / 2};
    if (x % 2 && (x / 2 + 1 < wc || is360))
        cols.push_back(x / 2 + 1 < wc ? x / 2 + 1 : 0);
    if (y % 2 && y / 2 + 1 < hc)
        rows.push_back(y / 2 + 1);
    Sum<T> sum = 0;
    for (int r : rows)
        for (int k : cols)
            sum += coarse[size_t((r * wc + k) * spp + c)];
    const size_t n = rows.size() * cols.size();
    if constexpr (std::is_floating_point_v<T>)
        return n == 1 ? sum : sum * (n == 2 ? 0.5f : 0.25f);
    else
        return n == 1 ? sum : sum >> (n == 2 ? 1 : 2);
}

// A fine level followed by room for its coarse level, reduced by fusion21a.
template <class T>
std::vector<T> reduce(std::vector<T> buf, int fw, int fh, int spp, int depth, bool is360)
{
    const size_t n = buf.size();
    buf.resize(n + size_t((fw + 1) / 2 * ((fh + 1) / 2) * spp));
    EXPECT_EQ(
        fusion21a(fw, fh, (fw + 1) / 2, (fh + 1) / 2, spp, depth, is360, 0, int(n), buf.data()),
        (fh + 1) / 2);
    return std::vector<T>(buf.begin() + long(n), buf.end());
}

} // namespace

TEST(Fusion21a, FlatLevelsAndTheReferenceOverShapesDepthsAndWrap)
{
    // 7 x 7 reduces to 4 x 4 with a bottom row and right column; 6 x 6 to 3 x 3 without them.
    for (auto [depth, value, inner, border, corner] : {std::array{16, 65535, 65533, 65519, 65534},
                                                       {8, 255, 253, 254, 254},
                                                       {16, 32640, 32640, 32632, 32640}})
        for (auto [side, map] : {std::pair{7, "CBBCBIIBBIIBCBBC"}, {6, "CBBBIIBII"}}) {
            auto flat = [&](auto sample) {
                using T = decltype(sample);
                const auto r = reduce(std::vector<T>(size_t(side * side), T(value)), side, side, 1,
                                      depth, false);
                return std::vector<int>(r.begin(), r.end());
            };
            const auto level = depth == 8 ? flat(uint8_t{}) : flat(uint16_t{});
            for (size_t k = 0; k < level.size(); ++k)
                EXPECT_EQ(level[k], map[k] == 'C'   ? corner
                                    : map[k] == 'B' ? border
                                                    : inner)
                    << side << " " << k;
        }
    uint32_t seed = 1;
    for (auto [fw, fh] : {std::pair{5, 5}, {6, 7}, {9, 4}, {2, 2}, {3, 2}, {8, 3}})
        for (int spp : {1, 3})
            for (bool is360 : {false, true}) {
                auto same = [&](auto sample, int depth) {
                    const auto v = seeded_samples<uint16_t>(size_t(fw * fh * spp), ++seed,
                                                            depth == 8 ? 256 : 65536);
                    const std::vector<decltype(sample)> fine(v.begin(), v.end());
                    EXPECT_EQ(reduce(fine, fw, fh, spp, depth, is360),
                              ref_reduce(fine, fw, fh, spp, is360))
                        << fw << "x" << fh << " " << spp << is360 << " " << depth;
                };
                same(uint8_t{}, 8), same(uint16_t{}, 16), same(float{}, 32);
            }
    // A panorama's coarse (0, 1) takes the inner kernel, its left neighbours from fine column 4.
    std::vector<uint16_t> lit(25, 0);
    for (int y = 0; y < 5; ++y)
        lit[size_t(y * 5 + 4)] = 1000;
    EXPECT_EQ(reduce(lit, 5, 5, 1, 16, true)[3], (1000 >> 3) + (2000 >> 4));
    EXPECT_EQ(reduce(lit, 5, 5, 1, 16, false)[3], 0);
}

TEST(Fusion22et23, BandValuesAndTheReferenceOverShapesAndWrap)
{
    // A fine 4 x 4 over a flat coarse 2 x 2 of 100: band values fine - 100, truncated to zero.
    for (auto [fine, weight, added] :
         {std::array{97, 32768, -1}, {97, 0, 0}, {108, 65535, 7}, {92, 65535, -7}}) {
        std::vector<uint16_t> out(20, 100), blended(16, 32767);
        std::fill_n(out.begin(), 16, uint16_t(fine));
        const std::vector<uint16_t> weights(16, uint16_t(weight));
        fusion22et23(4, 4, 2, 2, 1, 16, 16, 0, 0, nullptr, nullptr, 0, 0, 16, weights.data(),
                     out.data(), blended.data());
        EXPECT_EQ(blended, std::vector<uint16_t>(16, uint16_t(32767 + added))) << fine;
    }
    // 16 bits, widths past the row chunks the blend works in, odd and even sides, 1 to 3 samples.
    uint32_t seed = 11;
    for (auto [fw, fh] : {std::pair{7, 5}, {6, 6}, {1, 4}, {600, 3}, {513, 4}})
        for (int spp : {1, 2, 3})
            for (bool is360 : {false, true}) {
                const int cw = (fw + 1) / 2, ch = (fh + 1) / 2, nf = fw * fh * spp;
                auto photo = seeded_samples<uint16_t>(size_t(nf + cw * ch * spp), ++seed, 32768);
                const auto weights = seeded_samples<uint16_t>(size_t(fw * fh), ++seed, 65536);
                const auto start = seeded_samples<uint16_t>(size_t(nf), ++seed, 65536);
                std::vector<uint16_t> blended = start;
                ASSERT_EQ(fusion22et23(fw, fh, cw, ch, spp, 16, 16, is360, 0, nullptr, nullptr, 0,
                                       0, nf, weights.data(), photo.data(), blended.data()),
                          fh);
                for (int k = 0; k < nf; ++k) {
                    const int p = k / spp, x = p % fw, y = p / fw, c = k % spp;
                    const int e = ref_expand(photo.data() + nf, cw, ch, spp, is360, x, y, c);
                    const int t =
                        int(float(photo[size_t(k)] - e) * (weights[size_t(p)] / 65536.0f));
                    ASSERT_EQ(blended[size_t(k)], std::clamp(start[size_t(k)] + t, 0, 65535))
                        << fw << "x" << fh << " spp " << spp << " " << is360 << " sample " << k;
                }
            }
}

TEST(Fusion22, SixBySixWorkedExampleRefusalsAndTheLevelZeroCase)
{
    // A flat 6 x 6 photo of 32640 (8-bit white at 15 bits), one sample a pixel, rangMax 1.
    auto run = [](const std::vector<uint16_t> &weights, std::vector<uint16_t> &out) {
        out.assign(45, 32640);
        std::vector<uint16_t> blended(45, 32767);
        std::fill(blended.begin() + 36, blended.end(), 0);
        EXPECT_EQ(fusion22(1, 6, 6, 1, 8, 16, 16, 0, weights.data(), nullptr, nullptr, out.data(),
                           blended.data()),
                  2);
        return blended;
    };
    std::vector<uint16_t> out;
    const auto given = run(std::vector<uint16_t>(45, 65535), out); // 65535 at both levels
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(out[size_t(36 + i)], (i % 3 == 0) == (i < 3) ? 32640 : 32632) << i;
    EXPECT_EQ(given[2], 32774);         // band value 8 x 0.99998, truncated to 7
    EXPECT_EQ(given[2 * 6 + 2], 32767); // no band value
    EXPECT_EQ(given[36], 32639);        // 32640 x 0.99998, truncated
    EXPECT_EQ(given[36 + 4], 32639);
    // fusion21's weight pyramid holds 65533 at level 1's inner pixels: trunc(32640 x 65533 /
    // 65536) = 32638 there.
    std::vector<uint16_t> weights(45, 0);
    std::fill_n(weights.begin(), 36, 65535);
    ASSERT_EQ(fusion21(1, 6, 6, 16, 0, weights.data()), 1);
    EXPECT_EQ(weights[36 + 4], 65533);
    EXPECT_EQ(run(weights, out)[36 + 4], 32638);
    // Refusals, of an 8 x 8 photo.
    const int len = pyram_len(8, 8);
    weights.assign(size_t(len), 32768), out.assign(size_t(len) * 3, 1000);
    std::vector<uint16_t> blended(size_t(len) * 3, 0);
    auto blend = [&](int L, int spp, int depth, const void *w, FILE *f) {
        return fusion22(L, 8, 8, spp, 8, depth, 16, 0, w, f, nullptr, out.data(), blended.data());
    };
    FILE *file = tmpfile();                                  // an empty weight pyramid file
    EXPECT_EQ(blend(3, 3, 16, weights.data(), nullptr), -3); // more levels than 8 x 8 holds
    EXPECT_EQ(blend(2, 3, 16, nullptr, nullptr), -1);
    EXPECT_EQ(fusion22et23(4, 4, 2, 2, 1, 16, 16, 0, 1, file, out.data(), 0, 0, 16, weights.data(),
                           out.data(), blended.data()),
              -3);
    fclose(file);
    EXPECT_EQ(fusion21(3, 8, 8, 16, 0, weights.data()), -3);
    EXPECT_EQ(fusion21(0, 8, 8, 16, 0, weights.data()), 0);
    EXPECT_EQ(fusion21a(6, 6, 3, 3, 1, 16, 0, 0, 30, weights.data()), 0); // overlapping levels
    EXPECT_EQ(weights, std::vector<uint16_t>(weights.size(), 32768));
    EXPECT_EQ(blended, std::vector<uint16_t>(blended.size(), 0));
    // rangMax 0: only the weighted photo into level 0.
    EXPECT_EQ(blend(0, 3, 16, weights.data(), nullptr), 1);
    for (size_t i = 0; i < blended.size(); ++i)
        ASSERT_EQ(blended[i], i < 8 * 8 * 3 ? 500 : 0) << i;
    // Weights summing past 1 (three photos of 32767 at 65535 each) saturate the low-pass sum
    // instead of wrapping it round to a dark 32762.
    const std::vector<uint16_t> full(4, 65535);
    std::vector<uint16_t> photo(4, 32767), sum(4, 0);
    for (int want : {32766, 65532, 65535}) {
        ASSERT_EQ(fusion22(0, 2, 2, 1, 8, 16, 16, 0, full.data(), nullptr, nullptr, photo.data(),
                           sum.data()),
                  1);
        EXPECT_EQ(sum, std::vector<uint16_t>(4, uint16_t(want)));
    }
}

TEST(Adjust22bAndFusion31et32, UpSampleByTheReferenceExpansion)
{
    uint32_t seed = 3;
    for (auto [wf, hf] : {std::pair{7, 5}, {6, 6}, {1, 4}, {4, 1}, {8, 3}, {600, 3}, {513, 4}})
        for (int spp : {1, 3})
            for (bool is360 : {false, true}) {
                const int wc = (wf + 1) / 2, hc = (hf + 1) / 2, nf = wf * hf * spp,
                          nc = wc * hc * spp;
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
                            << wf << "x" << hf << " " << spp << is360 << " " << bps;
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
    uint16_t fine[2] = {5, 5}; // another depth writes nothing
    EXPECT_EQ(adjust22b(2, 1, 1, 1, 1, 12, 0, 0, 0, fine + 1, fine), 0);
    EXPECT_EQ(fine[0], 5);
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
             // Below -10 the saturation would turn negative: it stops at grey.
             {"saturation -20 grey", {S, -20}, 8, {200 << 7, 100 << 7, 50 << 7}, {125, 125, 125}},
             {"saturation 0.6 to 0.9", {S, 5}, 8, {200 << 7, 100 << 7, 50 << 7}, {237, 87, 12}},
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
    // The collapse refuses a level count the image cannot hold; no level writes nothing.
    std::vector<uint16_t> pyr(size_t(pyram_len(8, 8)) * 3, 32767), img(pyr.size(), 4);
    for (auto [L, rc] : {std::pair{3, -3}, {0, 0}})
        EXPECT_EQ(
            fusion3(none.data(), L, 8, 8, 3, 8, 16, 24, 0, 0, pyr.data(), nullptr, img.data()), rc);
    EXPECT_EQ(img, std::vector<uint16_t>(img.size(), 4));
}

// The hue function of the HSL-to-RGB conversion, under this stage's name and the combination
// methods', against a plain reading of its definition in double precision: t wraps once into
// 0..1; the channel climbs from p to q over the first sixth, holds q to one half, falls back to p
// by two thirds and holds p. The grid of t never meets a corner of that shape, where the float
// and double comparisons could take different branches.
TEST(Fhue2rgb, FollowsTheDefinitionAndItsKnownValues)
{
    auto plain = [](double p, double q, double t) {
        t = t < 0 ? t + 1 : (t > 1 ? t - 1 : t);
        if (t < 1.0 / 6)
            return p + (q - p) * 6 * t;
        if (t < 0.5)
            return q;
        if (t < 2.0 / 3)
            return p + (q - p) * (4 - 6 * t);
        return p;
    };
    for (auto [p, q] : {std::pair{0.2f, 0.8f}, {0.9f, 0.1f}, {0.0f, 1.0f}, {0.5f, 0.5f}})
        for (int k = 0; k < 144; ++k) {
            const float t = -1.0f + (float(k) + 0.37f) / 48.0f; // -1 .. 2
            const double want = plain(p, q, t);
            // Single against double rounding of values within 0..1.
            EXPECT_NEAR(fhue2rgb(p, q, t), want, 1e-6) << p << " " << q << " " << t;
            EXPECT_NEAR(hue_to_rgb(p, q, t), want, 1e-6) << p << " " << q << " " << t;
        }
    // p = 0.2, q = 0.8: half way up at 1/12, at q by 1/4, half way down at 7/12, at p by 3/4;
    // a hue one turn below or above is the same hue.
    const std::pair<float, float> known[] = {
        {0.0f, 0.2f},  {1.0f / 12, 0.5f},         {0.25f, 0.8f}, {0.5f, 0.8f}, {7.0f / 12, 0.5f},
        {0.75f, 0.2f}, {-1.0f + 1.0f / 12, 0.5f}, {1.25f, 0.8f}};
    for (auto [t, want] : known)
        EXPECT_NEAR(fhue2rgb(0.2f, 0.8f, t), want, 1e-6) << t;
}
