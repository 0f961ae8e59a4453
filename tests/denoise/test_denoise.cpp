// Noise reduction: the filter's parts against plain transcriptions of their definitions
// (parameters, upsampling, one level step, the thorough block measure) with their invariants,
// the noise estimate's direction and codes, and the tiled driver: tile grid and work area, bad
// input, flat photos unchanged, PSNR raised and mean kept on noisy photos of the scene, results
// independent of threads (started or not), work area and earlier calls, 16 bits, a real photo.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "denoise/denoise.h"
#include "denoise/detail/nr_ops.h"
#include "denoise/detail/tile_grid.h"
#include "denoise/noise_estimate.h"
#include "denoise/nr_filter.h"
#include "denoise/nr_params.h"
#include "imagecore/banded.h"
#include "platform/bitmap.h"
#include "tests/support/bracket_generator.h"
#include "tests/support/image_compare.h"
#include "tests/support/noise.h"

namespace {

NrDerived derived(int slot = 0, float value = 80)
{
    float p[kNrParamCount];
    nr_def(p);
    p[slot] = value;
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

float ref_sim(const float *a, const float *b)
{
    const float d = std::fabs(a[0] - b[0]) + std::fabs(a[1] - b[1]) + std::fabs(a[2] - b[2]);
    return d <= 10 ? 1 : d > 60 ? 0 : 1 - (d - 10) / 50;
}

// Each inner pixel mixes the coarse pixels under the fine neighbours it lies between (itself on
// even rows and columns) by their similarity to it: floored at 0.01 along a row, equal shares
// when none is similar; the outer ring repeats the nearest inner pixel.
std::vector<float> ref_reconstruct(int w, int h, const std::vector<float> &C,
                                   const std::vector<float> &F)
{
    std::vector<float> out(size_t(w) * h * 3);
    auto f = [&](int x, int y) { return &F[(size_t(y) * w + x) * 3]; };
    auto c = [&](int i, int j) { return &C[(size_t(j) * size_t((w + 1) / 2) + i) * 3]; };
    for (int y = 1; y < h - 1; ++y)
        for (int x = 1; x < w - 1; ++x) {
            std::vector<std::pair<int, int>> n;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx)
                    if ((dx != 0) == (x % 2 == 1) && (dy != 0) == (y % 2 == 1))
                        n.emplace_back(x + dx, y + dy);
            std::vector<float> wt;
            float s = 0;
            for (auto [nx, ny] : n)
                s += wt.emplace_back(x % 2 && y % 2 == 0
                                         ? std::max(0.01f, ref_sim(f(x, y), f(nx, ny)))
                                         : ref_sim(f(x, y), f(nx, ny)));
            for (int k = 0; k < 3; ++k) {
                float v = 0;
                for (size_t i = 0; i < n.size(); ++i)
                    v += (s == 0 ? 1.0f / float(n.size()) : wt[i] / s) *
                         c(n[i].first / 2, n[i].second / 2)[k];
                out[(size_t(y) * w + x) * 3 + size_t(k)] = v;
            }
        }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int k = 0; k < 3; ++k)
                out[(size_t(y) * w + x) * 3 + k] =
                    out[(size_t(std::clamp(y, 1, h - 2)) * w + std::clamp(x, 1, w - 2)) * 3 + k];
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
    // Calls f(q, k) for the 24 neighbours of (x, y), q their first sample, k their weight.
    auto each = [&](int x, int y, auto &&f) {
        for (int dy = -2; dy <= 2; ++dy)
            for (int dx = -2; dx <= 2; ++dx)
                if (dx || dy)
                    f(at(x + dx, y + dy), kK[dy + 2][dx + 2]);
    };
    for (int y = rect[2]; y < rect[3]; ++y)
        for (int x = rect[0]; x < rect[1]; ++x) {
            const size_t i = at(x, y);
            const float s = std::clamp(image[i] + image[i + 1] + image[i + 2], 0.0f, 765.0f);
            const float f = 1 - s / 765 * p.highnoiseLevelReduce;
            const float roll = rollBase * f, thr = thrBase * f;
            float S = 0, sum[3] = {0, 0, 0};
            each(x, y, [&](size_t q, float k) {
                const float d = float(2.0 * std::fabs(double(ycc[i]) - ycc[q]) +
                                      0.5 * std::fabs(double(ycc[i + 1]) - ycc[q + 1]) +
                                      0.5 * std::fabs(double(ycc[i + 2]) - ycc[q + 2]));
                const float wgt = d <= thr ? k : d <= thr + roll ? k * (1 - (d - thr) / roll) : 0;
                S += wgt;
                for (int c = 0; c < 3; ++c)
                    sum[c] += wgt * image[q + c];
            });
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
            each(x, y, [&](size_t at_q, float k) {
                const float *q = &filtered[at_q];
                const float dn =
                    std::fabs(c[0] - q[0]) + std::fabs(c[1] - q[1]) + std::fabs(c[2] - q[2]);
                const float wgt = dn <= T          ? k * dn / T
                                  : dn < 1.25f * T ? k + (T - dn) * 4 * k / T
                                                   : 0;
                S += wgt;
                for (int ch = 0; ch < 3; ++ch)
                    m[ch] += wgt * q[ch];
            });
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

// auto_profile with slot 0 set; the record it leaves in out.
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
    return n == 0 ? std::numeric_limits<float>::infinity() : float(sum / n * 5766.0);
}

// denoise2 of a packed photo (8- or 16-bit samples) with the defaults; work: null, or an area of
// exactly mem4denoise bytes filled with fill. The record comes back in param.
template <class S>
std::vector<S> reduce_noise(const std::vector<S> &photo, int w, int h, int threads = 1,
                            int maxTile = 2048, bool ownWork = false, uint8_t fill = 0,
                            float *param = nullptr)
{
    float p[kNrParamCount];
    nr_def(param ? param : p);
    std::vector<S> out(photo.size());
    std::vector<float> work(ownWork ? size_t(mem4denoise(w, h, maxTile)) / sizeof(float) : 0);
    if (ownWork)
        std::memset(work.data(), fill, work.size() * sizeof(float));
    EXPECT_EQ(denoise2(w, h, 3, w * 3, int(sizeof(S)) * 8, maxTile, threads, param ? param : p,
                       ownWork ? work.data() : nullptr, photo.data(), out.data()),
              1);
    return out;
}

double mean(const std::vector<uint8_t> &v)
{
    return testsupport::buffer_stats(v.data(), v.size()).mean;
}

// A photo of the test scene with seeded noise of sigma.
std::vector<uint8_t> noisy_photo(int w, int h, float exposure, double sigma, uint64_t seed)
{
    return testsupport::render_noisy_photo(testsupport::make_radiance_map(w, h), exposure, 8, sigma,
                                           seed);
}

// The noise estimate read plainly: the scan of 16 sample pixels a block, the brightness
// compensation, the midpoint of the descending ranking of the kept levels (first block of each
// distinct level, highest first, then the others in block order), the k quietest of each side
// by scan (equal deviations: the later block first), their thorough measure compensated again,
// the mean of the four smallest, 35 x mean - 15 floored at 15. Negative: the failure codes.
double ref_estimate(const uint8_t *copy, int w, int h, int stride)
{
    struct Block {
        float deviation;
        int level;
        size_t offset;
    };
    const auto compensated = [](double d, int level) { return d / (1 - 0.8 * level / 255); };
    std::vector<Block> kept;
    for (int by = 0; by < h / 32; ++by)
        for (int bx = 0; bx < w / 32; ++bx) {
            const size_t offset = size_t(by) * 32 * stride + size_t(bx) * 96;
            int sum[3] = {0, 0, 0}, dev[3] = {0, 0, 0}, excluded = 0;
            for (int r = 0; r < 32; r += 8)
                for (int c = 0; c < 32; c += 8)
                    for (int k = 0; k < 3; ++k) {
                        const uint8_t *px = copy + offset + size_t(r) * stride + c * 3 + k;
                        sum[k] += *px;
                        if (*px == 0 || *px == 255) {
                            excluded += 2;
                            continue;
                        }
                        for (int n : {int(px[3]), int(px[stride])}) {
                            if (n == 0 || n == 255)
                                ++excluded;
                            else
                                dev[k] += std::abs(*px - n);
                        }
                    }
            int total = 0;
            for (int k = 0; k < 3; ++k)
                total += dev[k] * 288 / (288 - excluded);
            const int level = total == 0 ? 0 : (sum[0] / 16 + sum[1] / 16 + sum[2] / 16) / 3;
            if (level >= 4 && level <= 251)
                kept.push_back({float(compensated(total, level)), level, offset});
        }
    const int n = int(kept.size());
    if (n == 0)
        return -2;
    std::vector<int> ranking, firstOfLevel(256, -1);
    for (int i = 0; i < n; ++i)
        if (firstOfLevel[size_t(kept[size_t(i)].level)] < 0)
            firstOfLevel[size_t(kept[size_t(i)].level)] = i;
    for (int level = 255; level >= 0; --level)
        if (firstOfLevel[size_t(level)] >= 0)
            ranking.push_back(firstOfLevel[size_t(level)]);
    for (int i = 0; i < n; ++i)
        if (firstOfLevel[size_t(kept[size_t(i)].level)] != i)
            ranking.push_back(i);
    const int midpoint = kept[size_t(ranking[size_t(n / 2)])].level;
    std::vector<Block> darker, brighter;
    for (const Block &b : kept)
        (b.level < midpoint ? darker : brighter).push_back(b);
    if (darker.empty() || brighter.empty())
        return -3;
    const size_t k = std::min<size_t>({darker.size(), brighter.size(), 32});
    std::vector<double> adjusted;
    for (std::vector<Block> *group : {&darker, &brighter}) {
        std::vector<int> order(group->size());
        for (size_t i = 0; i < order.size(); ++i)
            order[i] = int(i);
        std::sort(order.begin(), order.end(), [&](int a, int b) {
            const float da = (*group)[size_t(a)].deviation, db = (*group)[size_t(b)].deviation;
            return da < db || (da == db && a > b);
        });
        for (size_t i = 0; i < k; ++i) {
            const Block &b = (*group)[size_t(order[i])];
            adjusted.push_back(compensated(ref_recalc(copy + b.offset, stride), b.level) / 5766);
        }
    }
    std::sort(adjusted.begin(), adjusted.end());
    const size_t m = std::min<size_t>(4, adjusted.size());
    double mean = 0;
    for (size_t i = 0; i < m; ++i)
        mean += adjusted[i] / double(m);
    return std::max(35 * mean - 15, 15.0);
}

// The photo of a real bracket that collected the least light, decoded; empty when the test
// photos are not there.
std::vector<uint8_t> real_photo(const std::string &name, int *w, int *h)
{
    const auto bmp = platform::BitmapImageRep::imageRepWithContentsOfFile(
        std::string(HDR_TESTDATA_DIR) + "/" + name);
    if (!bmp || bmp->samplesPerPixel() != 3)
        return {};
    *w = bmp->pixelsWide();
    *h = bmp->pixelsHigh();
    std::vector<uint8_t> v(size_t(*w) * *h * 3);
    for (int y = 0; y < *h; ++y)
        std::memcpy(&v[size_t(y) * *w * 3], bmp->bitmapData() + size_t(y) * bmp->bytesPerRow(),
                    size_t(*w) * 3);
    return v;
}

int fail_start(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *)
{
    return 11; // EAGAIN
}

} // namespace

TEST(CalcParams, DefaultsAndLimits)
{
    // Single-precision products of the defaults; the ramp is 1 at its start and 0 at its end.
    const NrDerived d = derived();
    const float cases[][2] = {{d.NRsimilarityRolloff, 120},
                              {d.levelNoiseLevel[0], 120},
                              {d.levelNoiseLevel[1], 60},
                              {d.levelNoiseLevel[2], 30},
                              {d.levelNoiseLevel[3], 15},
                              {d.highnoiseLevelReduce, 0.8f},
                              {d.lumaMix, 0.7f},
                              {d.chromaMix, 1.3f},
                              {d.levelSharpAmount[0], 0.025f},
                              {d.levelSharpAmount[1], 0.05f},
                              {d.levelSharpAmount[3], 0.05f},
                              {d.chromaSharpeningAmount, 0.025f},
                              {d.highlightNRlowThreshold, 100},
                              {d.highlightNRhighThreshold, 255},
                              {d.levelNR[2], 1},
                              {d.highlightNRslope * 100 + d.highlightNRintercept, 1},
                              {d.highlightNRslope * 255 + d.highlightNRintercept, 0}};
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_NEAR(cases[i][0], cases[i][1], 1e-5) << i;
    // High-noise reduction clamped to 0 .. 0.99, the rolloff floored at 1.5e-5.
    const float limits[][4] = {{1, 1, 0, 120},      {1, 2, 0, 120},        {1, 0, 0.99f, 120},
                               {1, -1, 0.99f, 120}, {0, 0, 0.8f, 1.5e-5f}, {0, 10, 0.8f, 15}};
    for (auto [slot, value, highnoise, rolloff] : limits) {
        const NrDerived e = derived(int(slot), value);
        EXPECT_FLOAT_EQ(e.highnoiseLevelReduce, highnoise) << slot << " " << value;
        EXPECT_FLOAT_EQ(e.NRsimilarityRolloff, rolloff) << slot << " " << value;
        EXPECT_FLOAT_EQ(e.levelNoiseLevel[3], rolloff * 0.125f);
    }
}

TEST(SimilarityReconstruct, MatchesPlainTranscriptionAndMixesHalfAndHalfAtTheFloor)
{
    for (auto [w, h] : {std::pair{9, 7}, {10, 8}, {33, 20}, {3, 3}}) {
        // Fine values spread over the whole similarity range (distances 0 to beyond 60).
        const auto fine = noisy_level(w, h, 100, 15, 7);
        const auto coarse = noisy_level((w + 1) / 2, (h + 1) / 2, 100, 20, 8);
        std::vector<float> out(size_t(w) * h * 3, -7);
        EXPECT_EQ(similarityReconstruct(w, h, nullptr, coarse.data(), fine.data(), out.data()), h);
        const auto d = testsupport::compare_images(out, ref_reconstruct(w, h, coarse, fine), 1e-4);
        EXPECT_EQ(d.count, 0u) << w << "x" << h << " worst " << d.worstIndex; // float rounding
    }
    // Row 2, column 1 differs by far more than 60 from both neighbours: both weights floor at
    // 0.01 and the coarse pixels (0, 1) and (1, 1) mix half and half.
    std::vector<float> fine(5 * 5 * 3, 0.0f), coarse(3 * 3 * 3, 0.0f), out(fine.size(), 3.0f);
    std::fill_n(fine.begin() + 11 * 3, 3, 200.0f);
    std::fill_n(coarse.begin() + 9, 3, 10.0f);
    std::fill_n(coarse.begin() + 12, 3, 50.0f);
    EXPECT_EQ(similarityReconstruct(5, 2, nullptr, coarse.data(), fine.data(), out.data()), 0);
    EXPECT_EQ(out[0], 3.0f); // a level under 3 rows is left alone
    similarityReconstruct(5, 5, nullptr, coarse.data(), fine.data(), out.data());
    EXPECT_FLOAT_EQ(out[11 * 3], 30.0f);
}

TEST(NoiseReduceSet, MatchesPlainTranscriptionAtFineAndCoarseLevels)
{
    const NrDerived p = derived();
    const int w = 23, h = 19;
    int rect[4] = {2, w - 2, 2, h - 2};
    for (int level : {0, 1, 3})
        for (int threads : {1, 8}) {
            auto image = noisy_level(w, h, 90, 6, 11 + uint64_t(level)), refImage = image;
            std::vector<float> filtered(image.size()), detail(image.size(), 0.0f),
                scratch(image.size()), refFiltered, refDetail(image.size(), 0.0f);
            noiseReduce_set(level, w, h, rect, 3, threads, p, detail.data(), filtered.data(),
                            scratch.data(), image.data());
            ref_level_step(level, w, rect, p, refImage, refFiltered, refDetail);
            // The same operations in the same order, up to the compiler's float rounding.
            EXPECT_EQ(testsupport::compare_images(image, refImage, 1e-4).count, 0u) << level;
            EXPECT_EQ(testsupport::compare_images(filtered, refFiltered, 1e-4).count, 0u);
            EXPECT_EQ(testsupport::compare_images(detail, refDetail, 1e-6).count, 0u);
        }
}

TEST(NoiseReduceSet, IsolatedPixelKeepsItsColourAndNoiseFalls)
{
    const int w = 21, h = 21;
    auto image = noisy_level(w, h, 60, 3, 5);
    const size_t c = (10 * w + 10) * 3;
    const float spot[3] = {250, 30, 20};
    std::copy(spot, spot + 3, image.begin() + long(c));
    const auto before = image;
    std::vector<float> filtered(image.size()), detail(image.size()), scratch(image.size());
    int rect[4] = {2, w - 2, 2, h - 2};
    noiseReduce_set(0, w, h, rect, 3, 1, derived(), detail.data(), filtered.data(), scratch.data(),
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

TEST(FinalMix, HandComputedPixelsInTheShadowsAlongTheRampAndAboveIt)
{
    // Default mix (luma 0.7, chroma 1.3, ramp 100 to 255, slope -1/155). The first pixel by hand:
    // Ys = 0.299 x 60 + 0.587 x 40 + 0.114 x 20 = 43.7, Yd = 0.299 x 50 + 0.587 x 45 +
    // 0.114 x 30 = 44.785, below the ramp: f = 1; Y = 0.7 x 44.785 + 0.3 x 43.7 = 44.4595;
    // R = 1.3 (50 - 44.785) - 0.3 (60 - 43.7) + Y = 46.349, B = 1.3 (30 - 44.785) -
    // 0.3 (20 - 43.7) + Y = 32.349, G = (Y - 0.299 R - 0.114 B) / 0.587 = 45.849.
    // Along the ramp f = 1 - (Yd - 100) / 155: 0.92355 at Yd 111.85, 0.59916 at 162.13; above a
    // ramp ending at 150, f = 0 and Y = Ys. 16-bit samples meet the ramp at Yd / 256.
    NrDerived ramp150 = derived(kNrRampSpan, 50);
    const struct {
        float src[3], dst[3];
        const NrDerived p;
        float rampScale, out[3];
    } cases[] = {
        {{60, 40, 20}, {50, 45, 30}, derived(), 1, {46.3490f, 45.8490f, 32.3490f}},
        {{100, 85, 70}, {120, 110, 100}, derived(), 1, {110.2666f, 101.7666f, 93.2666f}},
        {{200, 150, 120}, {190, 160, 100}, derived(), 1, {186.4716f, 162.4716f, 93.4716f}},
        {{230, 220, 210}, {200, 180, 160}, ramp150, 1, {240.5950f, 217.5950f, 194.5950f}},
        {{15360, 10240, 5120},
         {12800, 11520, 7680},
         derived(),
         1.0f / 256,
         {11865.344f, 11737.344f, 8281.344f}},
    };
    for (const auto &c : cases) {
        float out[3];
        denoise::detail::mix_pixel(c.src, c.dst, c.p, c.rampScale, out);
        for (int k = 0; k < 3; ++k) // single precision against the hand's decimals
            EXPECT_NEAR(out[k], c.out[k], 2e-3 * std::max(1.0f, c.out[k] / 256))
                << c.src[0] << " " << k;
    }
}

TEST(DenoiseTile, FlatTileStaysExactlyFlat)
{
    const NrDerived p = derived();
    for (auto [w, h] : {std::pair{40, 36}, {17, 17}, {61, 9}})
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
    std::vector<float> small(8 * 8 * 3 * 2);
    int rect[4] = {2, 6, 2, 6};
    EXPECT_EQ(denoise_tile(8, 8, rect, 3, nullptr, 1, p, small.data(), small.data(), small.data(),
                           small.data()),
              -3);
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
    std::vector<float> flat(25 * 3, 80), edge(flat);
    for (int y = 0; y < 5; ++y)
        std::fill_n(edge.begin() + (y * 5 + 3) * 3, 6, 200.0f);
    EXPECT_EQ(edgeSmoothInverseSimSum(flat.data(), 5, 2, 2, 0), 0.0f);
    EXPECT_GT(edgeSmoothInverseSimSum(edge.data(), 5, 2, 2, 0), 0.0f);
}

TEST(AutoProfile, EstimateRisesWithSigmaAndScalesBySlotZero)
{
    const int w = 512, h = 256;
    int last = 0;
    for (double sigma : {2.0, 4.0, 8.0}) {
        const int level = estimate(ramp_photo(w, h, sigma, 3), w, h);
        EXPECT_GT(level, last) << sigma;
        last = level;
    }
    // Its four slots; 0.5 and 1.5 in slot 0 halve and double the level.
    const auto photo = ramp_photo(256, 128, 6, 9);
    float p[kNrParamCount], half[kNrParamCount], dbl[kNrParamCount];
    const int level = estimate(photo, 256, 128, 80, p);
    ASSERT_GT(level, 15);
    EXPECT_EQ(level, int(p[0]));
    EXPECT_NEAR(p[7], std::clamp(-p[0] / 350 - 1.0f / 14, -0.5f, 0.0f), 1e-6);
    EXPECT_EQ(p[17], 100.0f);
    EXPECT_NEAR(p[18], std::min(155.0f, 2 * p[0] + 45), 1e-4);
    estimate(photo, 256, 128, 0.5f, half);
    estimate(photo, 256, 128, 1.5f, dbl);
    EXPECT_FLOAT_EQ(half[0], p[0] / 2);
    EXPECT_FLOAT_EQ(dbl[0], p[0] * 2);
    // A clean ramp is quieter than the floor: 15, and 7.5 with slot 0 at 0.5.
    const auto quiet = ramp_photo(256, 128, 0.6, 9);
    EXPECT_EQ(estimate(quiet, 256, 128, 80, p), 15);
    estimate(quiet, 256, 128, 0.5f, half);
    EXPECT_FLOAT_EQ(half[0], 7.5f);
}

TEST(AutoProfile, BrightnessMakesTheSameDifferencesCountForMoreNoise)
{
    // Blocks of known brightness side by side, each a checkerboard of v and v + 2: every sample
    // pixel (even coordinates) is v, so a block's level is v; every pair of the thorough measure
    // differs by 2. Levels 50, 200, 125: the midpoint is 125 (second of the ranking 200, 125,
    // 50), so 50 is the darker side and 200, 125 the brighter one, one block each. A brighter
    // block counts for more noise (the same differences divided by 1 - 0.8 level / 255), so the
    // quieter bright block is 125, and the estimate
    //   35 x (2 / (1 - 0.8 x 50 / 255) + 2 / (1 - 0.8 x 125 / 255)) / 2 - 15
    //   = 35 x (2.372093 + 3.290323) / 2 - 15 = 84.09227.
    // Levels 251 and 4 are kept (without them the midpoint would leave no darker block), 3 and
    // 252 are not; with 4, 125, 50 the midpoint is 50 and the blocks 4 and 50 give
    //   35 x (2 / (1 - 0.8 x 4 / 255) + 2.372093) / 2 - 15 = 61.95643.
    const struct {
        std::vector<int> levels;
        double estimate;
    } cases[] = {{{50, 200, 125}, 84.09227},
                 {{50, 251, 125}, 84.09227},
                 {{3, 50, 252, 200, 125}, 84.09227},
                 {{4, 125, 50}, 61.95643}};
    for (const auto &c : cases) {
        const int w = 32 * int(c.levels.size()), h = 32;
        std::vector<uint8_t> photo(size_t(w) * h * 3);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                std::fill_n(&photo[(size_t(y) * w + x) * 3], 3,
                            uint8_t(c.levels[size_t(x / 32)] + (x + y) % 2 * 2));
        float p[kNrParamCount];
        EXPECT_EQ(estimate(photo, w, h, 80, p), int(c.estimate)) << c.levels[1];
        EXPECT_NEAR(p[0], c.estimate, 1e-3) << c.levels[1];
        EXPECT_NEAR(ref_estimate(photo.data(), w, h, w * 3), c.estimate, 1e-4) << c.levels[1];
    }
}

TEST(AutoProfile, OfBlocksThatScanAlikeTheLaterOnesAreKept)
{
    // A row of 33 checkerboard blocks at 125 over a row of 33 at 50 (v and v + 2 as above): the
    // midpoint is 125 (position 33 of the ranking falls on the 32nd of the bright blocks that
    // are not the first of their level), each side has 33 blocks and keeps 32. The dark blocks
    // scan alike; equal deviations rank the later block first, so the first dark block is left
    // out, although its quarter lines, which the scan never reads, repeat their neighbours and
    // make it the quietest: the four quietest measure 2 / (1 - 0.8 x 50 / 255) = 2.372093 each,
    // 35 x 2.372093 - 15 = 68.02326.
    const int w = 33 * 32, h = 64;
    std::vector<uint8_t> photo(size_t(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool first = x < 32 && y >= 32; // the first dark block: its lines 7 as 8
            const int qx = first && x == 7 ? 8 : x, qy = first && y == 39 ? 40 : y;
            std::fill_n(&photo[(size_t(y) * w + x) * 3], 3,
                        uint8_t((y < 32 ? 125 : 50) + (qx + qy) % 2 * 2));
        }
    float p[kNrParamCount];
    EXPECT_EQ(estimate(photo, w, h, 80, p), 68);
    EXPECT_NEAR(p[0], 68.02326, 1e-3);
    EXPECT_NEAR(ref_estimate(photo.data(), w, h, w * 3), 68.02326, 1e-4);
}

TEST(AutoProfile, DarkestRealPhotoMatchesThePlainReading)
{
    // The darkest photo of each real bracket against the plain reading; the tripod's window
    // scene gives 22.8896.
    const struct {
        const char *name;
        double level; // 0: not pinned
    } photos[] = {{"window_tripod_e995/HDRI_Sample_Scene_Window_-_02.jpg", 22.8896},
                  {"stlouis_arch_tripod/StLouisArchMultExpEV-4.72.jpeg", 0},
                  {"iphone6_handheld/1.JPG", 0}};
    for (const auto &photo : photos) {
        int w = 0, h = 0;
        const auto v = real_photo(photo.name, &w, &h);
        if (v.empty())
            GTEST_SKIP() << "no real photo " << photo.name;
        float p[kNrParamCount];
        const int level = estimate(v, w, h, 80, p);
        const double ref = ref_estimate(v.data(), w, h, w * 3);
        // Sums in another order and the compensation in double: a few units in the last place.
        EXPECT_NEAR(p[0], ref, 1e-4 * ref) << photo.name;
        EXPECT_EQ(level, int(ref)) << photo.name;
        if (photo.level > 0) {
            EXPECT_NEAR(p[0], photo.level, 1e-4) << photo.name;
        }
    }
}

TEST(AutoProfile, ReturnsItsFailureCodesAndLeavesTheRecordAlone)
{
    float p[kNrParamCount], def[kNrParamCount];
    nr_def(p);
    nr_def(def);
    const auto small = ramp_photo(31, 64, 4, 1);
    const std::vector<uint8_t> noiseless(128 * 64 * 3, 120);
    // Every sample pixel (even coordinates) 99, every neighbour 101: one level, never darker.
    std::vector<uint8_t> checker(128 * 64 * 3);
    for (size_t i = 0; i < checker.size(); ++i)
        checker[i] = (i / 3 % 128 + i / 3 / 128) % 2 ? 101 : 99;
    EXPECT_EQ(auto_profile(31, 64, 93, p, small.data()), -2);
    EXPECT_EQ(auto_profile(128, 64, 384, p, noiseless.data()), -2);
    EXPECT_EQ(auto_profile(128, 64, 384, p, checker.data()), -3);
    EXPECT_EQ(auto_profile(128, 64, 100, p, checker.data()), -3);
    EXPECT_TRUE(std::equal(p, p + kNrParamCount, def));
}

TEST(RecalcDeviations, MatchesTranscriptionAndABlockWithoutPairsIsNeverAmongTheQuietest)
{
    auto photo = ramp_photo(64, 64, 5, 21);
    // Near-clipped values on both sides of a pair in the second block never count.
    for (int i = 0; i < 32; ++i)
        for (int k = 0; k < 3; ++k)
            photo[(size_t(i) * 64 + 32 + 7 + i % 2) * 3 + k] = uint8_t(i % 4 < 2 ? 254 : 1);
    for (int offset : {0, 32 * 3, 32 * 64 * 3 + 32 * 3})
        EXPECT_NEAR(recalcDeviations(64, 64, 64 * 3, 32, offset, photo.data()),
                    ref_recalc(photo.data() + offset, 64 * 3), 1e-2)
            << offset; // double sums, one float rounding
    // Noisy blocks of 30 and 125 and a bright one whose quarter lines are all 255 while its
    // sample pixel (0, 0) is quiet: the scan keeps it as the quietest bright block, the thorough
    // measure has no pair to count.
    const int w = 96, h = 32;
    auto v = ramp_photo(w, h, 4, 4);
    for (int y = 0; y < h; ++y)
        for (int x = 64; x < w; ++x) {
            const int lx = x % 32;
            const bool line = lx % 8 == 0 || lx % 8 == 7 || y % 8 == 0 || y % 8 == 7;
            std::fill_n(v.begin() + (y * w + x) * 3, 3,
                        uint8_t(line && !(lx < 2 && y < 2) ? 255 : 100 + (lx + y) % 2));
        }
    EXPECT_EQ(recalcDeviations(w, h, w * 3, 32, 64 * 3, v.data()),
              std::numeric_limits<float>::infinity());
    float p[kNrParamCount];
    EXPECT_GE(estimate(v, w, h, 80, p), 15);
    EXPECT_TRUE(std::isfinite(p[0]));
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

TEST(TileGrid, MainRangesPartitionEverySideAndWorkAreaFitsEveryTile)
{
    const int sides[][2] = {{1, 2048},    {2032, 2048}, {2033, 2048}, {4079, 2048}, {4080, 2048},
                            {6130, 2048}, {6144, 2048}, {6168, 2048}, {300, 64},    {129, 64}};
    for (auto [side, maxTile] : sides) {
        const denoise::detail::TileGrid g = denoise::detail::tile_grid(side, maxTile);
        ASSERT_GE(g.count, 1) << side;
        int next = 0, largest = 0;
        for (int k = 0; k < g.count; ++k) {
            const auto t = g.tile(k);
            EXPECT_EQ(t.mainBegin, next) << side << " tile " << k;
            next = t.mainEnd;
            // The tile reads 32 pixels beyond its main range on every inner side.
            EXPECT_EQ(t.begin, k == 0 ? 0 : t.mainBegin - 32) << side;
            EXPECT_EQ(t.end, k == g.count - 1 ? side : t.mainEnd + 32) << side;
            EXPECT_EQ(t.padBefore * 10 + t.padAfter, (k == 0) * 80 + (k == g.count - 1) * 8);
            largest = std::max(largest, t.extent());
        }
        EXPECT_EQ(next, side);
        EXPECT_EQ(g.maxExtent, largest) << side;
    }
    // One tile with 8 pixels of padding at each end, also wider than maxTile.
    EXPECT_EQ(denoise::detail::tile_grid(100, 2048).tile(0).extent(), 116);
    EXPECT_EQ(denoise::detail::tile_grid(3000, 2048).count, 1);
    // 24 (T + P) bytes over the largest padded tile: 116 x 116 and its three coarser levels.
    const long long T = 116 * 116, P = T + 58 * 58 + 29 * 29 + 15 * 15;
    EXPECT_EQ(mem4denoise(100, 100, 2048), 24 * (T + P));
    EXPECT_LT(mem4denoise(8000, 6000, 2048), 1000 * 1000 * 1000);
    EXPECT_EQ(mem4denoise(10, 10, 63), -3);
    EXPECT_EQ(mem4denoise(1 << 30, 1 << 30, 1 << 20), -3);
}

TEST(Denoise2, RefusesBadArgumentsWithoutWriting)
{
    const int w = 64, h = 64;
    std::vector<uint8_t> src(w * h * 3, 100), dst(src.size() + 16), both(src.size() * 2);
    float p[kNrParamCount];
    nr_def(p);
    EXPECT_EQ(denoise2(w, h, 4, w * 4, 8, 2048, 1, p, nullptr, src.data(), dst.data()), -2);
    EXPECT_EQ(denoise2(w, h, 3, w * 3, 8, 2048, 1, nullptr, nullptr, src.data(), dst.data()), -3);
    EXPECT_EQ(denoise2(w, h, 3, w * 3 - 1, 8, 2048, 1, p, nullptr, src.data(), dst.data()), -3);
    // Source and destination overlapping by one sample; 16-bit samples misaligned.
    EXPECT_EQ(
        denoise2(w, h, 3, w * 3, 8, 2048, 1, p, nullptr, both.data(), both.data() + src.size() - 1),
        -3);
    EXPECT_EQ(denoise2(w, h, 3, w * 3, 16, 2048, 1, p, nullptr, both.data() + 1,
                       both.data() + src.size() + 1),
              -3);
    EXPECT_EQ(dst, std::vector<uint8_t>(dst.size(), 0));
}

TEST(Denoise2, FlatPhotosComeBackSampleForSample)
{
    // Several tiles (maxTile 64), one tile, and inner tiles of 2048 + 64 columns, wider than the
    // last one (the work area sized exactly: AddressSanitizer sees any write past it); greys
    // from black to white and a flat colour: no seam, no shift.
    const uint8_t colours[][3] = {{0, 0, 0},       {1, 1, 1},       {37, 37, 37}, {128, 128, 128},
                                  {254, 254, 254}, {255, 255, 255}, {200, 60, 10}};
    for (auto [w, h, maxTile] : {std::array{150, 97, 64},
                                 {40, 33, 2048},
                                 {1, 1, 2048},
                                 {4080, 36, 2048},
                                 {6144, 36, 2048},
                                 {6130, 36, 2048}})
        for (const auto &c : colours) {
            std::vector<uint8_t> photo(size_t(w) * h * 3);
            for (size_t i = 0; i < photo.size(); ++i)
                photo[i] = c[i % 3];
            EXPECT_EQ(reduce_noise(photo, w, h, 2, maxTile, true, 0x55), photo)
                << w << "x" << h << " " << int(c[0]) << "," << int(c[1]) << "," << int(c[2]);
        }
    for (uint16_t v : {0, 257, 25700, 40001, 65535}) {
        const std::vector<uint16_t> photo(90 * 70 * 3, v);
        EXPECT_EQ(reduce_noise(photo, 90, 70, 1, 64), photo) << v;
    }
}

TEST(Denoise2, RaisesPsnrAndKeepsTheMeanOnNoisyBrackets)
{
    for (float exposure : {0.125f, 0.5f, 2.0f})
        for (double sigma : {4.0, 8.0}) {
            const auto clean =
                testsupport::render_photo(testsupport::make_radiance_map(240, 160), exposure, 8, 3);
            const auto noisy = noisy_photo(240, 160, exposure, sigma, 17);
            const auto out = reduce_noise(noisy, 240, 160, 1, 64);
            const size_t n = clean.size();
            EXPECT_GT(testsupport::psnr8(clean.data(), out.data(), n),
                      testsupport::psnr8(clean.data(), noisy.data(), n) + 0.5)
                << exposure << " sigma " << sigma;
            // Rounding and edge padding must not darken (or brighten) the photo; clipping of
            // the noise at 0 and 255 is the noisy photo's own offset.
            EXPECT_NEAR(mean(out), mean(noisy), 0.5) << exposure << " sigma " << sigma;
            if (exposure == 0.125f) {
                EXPECT_NEAR(mean(out), mean(clean), 0.5) << sigma;
            }
        }
}

TEST(Denoise2, ResultDependsOnNothingButThePhoto)
{
    // Several tiles (maxTile 64) and rows enough for eight bands at the finest levels; threads
    // that cannot start, a work area full of anything, another photo before.
    const int w = 200, h = 150;
    const auto noisy = noisy_photo(w, h, 0.25f, 6, 23);
    float def[kNrParamCount], param[kNrParamCount];
    const auto ref = reduce_noise(noisy, w, h, 1, 64, false, 0, def);
    for (auto [threads, ownWork, fill] :
         {std::tuple{8, false, 0}, {3, false, 0}, {1, true, 0}, {8, true, 0x7f}, {1, true, 0xff}}) {
        EXPECT_EQ(reduce_noise(noisy, w, h, threads, 64, ownWork, uint8_t(fill), param), ref)
            << threads << " threads, work filled with " << fill;
        EXPECT_TRUE(std::equal(param, param + kNrParamCount, def));
    }
    imagecore::set_thread_start_for_testing(fail_start);
    EXPECT_EQ(reduce_noise(noisy, w, h, 8, 64), ref);
    imagecore::set_thread_start_for_testing(nullptr);
    // One tile whose two finest levels are banded in every pass (from 16384 pixels).
    const int W = 320, H = 240;
    const auto large = noisy_photo(W, H, 0.25f, 6, 29);
    const auto one = reduce_noise(large, W, H, 1, 1024);
    for (int threads : {3, 8})
        EXPECT_EQ(reduce_noise(large, W, H, threads, 1024), one) << threads;
    imagecore::set_thread_start_for_testing(fail_start);
    EXPECT_EQ(reduce_noise(large, W, H, 8, 1024), one);
    imagecore::set_thread_start_for_testing(nullptr);
    std::vector<float> work(size_t(mem4denoise(w, h, 64)) / sizeof(float));
    const auto other = noisy_photo(w, h, 4.0f, 12, 5);
    std::vector<uint8_t> out(noisy.size());
    for (const auto *photo : {&other, &noisy}) {
        nr_def(param);
        ASSERT_EQ(denoise2(w, h, 3, w * 3, 8, 64, 8, param, work.data(), photo->data(), out.data()),
                  1);
    }
    EXPECT_EQ(out, ref);
}

TEST(Denoise2, TwoAtOnceGiveWhatEachGivesAlone)
{
    // Each call derives its parameters for itself: two photos with different noise estimates
    // denoised on two threads at once come out as they do one after the other.
    const int w = 160, h = 120;
    const auto quiet = noisy_photo(w, h, 0.25f, 2, 41), loud = noisy_photo(w, h, 2.0f, 12, 42);
    float pq[kNrParamCount], pl[kNrParamCount];
    const auto quietRef = reduce_noise(quiet, w, h, 1, 64, false, 0, pq);
    const auto loudRef = reduce_noise(loud, w, h, 1, 64, false, 0, pl);
    ASSERT_NE(pq[0], pl[0]); // different estimates, so different derived parameters
    for (int rep = 0; rep < 4; ++rep) {
        std::vector<uint8_t> a, b;
        std::thread other([&] { a = reduce_noise(quiet, w, h, 2, 64); });
        b = reduce_noise(loud, w, h, 2, 64);
        other.join();
        EXPECT_EQ(a, quietRef) << rep;
        EXPECT_EQ(b, loudRef) << rep;
    }
}

TEST(Denoise2, SixteenBitPhotoLargerThanItsWorkAreaKeepsItsEstimateCopyApart)
{
    // Small tiles make a work area smaller than the 8-bit copy the estimate reads: the copy
    // takes an allocation of its own (AddressSanitizer sees a copy into the area).
    const int w = 600, h = 520, maxTile = 64;
    ASSERT_LT(size_t(mem4denoise(w, h, maxTile)), size_t(w) * 3 * h);
    const auto noisy = noisy_photo(w, h, 0.25f, 6, 43);
    std::vector<uint16_t> src(noisy.size());
    for (size_t i = 0; i < src.size(); ++i)
        src[i] = uint16_t(noisy[i] * 257);
    float def[kNrParamCount], param[kNrParamCount];
    const auto own = reduce_noise(src, w, h, 4, maxTile, false, 0, def);
    EXPECT_EQ(reduce_noise(src, w, h, 4, maxTile, true, 0x33, param), own);
    EXPECT_TRUE(std::equal(param, param + kNrParamCount, def));
    EXPECT_GT(def[0], 15.0f); // the estimate measured the photo's noise
}

TEST(Denoise2, FailedEstimateFallsBackToTheDefaults)
{
    // Under 32 pixels across there is no block to measure; 0.5 .. 1.5 in slot 0 scales 80.
    const auto noisy = noisy_photo(30, 40, 0.5f, 5, 3);
    for (auto [entry, slot0] : {std::pair{80.0f, 80.0f}, {1.25f, 100}, {0.5f, 40}, {7, 80}}) {
        float param[kNrParamCount], def[kNrParamCount];
        nr_def(param);
        nr_def(def);
        param[0] = entry, param[5] = 3, def[0] = slot0; // the defaults replace the whole record
        std::vector<uint8_t> out(noisy.size());
        ASSERT_EQ(denoise2(30, 40, 3, 30 * 3, 8, 2048, 1, param, nullptr, noisy.data(), out.data()),
                  1);
        EXPECT_TRUE(std::equal(param, param + kNrParamCount, def)) << entry;
    }
}

TEST(Denoise2, SixteenBitFollowsEightBitAndRowGapsStayUntouched)
{
    const int w = 120, h = 90, stride = w * 3 + 5;
    const auto noisy = noisy_photo(w, h, 0.25f, 6, 31);
    std::vector<uint16_t> src(size_t(h) * stride, 7), dst(src.size(), 9);
    for (int y = 0; y < h; ++y)
        for (int i = 0; i < w * 3; ++i)
            src[size_t(y) * stride + i] = uint16_t(noisy[size_t(y) * w * 3 + i] * 256);
    float param[kNrParamCount];
    nr_def(param);
    ASSERT_EQ(denoise2(w, h, 3, stride, 16, 64, 4, param, nullptr, src.data(), dst.data()), 1);
    const auto r8 = reduce_noise(noisy, w, h, 1, 64);
    double worst = 0;
    for (int y = 0; y < h; ++y) {
        for (int i = 0; i < w * 3; ++i)
            worst = std::max(worst, std::abs(double(dst[size_t(y) * stride + i]) -
                                             256.0 * r8[size_t(y) * w * 3 + i]));
        for (int i = w * 3; i < stride; ++i)
            EXPECT_EQ(dst[size_t(y) * stride + i], 9);
    }
    // The same filter on samples / 256; the 8-bit result rounds twice (tile, mix), the 16-bit
    // one keeps 8 more bits.
    EXPECT_LE(worst, 2 * 256.0);
}

TEST(Denoise2, DarkestRealPhotoGetsSmootherAndKeepsItsBrightness)
{
    const std::string path =
        std::string(HDR_TESTDATA_DIR) + "/stlouis_arch_tripod/StLouisArchMultExpEV-4.72.jpeg";
    const auto bmp = platform::BitmapImageRep::imageRepWithContentsOfFile(path);
    if (!bmp)
        GTEST_SKIP() << "no real photo at " << path;
    ASSERT_EQ(bmp->samplesPerPixel(), 3);
    // A 400 x 300 crop from the middle keeps the test quick.
    const int w = 400, h = 300;
    const int x0 = (bmp->pixelsWide() - w) / 2, y0 = (bmp->pixelsHigh() - h) / 2;
    std::vector<uint8_t> crop(size_t(w) * h * 3);
    for (int y = 0; y < h; ++y)
        std::memcpy(&crop[size_t(y) * w * 3],
                    bmp->bitmapData() + size_t(y0 + y) * bmp->bytesPerRow() + size_t(x0) * 3,
                    size_t(w) * 3);
    const auto out = reduce_noise(crop, w, h, 4);
    EXPECT_NEAR(mean(out), mean(crop), 0.1);
    // Pixel-to-pixel differences of green (noise and fine detail) fall, but not to nothing.
    auto roughness = [&](const std::vector<uint8_t> &v) {
        double s = 0;
        for (size_t i = 1; i < v.size() / 3; ++i)
            s += i % w ? std::abs(int(v[i * 3 + 1]) - int(v[i * 3 - 2])) : 0;
        return s;
    };
    EXPECT_LT(roughness(out), 0.95 * roughness(crop));
    EXPECT_GT(roughness(out), 0.2 * roughness(crop));
}
