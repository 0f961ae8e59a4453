// The parts of the noise filter against plain transcriptions of their definitions (parameter
// derivation, upsampling, one level step, the thorough block measure), their invariants (flat
// stays flat, an isolated pixel keeps its colour) and the noise estimate's direction and codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "denoise/detail/nr_ops.h"
#include "denoise/noise_estimate.h"
#include "denoise/nr_filter.h"
#include "denoise/nr_params.h"
#include "tests/support/image_compare.h"
#include "tests/support/noise.h"

namespace {

NrDerived defaults()
{
    float p[kNrParamCount];
    nr_def(p);
    NrDerived d;
    calcParams(p, &d);
    return d;
}

// w x h x 3 floats around base with seeded noise of sigma.
std::vector<float> noisy_level(int w, int h, float base, double sigma, uint64_t seed)
{
    testsupport::NoiseSource rng(seed);
    std::vector<float> v(size_t(w) * h * 3);
    for (float &x : v)
        x = base + float(rng.gaussian() * sigma);
    return v;
}

// --- plain transcriptions -------------------------------------------------------------------

float ref_sim(const float *a, const float *b)
{
    const float d = std::fabs(a[0] - b[0]) + std::fabs(a[1] - b[1]) + std::fabs(a[2] - b[2]);
    if (d <= 10)
        return 1;
    if (d > 60)
        return 0;
    return 1 - (d - 10) / 50;
}

std::vector<float> ref_reconstruct(int w, int h, const std::vector<float> &C,
                                   const std::vector<float> &F)
{
    const int cw = (w + 1) / 2;
    std::vector<float> out(size_t(w) * h * 3, -1);
    auto c = [&](int i, int j) { return &C[(size_t(j) * cw + i) * 3]; };
    auto f = [&](int x, int y) { return &F[(size_t(y) * w + x) * 3]; };
    auto o = [&](int x, int y) { return &out[(size_t(y) * w + x) * 3]; };
    for (int y = 2; y < h - 1; y += 2) {
        for (int x = 2; x < w - 1; x += 2)
            for (int k = 0; k < 3; ++k)
                o(x, y)[k] = c(x / 2, y / 2)[k];
        for (int x = 1; x < w - 1; x += 2) {
            float wl = std::max(0.01f, ref_sim(f(x, y), f(x - 1, y)));
            float wr = std::max(0.01f, ref_sim(f(x, y), f(x + 1, y)));
            const float s = wl + wr;
            for (int k = 0; k < 3; ++k)
                o(x, y)[k] = wl / s * c((x - 1) / 2, y / 2)[k] + wr / s * c((x + 1) / 2, y / 2)[k];
        }
    }
    for (int y = 1; y < h - 1; y += 2) {
        for (int x = 2; x < w - 1; x += 2) {
            float a = ref_sim(f(x, y), f(x, y - 1)), b = ref_sim(f(x, y), f(x, y + 1));
            const float s = a + b;
            a = s == 0 ? 0.5f : a / s;
            b = s == 0 ? 0.5f : b / s;
            for (int k = 0; k < 3; ++k)
                o(x, y)[k] = a * c(x / 2, (y - 1) / 2)[k] + b * c(x / 2, (y + 1) / 2)[k];
        }
        for (int x = 1; x < w - 1; x += 2) {
            const int xs[4] = {x - 1, x + 1, x - 1, x + 1}, ys[4] = {y - 1, y - 1, y + 1, y + 1};
            float wt[4], s = 0;
            for (int i = 0; i < 4; ++i)
                s += wt[i] = ref_sim(f(x, y), f(xs[i], ys[i]));
            for (int k = 0; k < 3; ++k) {
                float v = 0;
                for (int i = 0; i < 4; ++i)
                    v += (s == 0 ? 0.25f : wt[i] / s) * c(xs[i] / 2, ys[i] / 2)[k];
                o(x, y)[k] = v;
            }
        }
    }
    // Borders from the nearest written pixel.
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int k = 0; k < 3; ++k)
                o(x, y)[k] = o(std::clamp(x, 1, w - 2), std::clamp(y, 1, h - 2))[k];
    return out;
}

const float kK[5][5] = {{0.1f, 0.3f, 0.5f, 0.3f, 0.1f},
                        {0.3f, 0.7f, 1.0f, 0.7f, 0.3f},
                        {0.5f, 1.0f, 0.0f, 1.0f, 0.5f},
                        {0.3f, 0.7f, 1.0f, 0.7f, 0.3f},
                        {0.1f, 0.3f, 0.5f, 0.3f, 0.1f}};

// One level step: filter then sharpen over rect, on image (changed), filtered and detail.
void ref_level_step(int level, int w, const int *rect, const NrDerived &p,
                    std::vector<float> &image, std::vector<float> &filtered,
                    std::vector<float> &detail)
{
    std::vector<float> ycc(image.size());
    for (size_t i = 0; i < image.size(); i += 3) {
        const float Y = 0.299f * image[i] + 0.587f * image[i + 1] + 0.114f * image[i + 2];
        ycc[i] = Y;
        ycc[i + 1] = image[i + 2] - Y;
        ycc[i + 2] = image[i] - Y;
    }
    filtered = image;
    const float rollBase = std::max(p.levelNoiseLevel[level], 1e-5f);
    const float thrBase = 1e-5f * float(1 << level);
    auto at = [&](int x, int y) { return (size_t(y) * w + x) * 3; };
    for (int y = rect[2]; y < rect[3]; ++y)
        for (int x = rect[0]; x < rect[1]; ++x) {
            const size_t i = at(x, y);
            const float s = std::clamp(image[i] + image[i + 1] + image[i + 2], 0.0f, 765.0f);
            const float f = 1 - s / 765 * p.highnoiseLevelReduce;
            const float roll = rollBase * f, thr = thrBase * f;
            float S = 0, sum[3] = {0, 0, 0};
            for (int dy = -2; dy <= 2; ++dy)
                for (int dx = -2; dx <= 2; ++dx) {
                    if (!dx && !dy)
                        continue;
                    const size_t q = at(x + dx, y + dy);
                    const float d = float(2.0 * std::fabs(double(ycc[i]) - ycc[q]) +
                                          0.5 * std::fabs(double(ycc[i + 1]) - ycc[q + 1]) +
                                          0.5 * std::fabs(double(ycc[i + 2]) - ycc[q + 2]));
                    const float k = kK[dy + 2][dx + 2];
                    float wgt = 0;
                    if (d <= thr)
                        wgt = k;
                    else if (d <= thr + roll)
                        wgt = k * (1 - (d - thr) / roll);
                    S += wgt;
                    for (int c = 0; c < 3; ++c)
                        sum[c] += wgt * image[q + c];
                }
            float a = 0;
            if (S != 0) {
                a = (1 - 1 / (S + 1)) * p.levelNR[level];
                for (int c = 0; c < 3; ++c)
                    filtered[i + c] = (1 - a) * image[i + c] + a * (sum[c] / S);
            }
            detail[i] = a;
            detail[i + 1] = thr;
            detail[i + 2] = roll;
        }
    const float amount = p.levelSharpAmount[level], chroma = p.chromaSharpeningAmount;
    for (int y = rect[2]; y < rect[3]; ++y)
        for (int x = rect[0]; x < rect[1]; ++x) {
            const size_t i = at(x, y);
            const float *c = &filtered[i];
            const float a = std::max(detail[i], 0.0f), T = detail[i + 2];
            float S = 0, m[3] = {0, 0, 0};
            for (int dy = -2; dy <= 2; ++dy)
                for (int dx = -2; dx <= 2; ++dx) {
                    if (!dx && !dy)
                        continue;
                    const float *q = &filtered[at(x + dx, y + dy)];
                    const float dn =
                        std::fabs(c[0] - q[0]) + std::fabs(c[1] - q[1]) + std::fabs(c[2] - q[2]);
                    const float k = kK[dy + 2][dx + 2];
                    float wgt = 0;
                    if (dn <= T)
                        wgt = k * dn / T;
                    else if (dn < 1.25f * T)
                        wgt = k + (T - dn) * 4 * k / T;
                    S += wgt;
                    for (int ch = 0; ch < 3; ++ch)
                        m[ch] += wgt * q[ch];
                }
            if (S == 0) {
                std::copy(c, c + 3, &image[i]);
                continue;
            }
            for (float &v : m)
                v /= S;
            const float Y = 0.299f * c[0] + 0.587f * c[1] + 0.114f * c[2];
            const float Ym = 0.299f * m[0] + 0.587f * m[1] + 0.114f * m[2];
            const float Y2 = Y + amount * a * S * (Y - Ym), c2 = a * chroma * S;
            const float R = (c[0] - Y) + c2 * ((c[0] - Y) - (m[0] - Ym)) + Y2;
            const float B = (c[2] - Y) + c2 * ((c[2] - Y) - (m[2] - Ym)) + Y2;
            image[i] = R;
            image[i + 1] = (Y2 - 0.299f * R - 0.114f * B) * 1.7035775f;
            image[i + 2] = B;
        }
}

} // namespace

TEST(CalcParams, DefaultsGiveTheDocumentedDerivedValues)
{
    const NrDerived d = defaults();
    const struct {
        const char *name;
        float got, want;
    } cases[] = {
        {"rolloff", d.NRsimilarityRolloff, 120},
        {"level0", d.levelNoiseLevel[0], 120},
        {"level1", d.levelNoiseLevel[1], 60},
        {"level2", d.levelNoiseLevel[2], 30},
        {"level3", d.levelNoiseLevel[3], 15},
        {"highnoise", d.highnoiseLevelReduce, 0.8f},
        {"lumaMix", d.lumaMix, 0.7f},
        {"chromaMix", d.chromaMix, 1.3f},
        {"sharp0", d.levelSharpAmount[0], 0.025f},
        {"sharp1", d.levelSharpAmount[1], 0.05f},
        {"sharp3", d.levelSharpAmount[3], 0.05f},
        {"chromaSharp", d.chromaSharpeningAmount, 0.025f},
        {"rampLow", d.highlightNRlowThreshold, 100},
        {"rampHigh", d.highlightNRhighThreshold, 255},
        {"strength2", d.levelNR[2], 1},
        // The ramp is 1 at its start and 0 at its end.
        {"rampAtLow", d.highlightNRslope * 100 + d.highlightNRintercept, 1},
        {"rampAtHigh", d.highlightNRslope * 255 + d.highlightNRintercept, 0},
    };
    for (const auto &c : cases)
        EXPECT_NEAR(c.got, c.want, 1e-5) << c.name; // single-precision products of the defaults
}

TEST(CalcParams, ClampsHighNoiseReductionAndFloorsTheRolloff)
{
    const struct {
        int slot;
        float value;
        float highnoise, rolloff;
    } cases[] = {{1, 1.0f, 0.0f, 120},   {1, 2.0f, 0.0f, 120},     {1, 0.0f, 0.99f, 120},
                 {1, -1.0f, 0.99f, 120}, {0, 0.0f, 0.8f, 1.5e-5f}, {0, 10.0f, 0.8f, 15}};
    for (const auto &c : cases) {
        float p[kNrParamCount];
        nr_def(p);
        p[c.slot] = c.value;
        NrDerived d;
        calcParams(p, &d);
        EXPECT_FLOAT_EQ(d.highnoiseLevelReduce, c.highnoise) << c.slot << " " << c.value;
        EXPECT_FLOAT_EQ(d.NRsimilarityRolloff, c.rolloff) << c.slot << " " << c.value;
        EXPECT_FLOAT_EQ(d.levelNoiseLevel[3], c.rolloff * 0.125f);
    }
}

TEST(SimilarityReconstruct, MatchesPlainTranscriptionOnOddAndEvenSizes)
{
    for (auto [w, h] : {std::pair{9, 7}, {10, 8}, {33, 20}, {3, 3}}) {
        const int cw = (w + 1) / 2, ch = (h + 1) / 2;
        // Fine values spread over the whole similarity range (distances 0 to beyond 60).
        const auto fine = noisy_level(w, h, 100, 15, 7);
        const auto coarse = noisy_level(cw, ch, 100, 20, 8);
        std::vector<float> out(size_t(w) * h * 3, -7);
        EXPECT_EQ(similarityReconstruct(w, h, nullptr, coarse.data(), fine.data(), out.data()), h);
        const auto d = testsupport::compare_images(out, ref_reconstruct(w, h, coarse, fine), 1e-4);
        EXPECT_EQ(d.count, 0u) << w << "x" << h << " worst " << d.worstIndex; // float rounding
    }
}

TEST(SimilarityReconstruct, TakesHalfAndHalfAtTheFloorAndSkipsShortLevels)
{
    // Row 2, column 1 differs by far more than 60 from both neighbours: both weights floor at
    // 0.01 and the coarse pixels (0, 1) and (1, 1) mix half and half.
    const int w = 5, h = 5;
    std::vector<float> fine(size_t(w) * h * 3, 0.0f), coarse(3 * 3 * 3, 0.0f);
    for (int k = 0; k < 3; ++k)
        fine[(2 * w + 1) * 3 + k] = 200;
    for (int k = 0; k < 3; ++k) {
        coarse[(1 * 3 + 0) * 3 + k] = 10;
        coarse[(1 * 3 + 1) * 3 + k] = 50;
    }
    std::vector<float> out(fine.size());
    similarityReconstruct(w, h, nullptr, coarse.data(), fine.data(), out.data());
    EXPECT_FLOAT_EQ(out[(2 * w + 1) * 3], 30.0f);
    std::vector<float> untouched(5 * 2 * 3, 3.0f);
    EXPECT_EQ(similarityReconstruct(5, 2, nullptr, coarse.data(), fine.data(), untouched.data()),
              0);
    EXPECT_EQ(untouched[0], 3.0f);
}

TEST(NoiseReduceSet, MatchesPlainTranscriptionAtFineAndCoarseLevels)
{
    const NrDerived p = defaults();
    for (int level : {0, 1, 3}) {
        for (int threads : {1, 8}) {
            const int w = 23, h = 19;
            int rect[4] = {2, w - 2, 2, h - 2};
            auto image = noisy_level(w, h, 90, 6, 11 + uint64_t(level));
            std::vector<float> filtered(image.size()), detail(image.size(), 0.0f),
                scratch(image.size());
            auto refImage = image;
            std::vector<float> refFiltered, refDetail(image.size(), 0.0f);
            noiseReduce_set(level, w, h, rect, 3, threads, p, detail.data(), filtered.data(),
                            scratch.data(), image.data());
            ref_level_step(level, w, rect, p, refImage, refFiltered, refDetail);
            // The same operations in the same order, up to the compiler's float rounding.
            EXPECT_EQ(testsupport::compare_images(image, refImage, 1e-4).count, 0u) << level;
            EXPECT_EQ(testsupport::compare_images(filtered, refFiltered, 1e-4).count, 0u);
            EXPECT_EQ(testsupport::compare_images(detail, refDetail, 1e-6).count, 0u);
        }
    }
}

TEST(NoiseReduceSet, IsolatedPixelKeepsItsColourAndNoiseFalls)
{
    const NrDerived p = defaults();
    const int w = 21, h = 21;
    auto image = noisy_level(w, h, 60, 3, 5);
    const size_t c = (10 * w + 10) * 3;
    const float spot[3] = {250, 30, 20};
    std::copy(spot, spot + 3, image.begin() + long(c));
    const auto before = image;
    std::vector<float> filtered(image.size()), detail(image.size()), scratch(image.size());
    int rect[4] = {2, w - 2, 2, h - 2};
    noiseReduce_set(0, w, h, rect, 3, 1, p, detail.data(), filtered.data(), scratch.data(),
                    image.data());
    for (int k = 0; k < 3; ++k)
        EXPECT_NEAR(image[c + k], spot[k], 1e-3) << k; // (R - Y) + Y' round trips in float
    EXPECT_EQ(detail[c], 0.0f);
    // Away from the spot, the pixel-to-pixel spread of green falls.
    auto spread = [&](const std::vector<float> &v) {
        double s = 0;
        for (int y = 3; y < 8; ++y)
            for (int x = 3; x < 17; ++x)
                s += std::fabs(v[(size_t(y) * w + x) * 3 + 1] - v[(size_t(y) * w + x + 1) * 3 + 1]);
        return s;
    };
    EXPECT_LT(spread(image), 0.5 * spread(before));
}

TEST(DenoiseTile, FlatTileStaysExactlyFlat)
{
    const NrDerived p = defaults();
    for (auto [w, h] : {std::pair{40, 36}, {17, 17}, {61, 9}}) {
        for (float v : {0.0f, 37.0f, 100.0f, 255.0f}) {
            std::vector<float> pyramid(size_t(w) * h * 3 * 2, v), detail(pyramid.size()),
                filtered(size_t(w) * h * 3), scratch(filtered.size());
            int rect[4] = {8, w - 8, 8, h - 8};
            if (rect[1] < rect[0] || rect[3] < rect[2])
                rect[0] = rect[1] = rect[2] = rect[3] = 4;
            ASSERT_EQ(denoise_tile(w, h, rect, 3, nullptr, 1, p, detail.data(), filtered.data(),
                                   scratch.data(), pyramid.data()),
                      0);
            const auto s = testsupport::buffer_stats(pyramid.data(), size_t(w) * h * 3);
            EXPECT_EQ(s.min, s.max) << w << "x" << h << " grey " << v;
            EXPECT_NEAR(s.mean, v, 1e-3) << w << "x" << h; // float sums of equal values
        }
    }
    std::vector<float> small(8 * 8 * 3 * 2);
    int rect[4] = {2, 6, 2, 6};
    EXPECT_EQ(denoise_tile(8, 8, rect, 3, nullptr, 1, p, small.data(), small.data(), small.data(),
                           small.data()),
              -3);
}

// --- the noise estimate -----------------------------------------------------------------------

namespace {

// A staircase of grey 32 x 32 blocks from 30 to 220 in block order, so every block has a level
// of its own, with seeded noise of sigma; w x h, packed.
std::vector<uint8_t> ramp_photo(int w, int h, double sigma, uint64_t seed)
{
    std::vector<uint8_t> v(size_t(w) * h * 3);
    const int nbx = std::max(w / 32, 1), blocks = std::max(nbx * (h / 32), 2);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int k = 0; k < 3; ++k)
                v[(size_t(y) * w + x) * 3 + k] = uint8_t(
                    30 + 190 * std::min((y / 32) * nbx + x / 32, blocks - 1) / (blocks - 1));
    testsupport::add_seeded_noise(v, 8, sigma, seed);
    return v;
}

int estimate(const std::vector<uint8_t> &photo, int w, int h, float slot0 = 80,
             float *out = nullptr)
{
    float p[kNrParamCount];
    nr_def(p);
    p[0] = slot0;
    const int rc = auto_profile(w, h, w * 3, p, photo.data());
    if (out)
        std::copy(p, p + kNrParamCount, out);
    return rc;
}

float ref_recalc(const uint8_t *b, int stride)
{
    double sum = 0;
    int n = 0;
    for (int p : {7, 15, 23})
        for (int i = 0; i < 32; ++i)
            for (int k = 0; k < 3; ++k) {
                const int pairs[2][2] = {
                    {b[i * stride + p * 3 + k], b[i * stride + (p + 1) * 3 + k]},
                    {b[p * stride + i * 3 + k], b[(p + 1) * stride + i * 3 + k]}};
                for (auto &q : pairs)
                    if (q[0] > 1 && q[0] < 254 && q[1] > 1 && q[1] < 254) {
                        sum += std::abs(q[0] - q[1]);
                        ++n;
                    }
            }
    return float(sum / n * 5766.0);
}

} // namespace

TEST(AutoProfile, EstimateRisesWithSigma)
{
    const int w = 512, h = 256;
    int last = 0;
    for (double sigma : {2.0, 4.0, 8.0}) {
        const int level = estimate(ramp_photo(w, h, sigma, 3), w, h);
        EXPECT_GT(level, last) << sigma;
        last = level;
    }
}

TEST(AutoProfile, WritesItsFourSlotsAndScalesBySlotZero)
{
    const int w = 256, h = 128;
    const auto photo = ramp_photo(w, h, 6, 9);
    float p[kNrParamCount], half[kNrParamCount], dbl[kNrParamCount];
    const int level = estimate(photo, w, h, 80, p);
    ASSERT_GT(level, 15);
    EXPECT_EQ(level, int(p[0]));
    EXPECT_NEAR(p[7], std::clamp(-p[0] / 350 - 1.0f / 14, -0.5f, 0.0f), 1e-6);
    EXPECT_EQ(p[17], 100.0f);
    EXPECT_NEAR(p[18], std::min(155.0f, 2 * p[0] + 45), 1e-4);
    estimate(photo, w, h, 0.5f, half);
    estimate(photo, w, h, 1.5f, dbl);
    EXPECT_FLOAT_EQ(half[0], p[0] / 2);
    EXPECT_FLOAT_EQ(dbl[0], p[0] * 2);
    // A clean ramp is quieter than the floor: 15, and 7.5 with slot 0 at 0.5.
    const auto quiet = ramp_photo(w, h, 0.6, 9);
    EXPECT_EQ(estimate(quiet, w, h, 80, p), 15);
    estimate(quiet, w, h, 0.5f, half);
    EXPECT_FLOAT_EQ(half[0], 7.5f);
}

TEST(AutoProfile, ReturnsItsFailureCodesAndLeavesTheRecordAlone)
{
    float p[kNrParamCount];
    nr_def(p);
    const auto small = ramp_photo(31, 64, 4, 1);
    const std::vector<uint8_t> noiseless(128 * 64 * 3, 120);
    // Every sample pixel (even coordinates) 99, every neighbour 101: one level, never darker.
    std::vector<uint8_t> checker(128 * 64 * 3);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 128; ++x)
            for (int k = 0; k < 3; ++k)
                checker[(size_t(y) * 128 + x) * 3 + k] = (x + y) % 2 ? 101 : 99;
    EXPECT_EQ(auto_profile(31, 64, 93, p, small.data()), -2);
    EXPECT_EQ(auto_profile(128, 64, 384, p, noiseless.data()), -2);
    EXPECT_EQ(auto_profile(128, 64, 384, p, checker.data()), -3);
    EXPECT_EQ(auto_profile(128, 64, 100, p, checker.data()), -3);
    float def[kNrParamCount];
    nr_def(def);
    EXPECT_TRUE(std::equal(p, p + kNrParamCount, def));
}

TEST(AutoProfile, BlockWithoutMeasurablePairsIsNeverAmongTheQuietest)
{
    // Three blocks: dark noisy (level ~30), mid noisy (~60) and a bright one whose quarter
    // lines are all 255 while its sample pixel (0, 0) is quiet: the scan keeps it as the
    // quietest bright block, the thorough measure has no pair to count.
    const int w = 96, h = 32;
    std::vector<uint8_t> v(size_t(w) * h * 3);
    testsupport::NoiseSource rng(4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int bx = x / 32, lx = x % 32, ly = y;
            const bool line = lx % 8 == 0 || lx % 8 == 7 || ly % 8 == 0 || ly % 8 == 7;
            for (int k = 0; k < 3; ++k) {
                double val = bx == 0 ? 30 + rng.gaussian() * 4 : 60 + rng.gaussian() * 4;
                if (bx == 2)
                    val = line && !(lx < 2 && ly < 2) ? 255 : 100 + (lx + ly) % 2;
                v[(size_t(y) * w + x) * 3 + k] = uint8_t(std::clamp(val, 2.0, 255.0));
            }
        }
    EXPECT_EQ(recalcDeviations(w, h, w * 3, 32, 64 * 3, v.data()),
              std::numeric_limits<float>::infinity());
    float p[kNrParamCount];
    const int level = estimate(v, w, h, 80, p);
    EXPECT_GE(level, 15);
    EXPECT_TRUE(std::isfinite(p[0]));
}

TEST(RecalcDeviations, MatchesPlainTranscriptionAndLeavesOutNearClippedValues)
{
    const int w = 64, h = 64;
    auto photo = ramp_photo(w, h, 5, 21);
    // Near-clipped values in the second block: 0, 1, 254 and 255 never count.
    for (int i = 0; i < 32; ++i)
        for (int k = 0; k < 3; ++k)
            photo[(size_t(i) * w + 32 + 8) * 3 + k] = uint8_t(i % 2 ? 1 : 254);
    for (int offset : {0, 32 * 3, 32 * w * 3 + 32 * 3})
        EXPECT_NEAR(recalcDeviations(w, h, w * 3, 32, offset, photo.data()),
                    ref_recalc(photo.data() + offset, w * 3), 1e-2)
            << offset; // double sums, one float rounding
}

TEST(NrOps, ColourConversionsRoundTripAndEdgeScoreSeesOnlyEdges)
{
    using namespace denoise::detail;
    const float rgb[3] = {200, 40, 90};
    float ycc[3], back[3];
    RGBtoYCbCr(rgb, ycc);
    YCbCrToRGB(ycc, back);
    for (int k = 0; k < 3; ++k)
        EXPECT_NEAR(back[k], rgb[k], 1e-3);
    // A 5 x 5 level: flat scores 0; a vertical edge through the centre column scores > 0.
    std::vector<float> flat(25 * 3, 80), edge(25 * 3, 80);
    for (int y = 0; y < 5; ++y)
        for (int x = 3; x < 5; ++x)
            for (int k = 0; k < 3; ++k)
                edge[(size_t(y) * 5 + x) * 3 + k] = 200;
    EXPECT_EQ(edgeSmoothInverseSimSum(flat.data(), 5, 2, 2, 0), 0.0f);
    EXPECT_GT(edgeSmoothInverseSimSum(edge.data(), 5, 2, 2, 0), 0.0f);
    EXPECT_EQ(len_pyram(116, 116, 3), 116 * 116 + 58 * 58 + 29 * 29 + 15 * 15);
}

TEST(AutoProfile, MeasuresTheQuietBlocksNotTheTexturedOnes)
{
    // 160 blocks, seven of every eight carrying a strong fine texture; the flat eighth alone
    // shows the noise, and the estimate must come from them.
    const int w = 512, h = 320;
    const auto plain = ramp_photo(w, h, 4, 12);
    auto textured = plain;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (((y / 32) * 16 + x / 32) % 8 != 0)
                for (int k = 0; k < 3; ++k) {
                    uint8_t &v = textured[(size_t(y) * w + x) * 3 + k];
                    v = uint8_t(std::clamp(int(v) + ((x + y) % 2 ? 20 : -20), 2, 253));
                }
    const int flatLevel = estimate(plain, w, h), level = estimate(textured, w, h);
    ASSERT_GT(flatLevel, 15);
    EXPECT_NEAR(level, flatLevel, 0.25 * flatLevel); // a few flat blocks against all of them
}
