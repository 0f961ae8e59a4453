// Range step of stage 3: histogram between the extremes, floor and ceiling bins from the clip
// percentiles, then one linear map per pixel. Counts and thresholds are single precision.
#include "tonemap/range_map.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "imagecore/banded.h"
#include "imagecore/float_clamp.h"
#include "platform/checked_size.h"

namespace {

constexpr int kBins = 65536;

} // namespace

int tm30(const float *tmParam, float *L, dim_param dim, int nbProc)
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

    // Rows in bands: extremes and counts come out the same in any order. A band's own histogram
    // costs a pass over its bins, so small images keep one band.
    const size_t n = *pixels;
    const int bands = imagecore::band_count(n >= 16 * size_t(kBins) ? nbProc : 1, H);
    auto rows = [&](const imagecore::Band &b) {
        return std::pair{size_t(b.begin) * size_t(W), size_t(b.end) * size_t(W)};
    };
    std::array<float, imagecore::kMaxBands> bandLo, bandHi;
    bandLo.fill(1e9f);
    bandHi.fill(-1e9f);
    float lo = 1e9f, hi = -1e9f, scale = 1, slope = 1, offset = 0;
    // Everything that allocates comes before L changes: the histograms and the bands' work.
    std::vector<int64_t> hist;
    imagecore::BandWork extremes, counts, map;
    try {
        hist.resize(size_t(bands) * kBins);
        extremes = [&](const imagecore::Band &b) {
            float l = 1e9f, h = -1e9f;
            for (auto [i, e] = rows(b); i < e; ++i) {
                l = std::min(l, L[i]);
                h = std::max(h, L[i]);
            }
            bandLo[size_t(b.index)] = l, bandHi[size_t(b.index)] = h;
        };
        counts = [&](const imagecore::Band &b) {
            int64_t *h = hist.data() + size_t(b.index) * kBins;
            for (auto [i, e] = rows(b); i < e; ++i) {
                const float v = (L[i] - lo) * scale;
                L[i] = v;
                ++h[static_cast<size_t>(imagecore::clamp_to_int(v, 0, kBins - 1))]; // NaN: bin 0
            }
        };
        map = [&](const imagecore::Band &b) {
            for (auto [i, e] = rows(b); i < e; ++i) {
                const float v = slope * L[i] + offset;
                L[i] = v >= 0 ? v : 0.0f;
            }
        };
    } catch (const std::bad_alloc &) {
        return -4;
    }
    imagecore::run_banded(bands, H, extremes);
    for (int k = 0; k < bands; ++k) {
        lo = std::min(lo, bandLo[size_t(k)]);
        hi = std::max(hi, bandHi[size_t(k)]);
    }
    lo = std::max(lo, -1e9f);
    hi = std::min(hi, 1e9f);
    if (lo < 0)
        return -101;
    if (hi < 0)
        return -102;

    if (lo >= hi) { // flat: every value lands in the middle bin
        scale = static_cast<float>(32767.5 / (hi < 1e-30f ? 0.0001 : static_cast<double>(hi)));
        lo = 0;
    } else {
        scale = 65535.0f / (hi - lo);
    }
    imagecore::run_banded(bands, H, counts);
    for (int k = 1; k < bands; ++k)
        for (size_t bin = 0; bin < size_t(kBins); ++bin)
            hist[bin] += hist[size_t(k) * kBins + bin];

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
    offset = (lo - F) * ech, slope = ech / scale;
    // A range below the float spacing at the floor (a nearly flat image) cancels to 0 above;
    // the same map in bin units has no such cancellation.
    if (!std::isfinite(ech)) {
        slope = 1.0f / static_cast<float>(plaf);
        offset = -static_cast<float>(planch) / static_cast<float>(plaf);
    }
    imagecore::run_banded(bands, H, map);
    return H;
}
