// The classic merge. The ghost test compares, pixel by pixel, each rise of luma from one exposure
// to the next with the rise the exposure step predicts at that brightness (the slope table), the
// mismatch weighted by the plain hat so that the ends of the range say little.
#include "merge/classic_merge.h"

#include <cmath>
#include <iterator>
#include <new>
#include <vector>

#include "merge/detail/classic_steps.h"
#include "merge/detail/knots.h"

namespace {

using merge::detail::kLumaCodes;

constexpr int kSlopeTop = 65280;
constexpr merge::detail::Knot kSlopeKnots[] = {
    {0, 0.4f},      {10240, 0.5f},   {15360, 0.75f}, {20480, 1.0f},    {23040, 1.1f},
    {25600, 1.25f}, {28160, 1.333f}, {46080, 0.1f},  {51200, 0.0f},    {56320, 0.0f},
    {58880, 0.0f},  {61440, 0.0f},   {64000, 0.0f},  {kSlopeTop, 0.0f}};

constexpr int kDarkLuma = 1280; // below it a longer exposure replaces the shorter ones

// Saturation level of each photo in ranking order: 60160 for the longest exposure rising with
// log2(1 / exposure) to 64000 for the shortest, in double throughout so that both ends land on
// their values; all 64000 when the exposures are equal.
void saturation_levels(int n, const float *t, const int *order, int *levels)
{
    const double top = std::log2(1.0 / double(t[order[0]]));
    const double bottom = std::log2(1.0 / double(t[order[n - 1]]));
    for (int j = 0; j < n; ++j) {
        const double l = std::log2(1.0 / double(t[order[j]]));
        levels[j] = top > bottom ? int(60160.0 + 3840.0 * (l - bottom) / (top - bottom)) : 64000;
    }
}

// Per-photo data in ranking order, and what the pixel loop reads.
struct Plan {
    int n = 0, width = 0, height = 0, spp = 0;
    bool ghost = false, blueFirst = false;
    float threshold = 1.0f;
    std::vector<const uint8_t *> ranked; // photo pixels by ascending exposure
    std::vector<const uint8_t *> byIndex;
    std::vector<float> tables;    // weight tables in ranking order
    std::vector<int> levels;      // saturation levels in ranking order
    std::vector<float> rankedInv; // reciprocal exposures in ranking order
    std::vector<float> inv;       // reciprocal exposures in photo order
    std::vector<float> gaps;      // 8192 x EV from the previous ranked photo
    std::vector<float> hat, slope;
    const float *lut = nullptr;
    uint8_t *out = nullptr;
};

template <class T> void merge_rows(const Plan &p, merge::detail::ClassicStats &st)
{
    constexpr unsigned shift = sizeof(T) == 2 ? 8 : 0;
    const int gpos = p.spp >= 3 ? 1 : 0, bpos = p.spp >= 3 ? 2 : 0;
    for (int row = 0; row < p.height; ++row) {
        uint8_t *outRow = p.out + size_t(4) * size_t(p.width) * size_t(row);
        for (int x = 0; x < p.width; ++x) {
            const size_t at = (size_t(row) * size_t(p.width) + size_t(x)) * size_t(p.spp);
            float sw = 0.0f, sr = 0.0f, sg = 0.0f, sb = 0.0f, ghost = 0.0f;
            int clipped = 0, previous = 0;
            for (int j = 0; j < p.n; ++j) {
                const T *px = reinterpret_cast<const T *>(p.ranked[size_t(j)]) + at;
                const unsigned r = px[0], g = px[gpos], b = px[bpos];
                const int v = int(54u * (r >> shift) + 183u * (g >> shift) + 19u * (b >> shift));
                if (v > p.levels[size_t(j)])
                    ++clipped;
                else if (v < kDarkLuma)
                    sw = sr = sg = sb = 0.0f;
                if (p.ghost) {
                    if (j > 0) {
                        const int m = (previous + v) / 2;
                        const float d = p.slope[size_t(m > 0 ? m : 1)] -
                                        float(v - previous) / p.gaps[size_t(j)];
                        ghost += d * d * p.hat[size_t(m)];
                    }
                    previous = v;
                }
                const float w = p.tables[size_t(j) * kLumaCodes + size_t(v)];
                sw += w;
                const float q = w * p.rankedInv[size_t(j)];
                sr += q * p.lut[r];
                sg += q * p.lut[g];
                sb += q * p.lut[b];
            }
            if (clipped == p.n) {
                // Clipped everywhere: the marker, unless the ghost test below finds the photos
                // disagreeing even here.
                sr = sg = sb = merge::detail::kMarker;
                sw = 1.0f;
            }
            float rgb[3] = {0.0f, 0.0f, 0.0f};
            if (sw > 0.0f && p.ghost && ghost / float(p.n) > p.threshold) {
                // The photos disagree here: no photo is trusted over the others.
                for (int k = 0; k < p.n; ++k) {
                    const T *px = reinterpret_cast<const T *>(p.byIndex[size_t(k)]) + at;
                    const float t = p.inv[size_t(k)];
                    rgb[0] += t * p.lut[px[0]];
                    rgb[1] += t * p.lut[px[gpos]];
                    rgb[2] += t * p.lut[px[bpos]];
                }
                for (float &c : rgb)
                    c /= float(p.n);
            } else if (sw > 0.0f) {
                rgb[0] = sr / sw;
                rgb[1] = sg / sw;
                rgb[2] = sb / sw;
            }
            st.add(rgb[0], rgb[1], rgb[2]);
            merge::detail::put_classic(outRow, p.width, x, rgb[0], rgb[1], rgb[2], p.blueFirst);
        }
    }
}

int merge_checked(int planeOrder, int n, int width, int height, int spp, int bps, int curveMode,
                  float *lut, float *exposures, const void *stack, float *stats, uint8_t *out,
                  float target)
{
    if (bps != 8 && bps != 16)
        return 0;
    merge::detail::ClassicStart start;
    if (const int r = merge::detail::classic_start(n, width, height, spp, bps, curveMode, lut,
                                                   exposures, stack, stats, out, target, start);
        r < 0)
        return r;
    const std::vector<float> &t = start.exposures;
    const std::vector<int> &order = start.order;

    // Everything is allocated before the first write.
    Plan p;
    p.n = n;
    p.width = width;
    p.height = height;
    p.spp = spp;
    const int ghostMode = height > 0 && width > 0 ? out[0] : 0;
    p.ghost = ghostMode > 0;
    p.threshold = ghostMode == 2 ? 0.8f : 1.0f;
    p.blueFirst = planeOrder == 0;
    p.lut = lut;
    p.out = out;
    p.levels.resize(size_t(n));
    saturation_levels(n, t.data(), order.data(), p.levels.data());
    p.tables.resize(size_t(n) * kLumaCodes);
    p.hat.resize(kLumaCodes);
    p.slope.resize(kLumaCodes, 0.0f);
    p.gaps.resize(size_t(n), 1.0f);
    const size_t photoBytes = size_t(width) * size_t(height) * size_t(spp) * size_t(bps / 8);
    for (int k = 0; k < n; ++k) {
        p.byIndex.push_back(static_cast<const uint8_t *>(stack) + size_t(k) * photoBytes);
        p.inv.push_back(1.0f / t[size_t(k)]);
    }
    for (int j = 0; j < n; ++j) {
        const size_t k = size_t(order[size_t(j)]);
        p.ranked.push_back(p.byIndex[k]);
        p.rankedInv.push_back(p.inv[k]);
        merge::detail::weight_table(&p.tables[size_t(j) * kLumaCodes], p.levels[size_t(j)], 32769);
        if (j > 0) {
            const float d = float(std::log2(t[k] / t[size_t(order[size_t(j - 1)])]));
            p.gaps[size_t(j)] = 8192.0f * (d < 0.0001f ? 0.3f : d);
        }
    }
    merge::detail::hat_table(p.hat.data());
    rempliPenteExposition(p.slope.data());

    merge::detail::gamma_curve(1 << bps, start.curve.gamma, lut, start.curve.scale);
    for (int k = 0; k < n; ++k)
        exposures[k] = p.inv[size_t(k)];

    merge::detail::ClassicStats st;
    if (bps == 8)
        merge_rows<uint8_t>(p, st);
    else
        merge_rows<uint16_t>(p, st);
    merge::detail::finish_classic(st, stats, out, width, height > 0 ? height : 0, planeOrder != 2);
    return height > 0 ? height : 0;
}

} // namespace

int rempliPenteExposition(float *table)
{
    if (table == nullptr)
        return -3;
    for (int v = 0; v < kSlopeTop; ++v)
        table[v] = merge::detail::knot_value(kSlopeKnots, std::size(kSlopeKnots), v);
    table[kSlopeTop] = 0.0f;
    return int(std::size(kSlopeKnots)) - 1;
}

int calc_hdr(int planeOrder, int n, int width, int height, int spp, int bps, int curveMode,
             float *lut, float *exposures, const void *stack, float *stats, uint8_t *rgbeOut,
             float target)
{
    try {
        return merge_checked(planeOrder, n, width, height, spp, bps, curveMode, lut, exposures,
                             stack, stats, rgbeOut, target);
    } catch (const std::bad_alloc &) {
        return -4;
    }
}
