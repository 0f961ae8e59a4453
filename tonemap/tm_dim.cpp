// Pyramid sizes of the local operator: level counts from the image size (log2 of the sides
// over 32, rounded half up, averaged) and the light-mode smoothing slot; totals of both pyramids.
#include "tonemap/tm_dim.h"

#include <algorithm>
#include <cmath>

#include "tonemap/tm_params.h"

namespace {

constexpr int kMaxExtraLevels = 1000;

// log2(s / 32) brought to an integer: truncated, plus 1 when the fraction exceeds one half.
int half_up_log2_over_32(int s)
{
    float l = std::log(static_cast<float>(s) / 32.0f) / std::log(2.0f);
    int t = static_cast<int>(l); // |l| < 32 for any int side
    if (l - static_cast<float>(t) > 0.5f)
        ++t;
    return t;
}

struct Pyramid {
    int64_t total, w, h;
};

// levels halvings of (w, h), each only while both sides exceed bound; a level that cannot be
// halved is counted again.
Pyramid build_pyramid(int64_t w, int64_t h, int64_t levels, int64_t bound)
{
    Pyramid p{w * h, w, h};
    for (int64_t k = 0; k < levels; ++k) {
        if (p.w > bound && p.h > bound) {
            p.w = p.w / 2 + p.w % 2;
            p.h = p.h / 2 + p.h % 2;
        }
        p.total += p.w * p.h;
    }
    return p;
}

} // namespace

int tm_dimSAV(int w, int h, int extraLevels, int levelsB, tm_dims *out)
{
    if (!out)
        return -3;
    if (w <= 9 || h <= 9)
        return -1;
    // Only a handful of levels are meaningful; the bound keeps absurd requests from overflowing
    // the count or spinning through billions of repeated coarse levels.
    extraLevels = std::clamp(extraLevels, -kMaxExtraLevels, kMaxExtraLevels);
    levelsB = std::clamp(levelsB, -kMaxExtraLevels, kMaxExtraLevels);
    int n = (half_up_log2_over_32(w) + half_up_log2_over_32(h)) >> 1;
    int levelsA = n + extraLevels;
    if (levelsA < 1)
        levelsA = 1;
    Pyramid a = build_pyramid(w, h, levelsA, 9);
    int64_t nb = levelsB != 0 ? levelsB : int64_t(levelsA) + 3;
    Pyramid b = nb > 0 ? build_pyramid(w, h, nb, 5) : Pyramid{int64_t(w) * h, w, h};

    int64_t *v = out->v;
    v[kTdWidth] = w;
    v[kTdHeight] = h;
    v[kTdGridWidth] = w;
    v[kTdGridHeight] = h;
    v[kTdTotalA] = a.total;
    v[kTdTotalB] = b.total;
    v[kTdCoarseWidthA] = a.w;
    v[kTdCoarseHeightA] = a.h;
    v[kTdCoarseWidthB] = b.w;
    v[kTdCoarseHeightB] = b.h;
    v[kTdLevelsA] = levelsA;
    v[kTdLevelsB] = nb;
    return levelsA;
}

int tm_dim(int w, int h, const float *p, tm_dims *out)
{
    if (!p)
        return -3;
    int extraLevels = 0, levelsB = 0;
    if (!deredid_slider_mode(p)) {
        extraLevels = 2 - deredid_light_level(p);
        levelsB = 4;
    }
    return tm_dimSAV(w, h, extraLevels, levelsB, out);
}
