// Range step of stage 3: histogram between the extremes, floor and ceiling bins from the clip
// percentiles, then one linear map per pixel. Counts and thresholds are single precision.
#include "tonemap/range_map.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <optional>
#include <vector>

#include "imagecore/float_clamp.h"
#include "platform/checked_size.h"

namespace {

constexpr int kBins = 65536;

} // namespace

int tm30(const float *tmParam, float *L, dim_param dim)
{
    const int W = dim.v[kDimWidth], H = dim.v[kDimHeight];
    const std::optional<size_t> pixels = platform::checked_product({W, H});
    if (!tmParam || !L || !pixels)
        return -3;
    float white = tmParam[kDeWhiteClip], black = tmParam[kDeBlackClip];
    if (!(white >= 0 && white <= 10))
        white = 0.25f;
    if (!(black >= 0 && black <= 10))
        black = 0;

    const size_t n = *pixels;
    float lo = 1e9f, hi = -1e9f;
    for (size_t i = 0; i < n; ++i) {
        lo = std::min(lo, L[i]);
        hi = std::max(hi, L[i]);
    }
    lo = std::max(lo, -1e9f);
    hi = std::min(hi, 1e9f);
    if (lo < 0)
        return -101;
    if (hi < 0)
        return -102;

    float scale;
    if (lo >= hi) { // flat: every value lands in the middle bin
        scale = static_cast<float>(32767.5 / (hi < 1e-30f ? 0.0001 : static_cast<double>(hi)));
        lo = 0;
    } else {
        scale = 65535.0f / (hi - lo);
    }
    std::vector<int64_t> hist;
    try {
        hist.resize(kBins);
    } catch (const std::bad_alloc &) {
        return -4;
    }
    for (size_t i = 0; i < n; ++i) {
        const float v = (L[i] - lo) * scale;
        L[i] = v;
        ++hist[static_cast<size_t>(imagecore::clamp_to_int(v, 0, kBins - 1))]; // NaN: bin 0
    }

    const float lowCount = static_cast<float>((black / 200.0) * W * H);
    const float highCount = static_cast<float>(H * (W * ((100.0 - (white + 0.001)) / 100.0)));
    int planch = 0;
    if (lowCount > 0) {
        float total = 0;
        do
            total += static_cast<float>(hist[static_cast<size_t>(planch++)]);
        while (total < lowCount && planch < kBins - 1);
    }
    int plaf = kBins - 1;
    float total = static_cast<float>(static_cast<double>(W) * H);
    if (total > highCount) {
        do
            total -= static_cast<float>(hist[static_cast<size_t>(plaf--)]);
        while (total > highCount && plaf > 0);
    }
    // Nearly every pixel in bin 0 (a few extreme highlights): a ceiling of 0 would make the
    // scale infinite.
    plaf = std::max(plaf, 1);

    const float range = static_cast<float>(plaf) / scale;
    const float F = static_cast<float>(planch) / scale + lo;
    const float ech = 1.0f / ((range + F) - F);
    float offset = (lo - F) * ech, slope = ech / scale;
    // A range below the float spacing at the floor (a nearly flat image) cancels to 0 above;
    // the same map in bin units has no such cancellation.
    if (!std::isfinite(ech)) {
        slope = 1.0f / static_cast<float>(plaf);
        offset = -static_cast<float>(planch) / static_cast<float>(plaf);
    }
    for (size_t i = 0; i < n; ++i) {
        const float v = slope * L[i] + offset;
        L[i] = v >= 0 ? v : 0.0f;
    }
    return H;
}
