// The five-level a trous detail decomposition with soft thresholding that both HDR denoisers run
// over a float plane: S_L is S_(L-1) (S_-1 the plane itself) smoothed by the separable
// [1 2 1] / 16 filter with holes at spacing 2^L; the details D_L = S_(L-1) - S_L are
// soft-thresholded and added back with S_4.
#pragma once

#include <cmath>
#include <cstddef>

namespace merge::detail {

inline constexpr int kAtrousLevels = 5;

// Noise level of detail level L (0..4) relative to the finest: 0.8002 exp(-2.6 sqrt(L + 1)) /
// exp(-2.6), rounded to single precision.
float noise_coefficient(int level);

// Columns are smoothed kColumnBlock at a time through the line buffer, which therefore holds
// line_floats(width, height) = kColumnBlock x max(width, height) floats.
inline constexpr int kColumnBlock = 16;
size_t line_floats(int width, int height);

// out = the plane in (width x height, rows top to bottom) smoothed along its rows with
// smooth_line's rule at spacing, times 0.25, then along the columns of that result in place,
// times 0.25. Needs 2 x spacing <= width and height.
void smooth_plane(const float *in, float *out, float *line, int width, int height, int spacing);

// The natural log, 0 for a value that is not positive (black pixels, no light).
inline float log_or_zero(float v)
{
    return v > 0.0f ? std::log(v) : 0.0f;
}

// Soft thresholding: D + tau below -tau, D - tau above tau, else 0. A negative threshold (the
// luminance denoiser's highlights) moves every non-zero detail away from 0 by |tau| on its own
// side, so small details grow and flat areas stay flat. A threshold that is not finite counts as
// 0: the detail passes unchanged.
inline float soft_threshold(float d, float tau)
{
    if (!std::isfinite(tau))
        tau = 0.0f;
    // Both candidates first, then a choice: the loops over planes stay free of branches.
    const float below = d + tau < 0.0f ? d + tau : 0.0f;
    const float above = d - tau > 0.0f ? d - tau : 0.0f;
    return d < 0.0f ? below : (d > 0.0f ? above : 0.0f);
}

struct AtrousPlanes {
    float *plane;     // in: the plane to denoise; out: the thresholded details plus S_4
    float *smooth[2]; // the alternating smoothing planes (even levels, odd levels)
    float *line;      // line_floats(width, height) floats
    int width, height;
};

// Runs the decomposition. threshold_for(L) gives, for level L, a callable that maps the pixel's
// smoothed value S_L to the threshold of its detail D_L. Width and height are at least 32 (the
// spacing 16 of the coarsest level).
template <class ThresholdForLevel>
void atrous_denoise(const AtrousPlanes &p, ThresholdForLevel threshold_for)
{
    const size_t n = size_t(p.width) * size_t(p.height);
    float *plane = p.plane;
    for (int level = 0; level < kAtrousLevels; ++level) {
        const float *previous = level == 0 ? plane : p.smooth[(level - 1) % 2];
        float *current = p.smooth[level % 2];
        smooth_plane(previous, current, p.line, p.width, p.height, 1 << level);
        const auto tau = threshold_for(level);
        if (level == 0) {
            for (size_t i = 0; i < n; ++i)
                plane[i] = soft_threshold(plane[i] - current[i], tau(current[i]));
        } else {
            for (size_t i = 0; i < n; ++i)
                plane[i] += soft_threshold(previous[i] - current[i], tau(current[i]));
        }
    }
    const float *coarsest = p.smooth[(kAtrousLevels - 1) % 2];
    for (size_t i = 0; i < n; ++i)
        plane[i] += coarsest[i];
}

} // namespace merge::detail
