// Fusion weight maps: worked values of the tables and statistics, the whole stage against a plain
// per-pixel reading of its definition (no tables) over depths, settings, ghost masks and thread
// counts, the sums and directions of the weights, refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "fusion/detail/weight_tables.h"
#include "fusion/weight_maps.h"
#include "imagecore/banded.h"
#include "tests/fusion/fusion_reference.h"
#include "tests/support/bracket_generator.h"

using fusiontest::Params;

namespace {

// A generated bracket as the samples the stage reads.
template <class T> std::vector<T> bracket(int w, int h, int spp, const std::vector<float> &exp)
{
    const auto b =
        testsupport::render_bracket(testsupport::make_radiance_map(w, h), exp, sizeof(T) * 8, spp);
    const T *s = reinterpret_cast<const T *>(b.data());
    return std::vector<T>(s, s + b.size() / sizeof(T));
}

// The weights as defined, pixel by pixel, each curve value computed where it is needed; the
// statistics are the stage's own (checked on their own below).
template <class T, class W>
std::vector<W> ref_weights(const std::vector<T> &stack, int n, int w, int h, int spp,
                           const Params &p, bool is32, const std::vector<int> &fixed = {},
                           const std::vector<uint8_t> &mask = {})
{
    const int S = sizeof(T) == 1 ? 256 : 65536, mid = S / 2, P = w * h;
    std::vector<int> surex(size_t(n), 0), key(surex), order(surex);
    stats_order_photos(n, w, h, spp, sizeof(T) * 8, stack.data(), surex.data(), key.data(),
                       order.data());
    const double e = std::pow(2.0, p[0] >= 0 ? p[0] / 5.0 + 0.5 : p[0] / 10.0 + 0.5), p2 = p[2];
    auto curve = [&](int k, int v) -> float {
        const float d = float(v - mid) / float(S);
        if (!(p2 > 0))
            return std::exp(-12.499999f * d * d);
        const double f = float(surex[size_t(k)]) / float(P);
        const double A = f < 0.2 ? p2 + 1 : (p2 - 1) * 0.5 + 2;
        const double B = f < 0.05  ? 2
                         : f > 0.2 ? p2 + 1
                                   : f * ((p2 - 1) / 0.15) + (p2 - 1) * 0.05 / (-0.15) + 2;
        if (v < mid)
            return float(std::max(0.0, 1 - std::pow(float(1 - 2.0 * v / S), B)));
        return float(
            std::max(0.0, 1 - std::pow(float(2.0 * v / S - 1), A) * (1 / std::pow(0.640625, A))));
    };
    std::vector<W> out(size_t(n * P));
    for (int i = 0; i < P; ++i) {
        std::vector<float> raw;
        for (int k = 0; k < n; ++k) {
            const T *px = &stack[size_t((k * P + i) * spp)];
            const double mix = curve(k, px[0]) * 13107.2 + curve(k, px[(spp - 1) / 2]) * 45875.2 +
                               curve(k, px[spp - 1]) * 6553.6;
            const int x = int(std::min(mix, 65535.0));
            raw.push_back(is32 ? float(x / 65536.0)
                               : float(std::pow(float(std::max(0.0, 1 - x / 65536.0) + 1e-6), -e)));
            const int j = int(std::find(order.begin(), order.end(), k) - order.begin()), m = n / 2;
            if (int(p[1]) != 0 && m > 0)
                raw.back() *= float(std::max(
                    std::pow(std::pow(2.0, double(float(m - j) / float(m)) * p[1] * 0.25), 2),
                    0.1));
        }
        for (int k = 0; !fixed.empty() && fixed[0] >= 0 && k < n; ++k) {
            // The plane of photo k: the last position that names it.
            const int plane =
                n - 1 - int(std::find(fixed.rbegin(), fixed.rend(), k) - fixed.rbegin());
            const int bit = plane * P + i;
            if (plane >= 0 && (mask[size_t(bit / 8)] >> (7 - bit % 8)) & 1) {
                std::fill(raw.begin(), raw.end(), 0.0f);
                raw[size_t(k)] = 1;
                break;
            }
        }
        float sum = 0;
        for (float r : raw)
            sum += r;
        for (int k = 0; k < n; ++k) {
            const double full = std::is_floating_point_v<W> ? 1 : sizeof(W) == 1 ? 256 : 65536;
            const double q = raw[size_t(k)] * full / double(sum);
            W &o = out[size_t(k * P + i)];
            if (sum == 0)
                o = 0;
            else if constexpr (std::is_floating_point_v<W>)
                o = raw[size_t(k)] / sum;
            else
                o = W(std::min(std::floor(q) + (q - std::floor(q) > 0.5), full - 1));
        }
    }
    return out;
}

template <class W, class T>
std::vector<W> weights(const std::vector<T> &stack, int n, int w, int h, int spp, const Params &p,
                       bool is32, int threads, const std::vector<int> &fixed = {},
                       const std::vector<uint8_t> &mask = {})
{
    std::vector<W> out(size_t(n * w * h), W(77));
    EXPECT_GT(fusion1(threads, p.data(), n, w, h, spp, sizeof(T) * 8, sizeof(W) * 8, is32, nullptr,
                      0, nullptr, nullptr, stack.data(), fixed.empty() ? nullptr : fixed.data(),
                      mask.empty() ? nullptr : mask.data(), nullptr, out.data()),
              0);
    return out;
}

Params settings(float accentuation, float blendingPoint, float shadows)
{
    Params p{};
    p[kFuAccentuation] = accentuation, p[kFuBlendingPoint] = blendingPoint, p[kFuShadows] = shadows;
    return p;
}

int fail_start(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *)
{
    return 11; // EAGAIN
}

} // namespace

TEST(FusionWeightTables, BlendFactorsAndShadowExponents)
{
    // Photo 2 the brightest, photo 1 the darkest; one photo has no factor; |BP| < 1 none.
    const int order[3] = {2, 0, 1};
    for (auto [bp, n, f0, f1, f2] : {std::array<float, 5>{4, 3, 1, 0.25f, 4},
                                     {-10, 3, 1, 32, 0.1f},
                                     {0.9f, 3, 0, 0, 0},
                                     {4, 1, 0, 9, 9}}) {
        float f[3] = {9, 9, 9};
        fusion::detail::blend_factors(int(n), bp, order, f);
        EXPECT_EQ(std::vector<float>(f, f + 3), (std::vector<float>{f0, f1, f2})) << bp << " " << n;
    }
    // Saturated fractions in single precision: 0.2 lies just above 0.2.
    for (auto [f, A, B] : {std::array<double, 3>{0.1, 4, 2 + 0.05 * 2 / 0.15},
                           {0.01, 4, 2},
                           {0.2, 3, 4},
                           {0.5, 3, 4}}) {
        double expA, expB;
        fusion::detail::shadow_exponents(3, float(f), &expA, &expB);
        EXPECT_NEAR(expA, A, 1e-6) << f;
        EXPECT_NEAR(expB, B, 1e-6) << f;
    }
}

TEST(StatsOrderPhotos, RunningSaturationMedianKeysAndOrder)
{
    // Photo 0 grey with 5 white pixels, 3 of them with one channel at 250 (not saturated); photo
    // 1 darker with 2; photo 2 almost black (median bin 2: its 95 % bin 40 is its key); photo 3
    // as photo 1 (a tie: the lower index first); photo 4 with its median bin just at 5.
    const int w = 4, h = 5, P = w * h;
    std::vector<uint8_t> stack(size_t(5 * P * 3));
    for (int i = 0; i < P; ++i)
        for (int c = 0; c < 3; ++c) {
            stack[size_t(i * 3 + c)] = i < 5 ? (i == c ? 250 : 255) : 120;
            stack[size_t((P + i) * 3 + c)] = stack[size_t((3 * P + i) * 3 + c)] = i < 2 ? 251 : 60;
            stack[size_t((2 * P + i) * 3 + c)] = i < 18 ? 2 : 40;
            stack[size_t((4 * P + i) * 3 + c)] = i < 12 ? 5 : 200;
        }
    std::vector<int> surex(5), key(5), order(5);
    ASSERT_EQ(
        stats_order_photos(5, w, h, 3, 8, stack.data(), surex.data(), key.data(), order.data()), 5);
    EXPECT_EQ(surex, (std::vector<int>{2, 4, 4, 6, 6}));
    EXPECT_EQ(key, (std::vector<int>{120 * 256, 60 * 256, 40, 60 * 256, 5 * 256}));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 3, 4, 2}));
    // 16-bit samples by their high byte, saturated above 64000; bad input leaves all alone.
    const std::vector<uint16_t> wide(size_t(P * 3), 64001);
    ASSERT_EQ(
        stats_order_photos(1, w, h, 3, 16, wide.data(), surex.data(), key.data(), order.data()), 1);
    EXPECT_EQ(surex[0] * 100000 + key[0], P * 100000 + 250 * 256);
    EXPECT_EQ(
        stats_order_photos(0, w, h, 3, 8, stack.data(), surex.data(), key.data(), order.data()), 0);
    EXPECT_EQ(
        stats_order_photos(1, w, h, 3, 12, stack.data(), surex.data(), key.data(), order.data()),
        -3);
    EXPECT_EQ(surex[0], P);
}

TEST(Fusion1, MatchesTheDefinitionOverDepthsSettingsMasksAndThreads)
{
    const int w = 37, h = 23;
    const auto s8 = bracket<uint8_t>(w, h, 3, {0.03f, 0.4f, 6});
    const auto g8 = bracket<uint8_t>(w, h, 1, {0.01f, 0.05f, 0.4f, 2, 12});
    const auto s16 = bracket<uint16_t>(w, h, 3, {0.03f, 0.4f, 6});
    for (auto [p, is32] : {std::pair{settings(0, 0, 0), false},
                           {settings(3, 4, 2), false},
                           {settings(-5, -4, 5), false},
                           {settings(10, 10, 10), false},
                           {settings(2, -3, 1), true}}) {
        auto same = [&](auto sample, const auto &stack, int n, int spp, int threads) {
            using W = decltype(sample);
            using T = typename std::decay_t<decltype(stack)>::value_type;
            EXPECT_EQ((weights<W>(stack, n, w, h, spp, p, is32, threads)),
                      (ref_weights<T, W>(stack, n, w, h, spp, p, is32)))
                << p[0] << " " << p[1] << " " << p[2] << " " << is32 << ", " << sizeof(T) * 8
                << "-bit photos, spp " << spp;
        };
        same(uint16_t{}, s8, 3, 3, 1);
        same(uint8_t{}, g8, 5, 1, 3);
        same(float{}, s16, 3, 3, 8);
        same(uint16_t{}, s16, 3, 3, 2);
    }
    // Ghost planes (photo 2 from plane 2, photo 0 from plane 1) on 13-pixel rows: bands of 8
    // workers start inside a byte of the mask. Any worker count, and workers that cannot start,
    // give the same weights.
    const int gw = 13, gh = 11;
    const auto stack = bracket<uint8_t>(gw, gh, 3, {0.05f, 0.5f, 4});
    const auto mask = testsupport::seeded_samples<uint8_t>(size_t((3 * gw * gh + 7) / 8), 5);
    const std::vector<int> fixed = {2, 0, 2};
    const Params p = settings(1, 2, 3);
    const auto ref = ref_weights<uint8_t, uint16_t>(stack, 3, gw, gh, 3, p, false, fixed, mask);
    for (int threads : {1, 8, 100})
        EXPECT_EQ(weights<uint16_t>(stack, 3, gw, gh, 3, p, false, threads, fixed, mask), ref)
            << threads;
    imagecore::set_thread_start_for_testing(fail_start);
    EXPECT_EQ(weights<uint16_t>(stack, 3, gw, gh, 3, p, false, 8, fixed, mask), ref);
    imagecore::set_thread_start_for_testing(nullptr);
    EXPECT_NE(weights<uint16_t>(stack, 3, gw, gh, 3, p, false, 8), ref); // the mask matters
}

TEST(Fusion1, WeightsSumToFullScaleAndFavourTheWellExposed)
{
    // Each weight is rounded to the nearest (half a unit): the sum lies within n / 2 of 65536;
    // one photo alone stores 65535. Settings far out of range (an accentuation past any float,
    // NaN) still give weights of full scale.
    const int w = 29, h = 17, P = w * h;
    const float nan = std::nanf("");
    for (int n : {1, 2, 3, 5}) {
        std::vector<float> exposures;
        for (int k = 0; k < n; ++k)
            exposures.push_back(0.02f * std::pow(6.0f, float(k)));
        const auto stack = bracket<uint8_t>(w, h, 3, exposures);
        for (const Params &p : {settings(0, 0, 0), settings(7, -6, 4), settings(40, 10, 10),
                                settings(nan, nan, nan)}) {
            const auto wt = weights<uint16_t>(stack, n, w, h, 3, p, false, 4);
            for (int i = 0; i < P; ++i) {
                int sum = 0;
                for (int k = 0; k < n; ++k)
                    sum += wt[size_t(k * P + i)];
                ASSERT_LE(2 * std::abs(sum - 65536), n == 1 ? 2 : n)
                    << n << " " << p[0] << " " << i;
            }
        }
    }
    // The photo nearer mid-grey takes more weight; with 32-bit output (a linear accentuation)
    // and Shadows (curves 0 at both ends) a black photo has none, mid-grey takes it all, and
    // black against black leaves 0.
    std::vector<uint8_t> stack;
    for (int i = 0; i < 16; ++i)
        stack.insert(stack.end(), {uint8_t(8 * i), uint8_t(8 * i), uint8_t(8 * i)});
    for (int i = 0; i < 16; ++i)
        stack.insert(stack.end(), {uint8_t(128 + 7 * i), uint8_t(128 + 7 * i), uint8_t(120)});
    const auto wt = weights<uint16_t>(stack, 2, 4, 4, 3, settings(0, 0, 0), false, 1);
    for (int i = 0; i < 16; ++i)
        if (std::abs(8 * i - 128) != 7 * i) {
            EXPECT_EQ(wt[size_t(i)] > wt[size_t(16 + i)], std::abs(8 * i - 128) < 7 * i) << i;
        }
    std::fill(stack.begin(), stack.end(), 0);
    std::fill_n(stack.begin(), 24, uint8_t(128));
    const auto all = weights<uint16_t>(stack, 2, 4, 4, 3, settings(0, 0, 3), true, 1);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(all[size_t(i)], i < 8 ? 65535 : 0) << i;
        EXPECT_EQ(all[size_t(16 + i)], 0) << i;
    }
}

TEST(Fusion1, RefusesWhatItCannotServe)
{
    const std::vector<uint8_t> stack(4 * 4 * 3 * 2, 100);
    std::vector<uint16_t> out(4 * 4 * 2, 7);
    const Params p{};
    auto run = [&](int n, int w, int h, int spp, int bps, int depth, bool null = false,
                   int disk = 0) {
        return fusion1(2, p.data(), n, w, h, spp, bps, depth, 0, nullptr, disk, nullptr, nullptr,
                       null ? nullptr : stack.data(), nullptr, nullptr, nullptr, out.data());
    };
    for (auto [n, w, h, spp, bps, depth] : {std::array{0, 4, 4, 3, 8, 16},
                                            {2, 0, 4, 3, 8, 16},
                                            {1, 4, 4, 2, 8, 16},
                                            {2, 4, 4, 3, 32, 16},
                                            {2, 4, 4, 3, 8, 12}})
        EXPECT_EQ(run(n, w, h, spp, bps, depth), -3) << n << " " << w << " " << spp << " " << bps;
    EXPECT_EQ(run(2, 4, 4, 3, 8, 16, true), -3);
    EXPECT_EQ(run(2, 4, 4, 3, 8, 16, false, 1), -3); // out of core without its file
    EXPECT_EQ(out, std::vector<uint16_t>(out.size(), 7));
    EXPECT_EQ(run(2, 4, 4, 3, 8, 16), 2); // the last band's rows
}
