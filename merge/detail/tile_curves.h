// The row-streaming merge's per-sample tables, pixel weights and exposure multipliers.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <vector>

#include "merge/detail/gamma_curve.h"

namespace merge::detail {

// Samples above this in any channel mark a 16-bit pixel as clipped: it keeps weight 1.
inline constexpr int kTileClip16 = 52000;

inline int tile_luma(int r, int g, int b)
{
    return (54 * r + 183 * g + 19 * b) >> 8;
}

// The 8-bit hat: 1 at luma 0 and 255, 128 at 127 and 128.
inline int tile_hat8(int luma)
{
    return luma < 128 ? luma + 1 : 256 - luma;
}

// Tables with one entry per code (65536 for 16-bit data, 256 otherwise): the linearisation
// (i / L)^g, and for 16 bits the weighting curve (i / L)^g2 x L and the stretch i / 0.9. Linear
// source data (courbe 1 or 2) is taken as is and weighted through a 0.45 curve; other data is
// gamma 2.2 and weighted as it lies.
struct TileCurves {
    bool deep = false;
    std::vector<float> lin;
    std::vector<uint16_t> curve, stretch;
    int maxW = 64879, half = 64879 / 2;

    TileCurves(int bps, int courbe)
    {
        deep = bps == 16;
        const int codes = deep ? 65536 : 256;
        const bool linear = courbe == 1 || courbe == 2;
        lin.resize(size_t(codes));
        gamma_curve(codes, linear ? 1.0f : 2.2f, lin.data());
        // Curve 2 lets the weights of 16-bit data reach the top of the range.
        maxW = courbe == 2 ? 65535 : 64879;
        half = maxW / 2;
        if (!deep)
            return;
        const float g2 = linear ? 0.45f : 1.0f;
        curve.resize(size_t(codes));
        stretch.resize(size_t(codes));
        for (int i = 1; i < codes; ++i) {
            const double v = std::pow(double(float(i) / float(codes)), double(g2)) * codes;
            curve[size_t(i)] = uint16_t(int(v));
            const int s = int(float(i) * 1.1111112f);
            stretch[size_t(i)] = uint16_t(s < 65535 ? s : 65535);
        }
        curve[0] = curve[1];
        stretch[0] = stretch[1];
    }

    int weight16(const uint16_t *p) const
    {
        if (p[0] > kTileClip16 || p[1] > kTileClip16 || p[2] > kTileClip16)
            return 1;
        const int v = curve[size_t(tile_luma(stretch[p[0]], stretch[p[1]], stretch[p[2]]))];
        const int wt = v <= half ? v + 1 : maxW - v;
        return wt < 0 ? 1 : wt;
    }
};

// Multipliers from the metadata's exposures (light collected): each positive one inverted, then
// all scaled so that the median photo's becomes 2. The median is the first photo with num / 2
// others below it or num / 2 above it; with none, all are doubled; one of 0 or less leaves them.
inline void tile_metadata_multipliers(std::vector<float> &m)
{
    const size_t num = m.size();
    for (float &v : m)
        if (v > 0.0f)
            v = 1.0f / v;
    for (size_t k = 0; k < num; ++k) {
        size_t below = 0, above = 0;
        for (float v : m) {
            below += v < m[k];
            above += v > m[k];
        }
        if (below == num / 2 || above == num / 2) {
            if (m[k] > 0.0f) {
                const float factor = 2.0f / m[k];
                for (float &v : m)
                    v *= factor;
            }
            return;
        }
    }
    for (float &v : m)
        v *= 2.0f;
}

// Multipliers from a fixed spacing of ev stops: photos ranked by decreasing mean luma (equal
// means in series order), rank i gets 2^((i - num / 2) x ev): the middle rank 1, brighter ones
// less.
inline void tile_spacing_multipliers(const std::vector<int64_t> &means, float ev,
                                     std::vector<float> &m)
{
    const int num = int(means.size());
    std::vector<int> rank(size_t(num), 0);
    std::iota(rank.begin(), rank.end(), 0);
    std::stable_sort(rank.begin(), rank.end(),
                     [&](int a, int b) { return means[size_t(a)] > means[size_t(b)]; });
    m.assign(size_t(num), 0.0f);
    for (int i = 0; i < num; ++i)
        m[size_t(rank[size_t(i)])] = float(std::pow(2.0, double(float(i - num / 2) * ev)));
}

} // namespace merge::detail
