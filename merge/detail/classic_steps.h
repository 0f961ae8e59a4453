// Steps the classic merge and the ghost-robust merge share around their pixel loops: argument
// checks, the linearisation curve of their three curve modes, exposures normalised to a middle
// photo, their statistics (luminance 0.3 R + 0.6 G + 0.1 B) and the output with its clean-up.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "imagecore/pixel_buffers.h"
#include "merge/detail/clean_up.h"
#include "merge/detail/gamma_curve.h"
#include "merge/detail/weight_tables.h"
#include "merge/hdr_merge.h"
#include "platform/checked_size.h"

namespace merge::detail {

inline constexpr float kMarker = 1e9f; // a pixel clipped in every photo

// Pointers, counts and sizes the two kernels need before anything is read: true when usable.
inline bool classic_arguments(int n, int width, int height, int spp, int bps, const float *lut,
                              const float *exposures, const void *stack, const float *stats,
                              const uint8_t *out)
{
    if (lut == nullptr || exposures == nullptr || stack == nullptr || stats == nullptr ||
        out == nullptr || n < 1 || spp < 1)
        return false;
    return height < 1 ||
           (width >= 1 && platform::checked_product({n, width, height, spp, bps / 8}) &&
            platform::checked_product({width, height, 4}));
}

// Curve mode 1: gamma from lut[0] on entry; 2: gamma 0.45 scaled to 65535; otherwise 2.2.
struct ClassicCurve {
    float gamma;
    double scale;
    bool usable() const { return std::isfinite(gamma) && gamma > 0.0f; }
};
inline ClassicCurve classic_curve(int curveMode, const float *lut)
{
    if (curveMode == 1)
        return {lut[0], 1.0};
    if (curveMode == 2)
        return {0.45f, 65535.0};
    return {2.2f, 1.0};
}

// The exposures scaled so that the middle photo (the lowest-indexed one whose exposure exceeds
// exactly n / 2 of the others; 1.0 stands in when none does) gets 2 x target. False, with
// nothing written, when an exposure before or after the scaling is not usable.
inline bool normalised_exposures(int n, const float *exposures, float target,
                                 std::vector<float> &scaled)
{
    for (int k = 0; k < n; ++k)
        if (!usable_exposure(exposures[k]))
            return false;
    float middle = 1.0f;
    for (int k = 0; k < n; ++k) {
        int below = 0;
        for (int j = 0; j < n; ++j)
            below += exposures[k] > exposures[j];
        if (below == n / 2) {
            middle = exposures[k];
            break;
        }
    }
    const float factor = float(2.0 * double(target) / double(middle));
    std::vector<float> t(size_t(n), 0.0f);
    for (int k = 0; k < n; ++k) {
        t[size_t(k)] = exposures[k] * factor;
        if (!usable_exposure(t[size_t(k)]))
            return false;
    }
    scaled = std::move(t);
    return true;
}

// What both kernels start from: the curve to fill the table with, the scaled exposures and the
// photos ranked by ascending exposure.
struct ClassicStart {
    ClassicCurve curve{2.2f, 1.0};
    std::vector<float> exposures;
    std::vector<int> order;
};

// The checks and preparation both kernels begin with, before anything is written: -3 for a bad
// argument (classic_arguments, an unusable curve or exposure), -4 when the ranking finds no
// memory, else 0.
inline int classic_start(int n, int width, int height, int spp, int bps, int curveMode,
                         const float *lut, const float *exposures, const void *stack,
                         const float *stats, const uint8_t *out, float target, ClassicStart &s)
{
    if (!classic_arguments(n, width, height, spp, bps, lut, exposures, stack, stats, out))
        return -3;
    s.curve = classic_curve(curveMode, lut);
    if (!s.curve.usable() || !normalised_exposures(n, exposures, target, s.exposures))
        return -3;
    s.order.assign(size_t(n), 0);
    return fClassementCroissant(n, s.exposures.data(), s.order.data()) == n ? 0 : -4;
}

// Statistics of the merged pixels before the clean-up pass.
struct ClassicStats {
    double min = 1e11, max = 0.0, sum = 0.0;
    int64_t count = 0;
    void add(float r, float g, float b)
    {
        const double y = 0.3 * double(r) + 0.6 * double(g) + 0.1 * double(b);
        if (y > 0.0 && y < min)
            min = y;
        if (y < 999999999.0) {
            max = y > max ? y : max;
            sum += y;
            ++count;
        }
    }
};

// Encodes pixel x of an rgbeBuf row, the blue mantissas in the first plane when blueFirst.
inline void put_classic(uint8_t *row, int width, int x, float r, float g, float b, bool blueFirst)
{
    const imagecore::Rgbe c = blueFirst ? encode_rgbe(b, g, r) : encode_rgbe(r, g, b);
    imagecore::put_rgbe(row, width, x, c);
}

// Statistics out (smallest positive, largest and mean luminance x 256; the mean only when a
// pixel counted) and, when cleanUp, the markers and black pixels turned grey.
inline void finish_classic(const ClassicStats &st, float *stats, uint8_t *out, int width,
                           int height, bool cleanUp)
{
    stats[0] = float(st.min * 256.0);
    stats[1] = float(st.max * 256.0);
    if (st.count > 0)
        stats[2] = float(st.sum * 256.0 / double(st.count));
    if (cleanUp)
        clean_up(out, width, height, grey_rgbe(float(st.min)), grey_rgbe(float(st.max)));
}

} // namespace merge::detail
