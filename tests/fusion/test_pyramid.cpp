// Fusion pyramids and blending: the reduce step's border sums and its reference over shapes,
// depths and the panorama wrap; the band blend's worked examples; refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "fusion/pyramid_blend.h"
#include "tests/fusion/fusion_reference.h"

using testsupport::seeded_samples;

namespace {

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

TEST(Fusion21a, FlatLevelsShowTheKernelSums)
{
    // 7 x 7 reduces to 4 x 4 with a bottom row and right column; 6 x 6 to 3 x 3 without them.
    auto flat = [](auto sample, int side, int value) {
        using T = decltype(sample);
        const auto r = reduce(std::vector<T>(size_t(side * side), T(value)), side, side, 1,
                              sizeof(T) * 8, false);
        return std::vector<int>(r.begin(), r.end());
    };
    for (auto [depth, value, inner, border, corner] : {std::array{16, 65535, 65533, 65519, 65534},
                                                       {8, 255, 253, 254, 254},
                                                       {16, 32640, 32640, 32632, 32640}})
        for (auto [side, map] : {std::pair{7, "CBBCBIIBBIIBCBBC"}, {6, "CBBBIIBII"}}) {
            const auto level =
                depth == 8 ? flat(uint8_t{}, side, value) : flat(uint16_t{}, side, value);
            for (size_t k = 0; k < level.size(); ++k)
                EXPECT_EQ(level[k], map[k] == 'C'   ? corner
                                    : map[k] == 'B' ? border
                                                    : inner)
                    << side << " " << k;
        }
}

TEST(Fusion21a, MatchesReferenceOverShapesDepthsAndWrap)
{
    uint32_t seed = 1;
    for (auto [fw, fh] : {std::pair{5, 5}, {6, 7}, {9, 4}, {2, 2}, {3, 2}, {8, 3}})
        for (int spp : {1, 3})
            for (bool is360 : {false, true}) {
                const size_t n = size_t(fw * fh * spp);
                const auto u8 = seeded_samples<uint8_t>(n, ++seed, 256);
                const auto u16 = seeded_samples<uint16_t>(n, ++seed, 65536);
                const std::vector<float> f32(u16.begin(), u16.end());
                const auto where = testing::Message()
                                   << fw << "x" << fh << " spp " << spp << " " << is360;
                using fusiontest::ref_reduce;
                EXPECT_EQ(reduce(u8, fw, fh, spp, 8, is360), ref_reduce(u8, fw, fh, spp, is360))
                    << where;
                EXPECT_EQ(reduce(u16, fw, fh, spp, 16, is360), ref_reduce(u16, fw, fh, spp, is360))
                    << where;
                EXPECT_EQ(reduce(f32, fw, fh, spp, 32, is360), ref_reduce(f32, fw, fh, spp, is360))
                    << where;
            }
    // A panorama's coarse (0, 1) takes the inner kernel, its left neighbours from fine column 4.
    std::vector<uint16_t> lit(25, 0);
    for (int y = 0; y < 5; ++y)
        lit[size_t(y * 5 + 4)] = 1000;
    EXPECT_EQ(reduce(lit, 5, 5, 1, 16, true)[3], (1000 >> 3) + (2000 >> 4));
    EXPECT_EQ(reduce(lit, 5, 5, 1, 16, false)[3], 0);
}

TEST(Fusion22et23, BandValuesTruncateTowardZero)
{
    // A fine 4 x 4 over a flat coarse 2 x 2 of 100: every band value is fine - 100.
    for (auto [fine, weight, added] : {std::array{97, 32768, -1},
                                       {103, 32768, 1},
                                       {97, 0, 0},
                                       {108, 65535, 7},
                                       {92, 65535, -7}}) {
        std::vector<uint16_t> out(20, 100), blended(16, 32767);
        std::fill_n(out.begin(), 16, uint16_t(fine));
        const std::vector<uint16_t> weights(16, uint16_t(weight));
        fusion22et23(4, 4, 2, 2, 1, 16, 16, 0, 0, nullptr, nullptr, 0, 0, 16, weights.data(),
                     out.data(), blended.data());
        EXPECT_EQ(blended, std::vector<uint16_t>(16, uint16_t(32767 + added))) << fine;
    }
}

TEST(Fusion22et23, MatchesReferenceOverShapesAndWrap)
{
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
                    const int e =
                        fusiontest::ref_expand(photo.data() + nf, cw, ch, spp, is360, x, y, c);
                    const int t =
                        int(float(photo[size_t(k)] - e) * (weights[size_t(p)] / 65536.0f));
                    ASSERT_EQ(blended[size_t(k)], std::clamp(start[size_t(k)] + t, 0, 65535))
                        << fw << "x" << fh << " spp " << spp << " " << is360 << " sample " << k;
                }
            }
}

TEST(Fusion22, SixBySixWorkedExample)
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
    // Every weight 65535 at both levels, as the worked example assumes.
    std::vector<uint16_t> out;
    const auto given = run(std::vector<uint16_t>(45, 65535), out);
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(out[size_t(36 + i)], (i % 3 == 0) == (i < 3) ? 32640 : 32632) << i;
    EXPECT_EQ(given[2], 32774);         // band value 8 x 0.99998, truncated to 7
    EXPECT_EQ(given[2 * 6 + 2], 32767); // no band value
    EXPECT_EQ(given[36], 32639);        // 32640 x 0.99998, truncated
    EXPECT_EQ(given[36 + 4], 32639);
    // The weight pyramid fusion21 builds from the map holds 65533 at level 1's inner pixels:
    // the low-pass there is trunc(32640 x 65533 / 65536) = 32638.
    std::vector<uint16_t> weights(45, 0);
    std::fill_n(weights.begin(), 36, 65535);
    ASSERT_EQ(fusion21(1, 6, 6, 16, 0, weights.data()), 1);
    EXPECT_EQ(weights[36 + 4], 65533);
    EXPECT_EQ(run(weights, out)[36 + 4], 32638);
}

TEST(Fusion22, RefusalsAndTheLevelZeroCase)
{
    const int len = pyram_len(8, 8);
    std::vector<uint16_t> weights(size_t(len), 32768), out(size_t(len) * 3, 1000),
        blended(size_t(len) * 3, 0);
    FILE *file = tmpfile(); // an empty weight pyramid file, and no row buffer for fusion22
    for (auto [L, spp, fdepth, wdepth, code] :
         {std::array{3, 3, 16, 16, -3}, {2, 2, 16, 16, -3}, {2, 3, 8, 16, -3}, {2, 3, 16, 12, -3}})
        EXPECT_EQ(fusion22(L, 8, 8, spp, 8, fdepth, wdepth, 0, weights.data(), nullptr, nullptr,
                           out.data(), blended.data()),
                  code);
    EXPECT_EQ(
        fusion22(2, 8, 8, 3, 8, 16, 16, 0, nullptr, nullptr, nullptr, out.data(), blended.data()),
        -1);
    EXPECT_EQ(
        fusion22(2, 8, 8, 3, 8, 16, 16, 0, nullptr, file, nullptr, out.data(), blended.data()), -3);
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
    EXPECT_EQ(fusion22(0, 8, 8, 3, 8, 16, 16, 0, weights.data(), nullptr, nullptr, out.data(),
                       blended.data()),
              1);
    for (size_t i = 0; i < blended.size(); ++i)
        ASSERT_EQ(blended[i], i < 8 * 8 * 3 ? 500 : 0) << i;
}
