// The merge kernels' per-photo tables: the exposure check, the saturation level of each photo of
// a bracket, and the hat weight by luma code (54 R + 183 G + 19 B of 8-bit codes, 0..65280).
#pragma once

#include <cmath>

#include "imagecore/float_clamp.h"

namespace merge::detail {

inline constexpr int kLumaCodes = 65536;

// An exposure a merge can divide by: finite, positive, with a finite reciprocal.
inline bool usable_exposure(float t)
{
    return std::isfinite(t) && t > 0.0f && std::isfinite(1.0f / t);
}

// Saturation level of each photo, in ranking order (order: n photo indices by ascending
// exposure): 64000 for the shortest exposure falling with log2(exposure) to 60160 for the
// longest. One photo, or photos of one exposure, all keep 64000; then exposures is not read
// (it may be null for n = 1).
inline void saturation_levels(int n, const float *exposures, const int *order, int *levels)
{
    auto log2_of = [](float t) { return std::log(double(t)) / std::log(2.0); };
    float lmin = 0.0f, lmax = 0.0f;
    if (n > 1) {
        lmin = float(log2_of(exposures[order[0]]));
        lmax = float(log2_of(exposures[order[n - 1]]));
    }
    for (int rank = 0; rank < n; ++rank) {
        levels[rank] = 64000;
        if (lmax > lmin) {
            const double r = (log2_of(exposures[order[rank]]) - double(lmin)) / double(lmax - lmin);
            levels[rank] = imagecore::clamp_to_int(64000.0 - 3840.0 * r);
        }
    }
}

// Hat weight by luma code v, in single precision: with x = v / 65536 - 0.5, (1 - a x^2)^2 where
// a = 4 up to the knee and 1 / (0.5 - level / 65535)^2 above it, so the right flank reaches
// nearly 0 at the level; 0 above the level. 0 at v = 0, 1 at v = 32768.
inline void weight_table(float *table, int level, int knee)
{
    const float sat = float(level) / 65535.0f;
    const float d = 0.5f - sat;
    const float steep = 1.0f / (d * d);
    for (int v = 0; v < kLumaCodes; ++v) {
        const float x = float(v) * (1.0f / 65536.0f) - 0.5f;
        const float a = v <= knee ? 4.0f : steep;
        const float h = 1.0f - a * x * x;
        table[v] = v > level ? 0.0f : h * h;
    }
}

// The plain hat (1 - 4 x^2)^2 over every code, without a saturation cut.
inline void hat_table(float *table)
{
    weight_table(table, kLumaCodes - 1, kLumaCodes - 1);
}

} // namespace merge::detail
