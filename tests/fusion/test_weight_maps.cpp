// Fusion weight maps: the tables' worked values, the statistics, and the whole stage against a
// plain per-pixel reading of its definition (no tables), over depths, settings, ghost masks and
// thread counts; direction checks and refusals.
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
using testsupport::seeded_samples;
namespace fd = fusion::detail;

namespace {

// The stack photos of a generated bracket, 8 or 16 bits, as the samples the stage reads.
template <class T>
std::vector<T> bracket(int w, int h, int spp, const std::vector<float> &exposures)
{
    const auto bytes = testsupport::render_bracket(testsupport::make_radiance_map(w, h), exposures,
                                                   sizeof(T) * 8, spp);
    std::vector<T> s(bytes.size() / sizeof(T));
    std::copy_n(reinterpret_cast<const T *>(bytes.data()), s.size(), s.data());
    return s;
}

struct Stats {
    std::vector<int> surex, key, order;
};

// Statistics as defined: histograms of the luma, a running count of saturated pixels, the key
// from the median or the 95 % bin, and n passes that each pick the largest remaining key.
template <class T> Stats ref_stats(const std::vector<T> &stack, int n, int w, int h, int spp)
{
    const int shift = sizeof(T) == 1 ? 0 : 8, level = sizeof(T) == 1 ? 250 : 64000;
    const int P = w * h;
    Stats s;
    int saturated = 0;
    for (int k = 0; k < n; ++k) {
        std::vector<int> hist(256);
        for (int i = 0; i < P; ++i) {
            const T *p = &stack[size_t((k * P + i) * spp)];
            const int R = p[0], G = p[(spp - 1) / 2], B = p[spp - 1];
            hist[size_t((54 * (R >> shift) + 183 * (G >> shift) + 19 * (B >> shift)) >> 8)]++;
            saturated += R > level && G > level && B > level;
        }
        s.surex.push_back(saturated);
        auto bin_over = [&](double share) {
            int c = 0, bin = 0;
            while ((c += hist[size_t(bin)]) <= int(share * P))
                ++bin;
            return bin;
        };
        s.key.push_back(bin_over(0.5) >= 5 ? bin_over(0.5) * 256 : bin_over(0.95));
    }
    std::vector<bool> taken(static_cast<size_t>(n));
    for (int pass = 0; pass < n; ++pass) {
        int best = -1;
        for (int k = 0; k < n; ++k)
            if (!taken[size_t(k)] && (best < 0 || s.key[size_t(k)] > s.key[size_t(best)]))
                best = k;
        taken[size_t(best)] = true;
        s.order.push_back(best);
    }
    return s;
}

// The weights as defined, pixel by pixel, every curve value computed where it is needed.
template <class T, class W>
std::vector<W> ref_weights(const std::vector<T> &stack, int n, int w, int h, int spp,
                           const Params &p, bool is32, const std::vector<int> &fixed = {},
                           const std::vector<uint8_t> &mask = {})
{
    const int S = sizeof(T) == 1 ? 256 : 65536, mid = S / 2, P = w * h;
    const Stats st = ref_stats(stack, n, w, h, spp);
    const double e = std::pow(2.0, p[0] >= 0 ? p[0] / 5.0 + 0.5 : p[0] / 10.0 + 0.5);
    auto curve = [&](int k, int v) -> float {
        const float d = float(v - mid) / float(S);
        if (!(p[2] > 0))
            return std::exp(-12.499999f * d * d);
        const double f = float(st.surex[size_t(k)]) / float(P), p2 = p[2];
        const double A = f < 0.2 ? p2 + 1 : (p2 - 1) * 0.5 + 2;
        const double B = f < 0.05  ? 2
                         : f > 0.2 ? p2 + 1
                                   : f * ((p2 - 1) / 0.15) + (p2 - 1) * 0.05 / (-0.15) + 2;
        if (v < mid)
            return float(std::max(0.0, 1 - std::pow(float(1 - 2.0 * v / S), B)));
        const double factor = 1 / std::pow(0.640625, A);
        return float(std::max(0.0, 1 - std::pow(float(2.0 * v / S - 1), A) * factor));
    };
    auto factor = [&](int k) -> float {
        const int m = n / 2;
        if (int(p[1]) == 0 || m == 0)
            return 0;
        const int j = int(std::find(st.order.begin(), st.order.end(), k) - st.order.begin());
        const double b = std::pow(std::pow(2.0, double(float(m - j) / float(m)) * p[1] * 0.25), 2);
        return float(std::max(b, 0.1));
    };
    std::vector<W> out(size_t(n * P));
    for (int i = 0; i < P; ++i) {
        std::vector<float> raw(static_cast<size_t>(n));
        for (int k = 0; k < n; ++k) {
            const T *px = &stack[size_t((k * P + i) * spp)];
            const double mix = curve(k, px[0]) * 13107.2 + curve(k, px[(spp - 1) / 2]) * 45875.2 +
                               curve(k, px[spp - 1]) * 6553.6;
            const int x = int(std::min(mix, 65535.0));
            raw[size_t(k)] =
                is32 ? float(x / 65536.0)
                     : float(std::pow(float(std::max(0.0, 1 - x / 65536.0) + 1e-6), -e));
            if (factor(k) > 0)
                raw[size_t(k)] *= factor(k);
        }
        for (int k = 0; !fixed.empty() && fixed[0] >= 0 && k < n; ++k) {
            int plane = -1;
            for (int j = 0; j < n; ++j)
                plane = fixed[size_t(j)] == k ? j : plane;
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
            W &o = out[size_t(k * P + i)];
            if (!(sum > 0))
                o = 0;
            else if constexpr (std::is_floating_point_v<W>)
                o = raw[size_t(k)] / sum;
            else {
                const double full = sizeof(W) == 1 ? 256 : 65536;
                const double q = raw[size_t(k)] * full / double(sum);
                o = W(std::min(std::floor(q) + (q - std::floor(q) > 0.5), full - 1));
            }
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

TEST(FusionWeightTables, WorkedValues)
{
    // BlendingPoint 4 over three photos, photo 2 the brightest and photo 1 the darkest.
    const int order[3] = {2, 0, 1};
    for (auto [bp, n, a, b, c] : {std::array<float, 5>{4, 3, 1, 0.25f, 4},
                                  {-4, 3, 1, 4, 0.25f},
                                  {0.9f, 3, 0, 0, 0},
                                  {-0.9f, 3, 0, 0, 0},
                                  {-10, 3, 1, 32, 0.1f},
                                  {4, 1, 0, 0, 0}}) {
        float f[3] = {9, 9, 9};
        fd::blend_factors(int(n), bp, order, f);
        EXPECT_FLOAT_EQ(f[0], n == 1 ? 0 : a) << bp; // one photo: only f[0] is its factor
        if (n == 3) {
            EXPECT_FLOAT_EQ(f[1], b) << bp;
            EXPECT_FLOAT_EQ(f[2], c) << bp;
        }
    }
    // A saturated fraction of 0.2 in single precision lies just above 0.2, 0.05 just above 0.05.
    for (auto [p2, f, A, B] : {std::array<double, 4>{3, 0.1, 4, 2 + 0.05 * 2 / 0.15},
                               {3, 0.01, 4, 2},
                               {3, 0.5, 3, 4},
                               {5, 0.2, 4, 6},
                               {5, 0.05, 6, 2}}) {
        double expA, expB;
        fd::shadow_exponents(float(p2), float(f), &expA, &expB);
        EXPECT_NEAR(expA, A, 1e-6) << p2 << " " << f;
        EXPECT_NEAR(expB, B, 1e-6) << p2 << " " << f;
    }
    EXPECT_NEAR(fd::accent_exponent(5), 2.0 * std::sqrt(2.0), 1e-12);
    EXPECT_NEAR(fd::accent_exponent(-5), 1.0, 1e-12);

    // The bell peaks at mid-grey; Shadows ends the highlights at 210 of 256 and the shadows at 0.
    std::vector<float> bell(256), shadows(256), wide(65536);
    fd::weight_curve(256, 0, 0.5f, bell.data());
    fd::weight_curve(256, 3, 0.1f, shadows.data());
    fd::weight_curve(65536, 0, 0, wide.data());
    EXPECT_FLOAT_EQ(bell[128], 1);
    EXPECT_NEAR(bell[0], std::exp(-3.125), 1e-6);
    EXPECT_NEAR(wide[0], bell[0], 1e-6);
    EXPECT_EQ(shadows[0], 0);
    EXPECT_FLOAT_EQ(shadows[128], 1);
    EXPECT_NEAR(shadows[210], 0, 1e-6);
    EXPECT_EQ(shadows[255], 0);
    for (int v = 1; v < 256; ++v) { // rising to mid-grey, falling after it
        EXPECT_EQ(bell[size_t(v)] > bell[size_t(v - 1)], v <= 128) << v;
        const float step = shadows[size_t(v)] - shadows[size_t(v - 1)];
        EXPECT_TRUE(v <= 128 ? step >= 0 : step <= 0) << v;
    }

    std::vector<float> accent(65536), linear(65536);
    fd::accent_curve(false, 2, accent.data());
    fd::accent_curve(true, 2, linear.data());
    EXPECT_NEAR(accent[0], 1, 1e-5);
    EXPECT_NEAR(accent[32768], 4, 1e-4);
    EXPECT_TRUE(std::is_sorted(accent.begin(), accent.end()));
    EXPECT_EQ(linear[0], 0);
    EXPECT_FLOAT_EQ(linear[49152], 0.75f);
}

TEST(StatsOrderPhotos, RunningSaturationMedianKeysAndOrder)
{
    const int w = 4, h = 5, P = w * h;
    // Photo 0 mid-grey with 5 white pixels, in 3 of them one channel at 250 (not saturated);
    // photo 1 darker with 2; photo 2 almost black (median bin 2, its 95 % bin 40); photo 3 as
    // photo 1 (a tie: the lower index first); photo 4 with its median bin just at 5.
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
    // 16-bit samples by their high byte; the saturation level is 64000.
    const std::vector<uint16_t> wide(size_t(P * 3), 64001);
    std::vector<int> s1(1), k1(1), o1(1);
    ASSERT_EQ(stats_order_photos(1, w, h, 3, 16, wide.data(), s1.data(), k1.data(), o1.data()), 1);
    EXPECT_EQ(s1[0], P);
    EXPECT_EQ(k1[0], 250 * 256);
    // Refusals leave the outputs alone.
    EXPECT_EQ(stats_order_photos(0, w, h, 3, 8, stack.data(), s1.data(), k1.data(), o1.data()), 0);
    EXPECT_EQ(stats_order_photos(1, w, h, 3, 12, stack.data(), s1.data(), k1.data(), o1.data()),
              -3);
    EXPECT_EQ(stats_order_photos(1, w, h, 3, 8, nullptr, s1.data(), k1.data(), o1.data()), -3);
    EXPECT_EQ(s1[0], P);
}

TEST(Fusion1, MatchesTheDefinitionOverDepthsAndSettings)
{
    const int w = 37, h = 23;
    const std::vector<float> three = {0.03f, 0.4f, 6}, five = {0.01f, 0.05f, 0.4f, 2, 12};
    const auto s8 = bracket<uint8_t>(w, h, 3, three), g8 = bracket<uint8_t>(w, h, 1, five);
    const auto s16 = bracket<uint16_t>(w, h, 3, three);
    struct Case {
        Params p;
        bool is32;
    };
    for (const Case &c : std::vector<Case>{{settings(0, 0, 0), false},
                                           {settings(3, 4, 2), false},
                                           {settings(-5, -4, 5), false},
                                           {settings(10, 10, 10), false},
                                           {settings(2, -3, 1), true}}) {
        const auto where = testing::Message()
                           << c.p[0] << " " << c.p[1] << " " << c.p[2] << " " << c.is32;
        // Weight samples of the type of `sample`, from a stack of n photos, on some workers.
        auto same = [&](auto sample, const auto &stack, int n, int spp, int threads) {
            using W = decltype(sample);
            using T = typename std::decay_t<decltype(stack)>::value_type;
            EXPECT_EQ((weights<W>(stack, n, w, h, spp, c.p, c.is32, threads)),
                      (ref_weights<T, W>(stack, n, w, h, spp, c.p, c.is32)))
                << where << " " << sizeof(T) * 8 << "-bit photos, spp " << spp;
        };
        same(uint16_t{}, s8, 3, 3, 1);
        same(uint8_t{}, g8, 5, 1, 3);
        same(float{}, s16, 3, 3, 8);
        same(uint16_t{}, s16, 3, 3, 2);
    }
}

TEST(Fusion1, GhostMasksAndThreadCountsGiveTheSameWeights)
{
    // 13 pixels a row: the bands of 8 workers start inside a byte of the mask.
    const int w = 13, h = 11, n = 3, P = w * h;
    const auto stack = bracket<uint8_t>(w, h, 3, {0.05f, 0.5f, 4});
    const auto mask = seeded_samples<uint8_t>(size_t((n * P + 7) / 8), 5);
    const std::vector<int> fixed = {2, 0, 2}; // photo 2 from plane 2, photo 0 from plane 1
    const Params p = settings(1, 2, 3);
    const auto ref = ref_weights<uint8_t, uint16_t>(stack, n, w, h, 3, p, false, fixed, mask);
    const auto one = weights<uint16_t>(stack, n, w, h, 3, p, false, 1, fixed, mask);
    EXPECT_EQ(one, ref);
    EXPECT_EQ(weights<uint16_t>(stack, n, w, h, 3, p, false, 8, fixed, mask), one);
    EXPECT_EQ(weights<uint16_t>(stack, n, w, h, 3, p, false, 100, fixed, mask), one);
    // Workers that cannot start leave their bands to the calling thread.
    imagecore::set_thread_start_for_testing(fail_start);
    EXPECT_EQ(weights<uint16_t>(stack, n, w, h, 3, p, false, 8, fixed, mask), one);
    imagecore::set_thread_start_for_testing(nullptr);
    // A masked pixel gives one photo all the weight; without the mask the weights are shared.
    const auto plain = weights<uint16_t>(stack, n, w, h, 3, p, false, 8);
    int all = 0;
    for (int i = 0; i < P; ++i)
        all += one[size_t(i)] == 65535 || one[size_t(2 * P + i)] == 65535;
    EXPECT_GT(all, P / 2);
    EXPECT_NE(plain, one);
}

TEST(Fusion1, WeightsSumToFullScaleAndFavourTheWellExposed)
{
    const int w = 29, h = 17, P = w * h;
    for (int n : {1, 2, 3, 5}) {
        std::vector<float> exposures;
        for (int k = 0; k < n; ++k)
            exposures.push_back(0.02f * std::pow(6.0f, float(k)));
        const auto stack = bracket<uint8_t>(w, h, 3, exposures);
        for (const Params &p : {settings(0, 0, 0), settings(7, -6, 4)}) {
            const auto wt = weights<uint16_t>(stack, n, w, h, 3, p, false, 4);
            for (int i = 0; i < P; ++i) {
                int sum = 0;
                for (int k = 0; k < n; ++k)
                    sum += wt[size_t(k * P + i)];
                // Each weight is rounded to nearest (half a unit); one photo alone stores 65535.
                if (n == 1)
                    ASSERT_EQ(sum, 65535);
                else
                    ASSERT_LE(2 * std::abs(sum - 65536), n) << n << " photos, pixel " << i;
            }
        }
    }
    // Per pixel the photo nearer mid-grey takes more weight, whatever the order of the stack.
    const int P2 = 16;
    std::vector<uint8_t> stack;
    for (int i = 0; i < P2; ++i)
        stack.insert(stack.end(), {uint8_t(8 * i), uint8_t(8 * i), uint8_t(8 * i)});
    for (int i = 0; i < P2; ++i)
        stack.insert(stack.end(), {uint8_t(128 + 7 * i), uint8_t(128 + 7 * i), uint8_t(120)});
    const auto wt = weights<uint16_t>(stack, 2, 4, 4, 3, settings(0, 0, 0), false, 1);
    for (int i = 0; i < P2; ++i) {
        const int d0 = std::abs(8 * i - 128), d1 = 7 * i;
        if (d0 != d1) {
            EXPECT_EQ(wt[size_t(i)] > wt[size_t(P2 + i)], d0 < d1) << i;
        }
    }
}

TEST(Fusion1, AllWeightToOnePhotoAndNone)
{
    // With 32-bit output the accentuation is linear: a photo whose curve is 0 everywhere
    // (Shadows ends both ends of the range) has no weight; against mid-grey the grey photo takes
    // it all (65535, not 65536); black against black leaves every weight 0.
    const int w = 4, h = 4, P = w * h;
    std::vector<uint8_t> stack(size_t(2 * P * 3), 0);
    std::fill(stack.begin(), stack.begin() + 3 * P / 2, uint8_t(128));
    const auto wt = weights<uint16_t>(stack, 2, w, h, 3, settings(0, 0, 3), true, 1);
    for (int i = 0; i < P; ++i) {
        EXPECT_EQ(wt[size_t(i)], i < P / 2 ? 65535 : 0) << i;
        EXPECT_EQ(wt[size_t(P + i)], 0) << i;
    }
    const auto bytes = weights<uint8_t>(stack, 2, w, h, 3, settings(0, 0, 3), true, 1);
    EXPECT_EQ(bytes[0], 255);
}

TEST(Fusion1, SettingsFarOutOfRangeGiveWeightsInRange)
{
    // An accentuation of 40 overflows its curve to infinity; NaN settings are no settings.
    const int w = 16, h = 12, P = w * h;
    const auto stack = bracket<uint8_t>(w, h, 3, {0.05f, 0.5f, 4});
    const float nan = std::nanf("");
    for (const Params &p :
         {settings(40, 10, 10), settings(nan, nan, nan), settings(-1e30f, 1e30f, 0)}) {
        const auto wt = weights<uint16_t>(stack, 3, w, h, 3, p, false, 2);
        const auto fr = weights<float>(stack, 3, w, h, 3, p, false, 2);
        for (int i = 0; i < P; ++i) {
            int sum = 0;
            float sumF = 0;
            for (int k = 0; k < 3; ++k) {
                sum += wt[size_t(k * P + i)];
                sumF += fr[size_t(k * P + i)];
                ASSERT_TRUE(fr[size_t(k * P + i)] >= 0 && fr[size_t(k * P + i)] <= 1) << i;
            }
            ASSERT_LE(sum, 65536 + 2) << p[0] << " pixel " << i;
            ASSERT_LE(sumF, 1.0001f) << p[0] << " pixel " << i;
        }
    }
}

TEST(Fusion1, RefusesWhatItCannotServe)
{
    const std::vector<uint8_t> stack(4 * 4 * 3 * 2, 100);
    std::vector<uint16_t> out(4 * 4 * 2, 7);
    const Params p{};
    auto run = [&](int n, int w, int h, int spp, int bps, int depth, const void *s, void *o,
                   int disk = 0) {
        return fusion1(2, p.data(), n, w, h, spp, bps, depth, 0, nullptr, disk, nullptr, nullptr, s,
                       nullptr, nullptr, nullptr, o);
    };
    EXPECT_EQ(run(2, 4, 4, 3, 8, 16, stack.data(), out.data()), 2); // last band: 2 of 4 rows
    out.assign(out.size(), 7);
    for (auto [n, w, h, spp, bps, depth] : {std::array{0, 4, 4, 3, 8, 16},
                                            {2, 0, 4, 3, 8, 16},
                                            {2, 4, 0, 3, 8, 16},
                                            {1, 4, 4, 2, 8, 16},
                                            {2, 4, 4, 3, 32, 16},
                                            {2, 4, 4, 3, 8, 12}})
        EXPECT_EQ(run(n, w, h, spp, bps, depth, stack.data(), out.data()), -3)
            << n << " " << w << " " << h << " " << spp << " " << bps << " " << depth;
    EXPECT_EQ(run(2, 4, 4, 3, 8, 16, nullptr, out.data()), -3);
    EXPECT_EQ(run(2, 4, 4, 3, 8, 16, stack.data(), nullptr), -3);
    EXPECT_EQ(run(2, 4, 4, 3, 8, 16, stack.data(), out.data(), 1), -3);
    EXPECT_EQ(out, std::vector<uint16_t>(out.size(), 7));
    EXPECT_EQ(adj1b_orig(1, 4, 0, 4, 3, 8, 16, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr),
              0);
}
