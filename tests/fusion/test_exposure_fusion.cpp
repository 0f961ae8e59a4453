// Exposure fusion from the weights up: the weight stage against a plain per-pixel reading of its
// definition, with its tables and statistics by their values; the driver's refusals, progress and
// pairing of photos with weights (against the stages run by hand), round trips, the out-of-core
// mode against memory, the job around it, and fused brackets of a known scene.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "fusion/detail/weight_tables.h"
#include "fusion/exposure_fusion.h"
#include "fusion/fusion_job.h"
#include "fusion/pyramid_blend.h"
#include "fusion/reconstruct.h"
#include "fusion/weight_maps.h"
#include "imagecore/banded.h"
#include "imagecore/preview.h"
#include "imagecore/records.h"
#include "platform/alerts.h"
#include "platform/bundle.h"
#include "platform/notification_center.h"
#include "platform/system.h"
#include "tests/support/bracket_generator.h"
#include "tests/support/fixtures.h"
#include "tests/support/patterns.h"
#include "tests/support/scratch_files.h"
#include "tonemap/tm_params.h"

using platform::Data;
using platform::DataPtr;
using testsupport::make_radiance_map;
using testsupport::render_bracket;
using Params = std::array<float, kTmParamCount>;

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
    // Settings that are not numbers read as 0.
    const double p0 = p[0] == p[0] ? p[0] : 0, p1 = p[1] == p[1] ? p[1] : 0,
                 p2 = p[2] == p[2] ? p[2] : 0;
    const double e = std::pow(2.0, p0 >= 0 ? p0 / 5.0 + 0.5 : p0 / 10.0 + 0.5);
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
            // The accentuation is held at 1e30, below what a float's sum of photos overflows at.
            const double base = float(std::max(0.0, 1 - x / 65536.0) + 1e-6);
            raw.push_back(is32 ? float(x / 65536.0) : float(std::min(std::pow(base, -e), 1e30)));
            const int j = int(std::find(order.begin(), order.end(), k) - order.begin()), m = n / 2;
            if (int(p1) != 0 && m > 0)
                raw.back() *= float(std::max(
                    std::pow(std::pow(2.0, double(float(m - j) / float(m)) * p1 * 0.25), 2), 0.1));
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

// The pyramid stages run by hand over 8-bit RGB photos with their weight maps (W of 16 bits, or
// fractions as floats; a map of pyram_len samples is a whole weight pyramid, taken as it is):
// band levels prepared with 32767, photos blended last first, collapse and finishing.
template <class W>
std::vector<int> stages(const std::vector<std::vector<uint8_t>> &photos,
                        const std::vector<std::vector<W>> &weights, int w, int h, const Params &p,
                        int bpsOut, bool is360 = false)
{
    const int L = pyram_levels(w, h), len = pyram_len(w, h), depth = sizeof(W) == 2 ? 16 : 32;
    std::vector<uint16_t> blended(size_t(len) * 3, 32767), out(size_t(len) * 3);
    int top = 0; // start of level L: plain low-pass sums, from 0
    for (int k = 0, lw = w, lh = h; k < L; ++k, lw = (lw + 1) / 2, lh = (lh + 1) / 2)
        top += lw * lh;
    std::fill(blended.begin() + 3 * top, blended.end(), 0);
    std::vector<W> pyramPoids(static_cast<size_t>(len));
    for (size_t k = photos.size(); k-- > 0;) {
        std::copy(weights[k].begin(), weights[k].end(), pyramPoids.begin());
        if (weights[k].size() < pyramPoids.size())
            fusion21(L, w, h, depth, is360, pyramPoids.data());
        std::transform(photos[k].begin(), photos[k].end(), out.begin(),
                       [](uint8_t v) { return uint16_t(v << 7); });
        fusion22(L, w, h, 3, bpsOut, 16, depth, is360, pyramPoids.data(), nullptr, nullptr,
                 out.data(), blended.data());
    }
    fusion3(p.data(), L, w, h, 3, bpsOut, 16, 3 * w, 0, is360, blended.data(), nullptr, out.data());
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(out.data());
    std::vector<int> result(size_t(w * h * 3));
    for (size_t i = 0; i < result.size(); ++i)
        result[i] = bpsOut == 8 ? bytes[i] : out[i];
    return result;
}

std::vector<float> g_fractions;
void record_progress(int *, float fraction)
{
    g_fractions.push_back(fraction);
}

struct Call {
    int n, w, h, spp = 3, bpsIn = 8, bpsOut = 16, threads = 1, fusionDepth = 16, is360 = 0;
    Params p{};
    int poidsDepth = 16, disk = 0;
    const char *taken = nullptr; // the weight maps' file path
    std::vector<int> fixed = {};
    const uint8_t *mask = nullptr;
};

// The fused image (w x h x spp output samples), empty on failure; rc the result.
std::vector<int> fuse(const std::vector<uint8_t> &stack, const Call &c, int *rc = nullptr)
{
    const int len = pyram_len(c.w, c.h);
    std::vector<uint16_t> out(size_t(c.spp * len * c.fusionDepth / 16));
    const std::vector<int> fixed = c.fixed.empty() ? std::vector<int>(size_t(c.n), -1) : c.fixed;
    const optim_param_struct optim{c.threads, c.disk, {nullptr, c.taken}};
    const int r = kv_fusion(record_progress, c.p.data(), c.n, c.w, c.h, c.spp * c.w, optim, 0,
                            c.spp, c.bpsIn, c.bpsOut, c.poidsDepth, c.fusionDepth, len, c.is360,
                            nullptr, stack.data(), fixed.data(), c.mask, nullptr, out.data(), 0);
    if (rc)
        *rc = r;
    std::vector<int> image;
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(out.data());
    for (size_t i = 0; r == c.w * c.h * c.spp && i < size_t(r); ++i)
        image.push_back(c.bpsOut == 8 ? bytes[i] : out[i]);
    return image;
}

// What the fake fusion was given: the record, then n, w, h, rowLen, workers, bgr, spp, bpsIn,
// bpsOut, weight and blending depths, lenPyram, is360, the first ghost index and the callback.
struct EngineLog {
    int calls = 0, rc = 1;
    Params param{};
    std::vector<int> ints;
};
EngineLog g_engine;

int fake_fusion(progressCallback cb, const float *p, int n, int w, int h, int rowLen,
                optim_param_struct optim, int bgr, int spp, int in, int out, int poids, int depth,
                int len, int is360, const float *, const void *, const int *fixed, const uint8_t *,
                void *, void *buffer, float)
{
    ++g_engine.calls;
    std::memcpy(g_engine.param.data(), p, sizeof(Params));
    g_engine.ints = {n,   w,     h,     rowLen, optim.nbProc, bgr,          spp,          in,
                     out, poids, depth, len,    is360,        fixed[n - 1], cb != nullptr};
    for (size_t i = 0; i < size_t(spp) * size_t(len) * 2; ++i)
        static_cast<uint8_t *>(buffer)[i] = uint8_t(i * 7);
    if (cb)
        cb(nullptr, 0.25f), cb(nullptr, 0.75f);
    return g_engine.rc;
}

// A job of n photos of w x h x spp whose fake fusion returns rc.
Fusion job_of(int n, int w, int h, int spp = 3, int bpsOut = 16, int rc = 1)
{
    g_engine = EngineLog();
    g_engine.rc = rc;
    Fusion job;
    job.setEngineForTesting(fake_fusion);
    const int32_t d[kImageDimsCount] = {w, h, spp, 8, bpsOut};
    job.setImageDimsFrom(Data::copy(d, sizeof d));
    job.setImageCount(n);
    return job;
}

} // namespace

TEST(FusionWeightTables, FactorsExponentsAndPhotoStatistics)
{
    // Photo 2 the brightest, photo 1 the darkest; one photo has no factor; |BP| < 1 none.
    const int brightest[3] = {2, 0, 1};
    for (auto [bp, n, f0, f1, f2] : {std::array<float, 5>{4, 3, 1, 0.25f, 4},
                                     {-10, 3, 1, 32, 0.1f},
                                     {0.9f, 3, 0, 0, 0},
                                     {4, 1, 0, 9, 9}}) {
        float f[3] = {9, 9, 9};
        fusion::detail::blend_factors(int(n), bp, brightest, f);
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
    // Statistics: photo 0 grey with 5 white pixels, 3 of them with one channel at 250 (not
    // saturated); photo 1 darker with 2; photo 2 almost black (median bin 2: its 95 % bin 40 is its
    // key); photo 3 as photo 1 (a tie: the lower index first); photo 4 with its median bin just
    // at 5.
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
    auto stats = [&](int n, int bps, const void *s) {
        return stats_order_photos(n, w, h, 3, bps, s, surex.data(), key.data(), order.data());
    };
    ASSERT_EQ(stats(1, 16, wide.data()), 1);
    EXPECT_EQ(surex[0] * 100000 + key[0], P * 100000 + 250 * 256);
    EXPECT_EQ(stats(0, 8, stack.data()), 0);
    EXPECT_EQ(stats(1, 12, stack.data()), -3);
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
                           {settings(40, 10, 10), false}, // an accentuation past any float
                           {settings(NAN, NAN, NAN), false},
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
        same(uint16_t{}, s8, 1, 3, 2); // one photo alone stores 65535
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

TEST(Fusion1, WeightsFavourTheWellExposed)
{
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

TEST(Fusion1, StoredWeightsRoundHalvesDownAndSumToFullScale)
{
    // Hand-made tables: curves of 0 make every combined value 0, so a photo's raw weight is
    // accent[0] = 1 times its BlendingPoint factor, and the factors set the quotients:
    // 256 x 1 / 512 = 0.5 goes down to 0 and 255.5 to 255, 1.5 to 1, 2.75 up to 3;
    // 65536 x 3 / 131072 = 1.5 to 1 and 65534.5 to 65534.
    const std::vector<float> curves(2 * 256, 0.0f), accent(65536, 1.0f);
    const uint8_t photos[2] = {0, 0}; // one grey pixel each
    for (auto [bits, f0, f1, w0, w1] : {std::array{8, 1, 511, 0, 255},
                                        {8, 3, 509, 1, 254},
                                        {8, 11, 1013, 3, 253},
                                        {16, 1, 131071, 0, 65535},
                                        {16, 3, 131069, 1, 65534},
                                        {16, 5, 3, 40960, 24576}}) {
        const float factors[2] = {float(f0), float(f1)};
        uint16_t out[2] = {7, 7};
        ASSERT_EQ(adj1b_orig(2, 1, 1, 1, 1, 8, bits, curves.data(), accent.data(), factors, 0,
                             nullptr, nullptr, photos, nullptr, nullptr, out),
                  1);
        const uint8_t *bytes = reinterpret_cast<const uint8_t *>(out);
        EXPECT_EQ(bits == 8 ? bytes[0] : out[0], w0) << bits << ": " << f0 << " and " << f1;
        EXPECT_EQ(bits == 8 ? bytes[1] : out[1], w1) << bits << ": " << f0 << " and " << f1;
    }
    // Each stored weight is off by half a step at most: a pixel's weights sum to full scale
    // within n / 2, whatever the settings.
    const int w = 29, h = 17, n = 5;
    const auto stack = bracket<uint8_t>(w, h, 3, {0.01f, 0.05f, 0.4f, 2, 12});
    for (const Params &p : {settings(0, 0, 0), settings(4, -3, 2), settings(-6, 5, 4)}) {
        const auto w16 = weights<uint16_t>(stack, n, w, h, 3, p, false, 3);
        const auto w8 = weights<uint8_t>(stack, n, w, h, 3, p, false, 3);
        for (int i = 0; i < w * h; ++i) {
            int sum16 = 0, sum8 = 0;
            for (int k = 0; k < n; ++k)
                sum16 += w16[size_t(k * w * h + i)], sum8 += w8[size_t(k * w * h + i)];
            ASSERT_LE(std::abs(sum16 - 65536), n / 2) << p[0] << " pixel " << i;
            ASSERT_LE(std::abs(sum8 - 256), n / 2) << p[0] << " pixel " << i;
        }
    }
}

TEST(KvFusion, RefusesBeforeAnyWorkAndReportsProgress)
{
    const std::vector<uint8_t> stack(3 * 16 * 16 * 3, 100);
    const Params p{};
    for (auto [rc, h, in, out, rowLess] : {std::array{-2, 16, 32, 16, 0}, // 32-bit in, 16 out
                                           {-3, 16, 32, 32, 0}, // 32-bit output is never written
                                           {-3, 3, 8, 16, 0},   // a short side of 3: no level
                                           {-3, 16, 8, 16, -96}}) { // rows past the end of out
        const int len = pyram_len(16, 16);
        std::vector<uint16_t> buffer(size_t(3 * len * 2), 7);
        g_fractions.clear();
        EXPECT_EQ(kv_fusion(record_progress, p.data(), 3, 16, h, 48 - rowLess, {1, 0, {}}, 0, 3, in,
                            out, 16, out == 32 ? 32 : 16, len, 0, nullptr, stack.data(), nullptr,
                            nullptr, nullptr, buffer.data(), 0),
                  rc)
            << h << " " << in << " " << out << " " << rowLess;
        EXPECT_TRUE(g_fractions.empty());
        EXPECT_EQ(buffer, std::vector<uint16_t>(buffer.size(), 7));
    }
    EXPECT_EQ(fuse(stack, Call{3, 4, 4}).size(), 4u * 4 * 3); // the smallest image with a level
    // The weight stage alone.
    std::vector<uint16_t> out(4 * 4 * 2, 7);
    auto weigh = [&](int spp, int depth, int disk) {
        return fusion1(2, p.data(), 2, 4, 4, spp, 8, depth, 0, nullptr, disk, nullptr, nullptr,
                       stack.data(), nullptr, nullptr, nullptr, out.data());
    };
    EXPECT_EQ(weigh(2, 16, 0), -3);
    EXPECT_EQ(weigh(3, 12, 0), -3);
    EXPECT_EQ(weigh(3, 16, 1), -3); // out of core without its file
    EXPECT_EQ(out, std::vector<uint16_t>(out.size(), 7));
    EXPECT_EQ(weigh(3, 16, 0), 2); // the last band's rows
    // Progress after the weights, each photo and the end.
    const auto photos = render_bracket(make_radiance_map(40, 30), {0.1f, 0.5f, 2, 8}, 8, 3);
    for (auto [depth, f] :
         {std::pair{16, std::vector<float>{0.3f, 0.425f, 0.55f, 0.675f, 0.8f, 0.95f}},
          {32, std::vector<float>{0.1f, 0.275f, 0.45f, 0.625f, 0.8f, 0.95f}}}) {
        g_fractions.clear();
        Call c{4, 40, 30};
        c.fusionDepth = depth;
        ASSERT_FALSE(fuse(photos, c).empty());
        ASSERT_EQ(g_fractions.size(), f.size());
        for (size_t k = 0; k < f.size(); ++k)
            EXPECT_NEAR(g_fractions[k], f[k], 1e-6) << depth << " " << k;
    }
}

TEST(KvFusion, BlendsEveryPhotoWithItsOwnWeights)
{
    // The weight stage's maps run through the stages by hand: the driver must pair each photo
    // with its map and prepare the blended pyramid the same way. Worker counts change nothing;
    // float blending avoids truncations: within 2 output levels. Levels 0 and 1 have pixels
    // enough for their rows to be banded.
    const int w = 321, h = 241, P = w * h;
    const auto stack = render_bracket(make_radiance_map(w, h), {0.05f, 0.4f, 3}, 8, 3);
    Params p{};
    p[kFuAccentuation] = 2, p[kFuBlendingPoint] = 3, p[kFuShadows] = 1, p[kFuSaturation] = 2;
    std::vector<uint16_t> poids(size_t(3 * P));
    ASSERT_GT(fusion1(1, p.data(), 3, w, h, 3, 8, 16, 0, nullptr, 0, nullptr, nullptr, stack.data(),
                      nullptr, nullptr, nullptr, poids.data()),
              0);
    std::vector<std::vector<uint8_t>> photos;
    std::vector<std::vector<uint16_t>> maps;
    for (long k = 0; k < 3; ++k) {
        photos.emplace_back(stack.begin() + k * P * 3, stack.begin() + (k + 1) * P * 3);
        maps.emplace_back(poids.begin() + k * P, poids.begin() + (k + 1) * P);
    }
    for (int bpsOut : {8, 16})
        for (int is360 : {0, 1}) {
            Call c{3, w, h, 3, 8, bpsOut, 1, 16, is360, p};
            const auto fused = fuse(stack, c);
            EXPECT_EQ(fused, stages<uint16_t>(photos, maps, w, h, p, bpsOut, is360));
            for (int threads : {3, 8}) {
                c.threads = threads;
                EXPECT_EQ(fuse(stack, c), fused) << threads;
            }
            c.fusionDepth = 32;
            const auto floats = fuse(stack, c);
            c.threads = 1;
            EXPECT_EQ(fuse(stack, c), floats);
            ASSERT_EQ(floats.size(), fused.size());
            for (size_t i = 0; i < fused.size(); ++i)
                ASSERT_LE(std::abs(floats[i] - fused[i]), bpsOut == 8 ? 2 : 512) << i;
        }
}

TEST(KvFusion, PhotosComeBack)
{
    // One photo at float weights of exactly 1 on every level comes back exactly: the blend's and
    // the collapse's interpolation agree. (A reduced weight map falls short of 1 on the borders:
    // 0.333 + 3 x 0.1667 + 2 / 12 = 0.99977.)
    const int w = 37, h = 22;
    const std::vector<uint8_t> photo = testsupport::seeded_samples<uint8_t>(size_t(w * h * 3), 31);
    const std::vector<float> ones(size_t(pyram_len(w, h)), 1.0f);
    for (bool is360 : {false, true})
        for (int bpsOut : {8, 16}) {
            const auto back = stages<float>({photo}, {ones}, w, h, Params{}, bpsOut, is360);
            for (size_t i = 0; i < back.size(); ++i)
                ASSERT_EQ(back[i], photo[i] * (bpsOut == 8 ? 1 : 256)) << i;
        }
    // Three copies through the driver come back but for truncated weighted band values (under
    // one 15-bit unit a level) and the border weights' 0.9998: within 2 output levels, for every
    // depth and grey too.
    const int W = 57, H = 41;
    for (int spp : {1, 3})
        for (int bpsIn : {8, 16})
            for (int depth : {16, 32}) {
                const auto one =
                    testsupport::render_photo(make_radiance_map(W, H), 0.6f, bpsIn, spp);
                std::vector<uint8_t> stack = one;
                stack.insert(stack.end(), one.begin(), one.end());
                stack.insert(stack.end(), one.begin(), one.end());
                const auto fused = fuse(stack, Call{3, W, H, spp, bpsIn, 16, 2, depth});
                ASSERT_EQ(fused.size(), size_t(W * H * spp));
                for (size_t i = 0; i < fused.size(); ++i) {
                    const int in = bpsIn == 8 ? one[i] << 8
                                              : reinterpret_cast<const uint16_t *>(one.data())[i];
                    ASSERT_LE(std::abs(fused[i] - (in & ~1)), 512)
                        << spp << " " << bpsIn << " " << depth << " " << i;
                }
            }
}

TEST(KvFusion, FusedBracketsShowTheScene)
{
    // Three photos four stops apart of a twelve-stop scene: the result follows the scene's log
    // luminance (0.98 here) and a fused pixel keeps the hue its photos show (gamma-encoded):
    // within a degree.
    const int w = 192, h = 128;
    const auto map = make_radiance_map(w, h);
    for (int spp : {3, 1})
        for (int bpsIn : {8, 16})
            for (int bpsOut : {8, 16}) {
                const auto stack = render_bracket(map, {1 / 64.0f, 0.25f, 4}, bpsIn, spp);
                std::vector<double> unit;
                for (int v : fuse(stack, Call{3, w, h, spp, bpsIn, bpsOut, 4}))
                    unit.push_back(v / (bpsOut == 8 ? 255.0 : 65535.0));
                const auto m = testsupport::scene_match(unit, spp, map, 1 / 2.2);
                EXPECT_GT(m.correlation, 0.95) << spp << " " << bpsIn << " " << bpsOut;
                for (double e : m.hueError)
                    EXPECT_LT(e, 2.0) << spp << " " << bpsIn << " " << bpsOut;
            }
}

// Out of core, every depth of weights and blending, grey and colour, 8- and 16-bit sources, the
// wrap and ghost handling give the image in memory (with 4 workers there); no file is left.
TEST(KvFusionOutOfCore, GivesTheFusionInMemoryOrFallsBackAndLeavesNoFile)
{
    testsupport::PrivateTmp tmp;
    const int w = 53, h = 37;
    const auto map = make_radiance_map(w, h);
    Params p{};
    p[kFuAccentuation] = 2, p[kFuBlendingPoint] = 3, p[kFuShadows] = 1;
    for (auto [n, bpsIn, spp, poids, depth, is360] : {std::array{3, 8, 3, 16, 16, 0},
                                                      {3, 8, 1, 8, 32, 1},
                                                      {2, 16, 3, 32, 16, 1},
                                                      {4, 16, 1, 16, 32, 0}}) {
        auto stack = render_bracket(map, {0.05f, 0.4f, 3, 12}, bpsIn, spp);
        stack.resize(size_t(n * w * h * spp * bpsIn / 8));
        Call c{n, w, h, spp, bpsIn, 16, 4, depth, is360, p, poids};
        int rc = 0;
        const auto mem = fuse(stack, c, &rc);
        ASSERT_EQ(rc, w * h * spp);
        c.disk = 1;
        EXPECT_EQ(fuse(stack, c), mem) << n << " " << bpsIn << " " << spp;
        EXPECT_TRUE(tmp.entries().empty());
    }
    // Ghost handling reads the mask rows at their place out of core too.
    const auto stack = render_bracket(map, {0.05f, 0.4f, 3}, 8, 3);
    std::vector<uint8_t> mask(size_t(3 * w * h + 7) / 8);
    for (size_t i = 0; i < mask.size(); ++i)
        mask[i] = uint8_t(i * 37);
    Call c{3, w, h, 3, 8, 16, 3, 16, 0, p};
    c.fixed = {2, 0, -1}, c.mask = mask.data();
    const auto mem = fuse(stack, c);
    c.threads = 1, c.disk = 1;
    EXPECT_EQ(fuse(stack, c), mem);
    // Files that cannot be made or written: the fusion falls back to memory (two 8-bit photos
    // stay there anyway) with the same image, or fails when the weights find no room.
    const auto grey = render_bracket(map, {0.1f, 1, 8}, 8, 1);
    c = Call{3, w, h, 1};
    const auto inMemory = fuse(grey, c);
    ASSERT_EQ(inMemory.size(), size_t(w * h));
    c.disk = 1;
    // A slot whose path exists is not taken: in memory, the file untouched.
    const std::string taken = tmp.path("taken");
    testsupport::write_file(taken, {42});
    c.taken = taken.c_str();
    EXPECT_EQ(fuse(grey, c), inMemory);
    EXPECT_EQ(testsupport::read_file(taken), testsupport::Bytes{42});
    c.taken = nullptr;
    {
        // No room for the stack: in memory. Room for the stack (w h n bytes) but not for the
        // 16-bit weight maps (twice that): -2.
        testsupport::FileSizeLimit full(1000);
        EXPECT_EQ(fuse(grey, c), inMemory);
        testsupport::FileSizeLimit tight(uint64_t(w) * h * 3 + 100);
        int rc = 0;
        fuse(grey, c, &rc);
        EXPECT_EQ(rc, -2);
        // Two 8-bit photos are fused in memory, whatever the disk holds.
        EXPECT_EQ(fuse(grey, Call{2, w, h, 1, 8, 16, 1, 16, 0, {}, 16, 1}).size(), size_t(w * h));
    }
    EXPECT_EQ(tmp.entries(), std::vector<std::string>{"taken"});
}

TEST(FusionJob, HandsItsFieldsToTheFusionPostsProgressAndShowsFailures)
{
    platform::set_localized_strings({{"Fusing images...", "Fusion..."}});
    std::vector<std::string> posted;
    platform::ScopedObserver observer(
        "progressReportUpdated", nullptr, [&](const platform::Notification &n) {
            posted.push_back(*n.userInfo.at("progressText").string() + " " +
                             std::to_string(n.userInfo.at("progressStatus").doubleValue()));
        });
    Fusion job = job_of(3, 10, 6);
    const DataPtr photos = Data::zeroed(3 * 10 * 6 * 3);
    DataPtr out = job.processFusion(photos); // no record: all zero
    ASSERT_TRUE(out);
    EXPECT_TRUE(posted.empty()); // the preview's run is silent
    EXPECT_EQ(g_engine.param, Params{});
    EXPECT_EQ(g_engine.ints, (std::vector<int>{3, 10, 6, 30, platform::processor_count(), 0, 3, 8,
                                               16, 16, 16, pyram_len(10, 6), 0, -1, 0}));
    // The result is the start of the output buffer: w x h x spp samples of the output bits.
    ASSERT_EQ(out->length(), 10u * 6 * 3 * 2);
    for (size_t i = 0; i < out->length(); ++i)
        ASSERT_EQ(out->bytes()[i], uint8_t(i * 7)) << i;

    Params p{};
    p[kFuAccentuation] = 4, p[kFuSaturation] = -2, p[kFuIs360] = 1.7f;
    job.setParam(Data::copy(p.data(), sizeof p));
    job.setNbProc(100);
    job.setShowProgress(1);
    ASSERT_TRUE(job.processFusion(photos));
    EXPECT_EQ(posted, (std::vector<std::string>{"Fusion... 25.000000", "Fusion... 75.000000"}));
    EXPECT_EQ(g_engine.param, p);
    EXPECT_EQ(g_engine.ints[4] * 100 + g_engine.ints[12] * 10 + g_engine.ints[14],
              3211);                       // 32 workers, is360, callback
    job.setParam(Data::copy(p.data(), 8)); // a short record as far as it goes
    ASSERT_TRUE(job.processFusion(photos));
    EXPECT_EQ(g_engine.param[kFuAccentuation] * 10 + g_engine.param[kFuSaturation], 40);
    job.setParamToDefault();
    ASSERT_TRUE(job.processFusion(photos));
    EXPECT_EQ(g_engine.param, Params{});
    EXPECT_EQ(job_of(2, 5, 4, 3, 8).processFusion(Data::zeroed(120))->length(), 60u);
    // A dims record shorter than 13 ints fills what it holds and leaves the rest 0: width and
    // height alone leave no samples a pixel; without output bits the fusion refuses.
    {
        std::vector<platform::Alert> shown;
        const auto previous =
            platform::set_alert_sink([&](const platform::Alert &a) { shown.push_back(a); });
        for (size_t ints : {size_t(2), size_t(4)}) {
            Fusion shortDims = job_of(2, 5, 4, 3, 8);
            if (ints == 4)
                shortDims.setEngineForTesting(nullptr); // the fusion itself
            const int32_t d[4] = {5, 4, 3, 8};
            shortDims.setImageDimsFrom(Data::copy(d, ints * sizeof(int32_t)));
            EXPECT_FALSE(shortDims.processFusion(Data::zeroed(120))) << ints;
            EXPECT_EQ(g_engine.calls, 0) << ints;
        }
        platform::set_alert_sink(previous);
        ASSERT_EQ(shown.size(), 2u);
        EXPECT_EQ(shown[0].message + " / " + shown[1].message,
                  "Error with exposure fusion / Error with exposure fusion");
    }
    // Codes of the fusion, and refusals before it: a stack one byte short, no photos, sizes past
    // every buffer.
    platform::set_localized_strings({{"Error", "Fehler"}, {"OK", "OK!"}});
    const std::string kMemory = "Insufficient memory to fuse images",
                      kOther = "Error with exposure fusion";
    for (auto [n, side, rc, bytes, message] : {std::tuple{2, 8, -4, size_t(384), kMemory},
                                               {2, 8, -3, 384, kOther},
                                               {2, 8, 1, 383, kOther},
                                               {0, 8, 1, 384, kOther},
                                               {2, 1 << 30, 1, 384, kOther}}) {
        std::vector<platform::Alert> shown;
        const auto previous =
            platform::set_alert_sink([&](const platform::Alert &a) { shown.push_back(a); });
        EXPECT_FALSE(job_of(n, side, side, 3, 16, rc).processFusion(Data::zeroed(bytes)))
            << rc << " " << bytes;
        platform::set_alert_sink(previous);
        EXPECT_EQ(g_engine.calls, rc < 0 ? 1 : 0) << rc << " " << bytes;
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].title + shown[0].message + shown[0].button, "Fehler" + message + "OK!");
    }
    platform::set_localized_strings({});
}
