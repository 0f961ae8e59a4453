// Luma histograms and the brightness order of a stack.
#include "imagecore/brightness.h"

#include <algorithm>
#include <array>
#include <limits>
#include <numeric>

#include "imagecore/banded.h"

namespace imagecore {
namespace {

// S > 0 fixes the pixel stride at compile time for the common layouts.
template <int S, class T>
uint64_t scan_photo(const T *photo, size_t pixels, size_t spp, int saturation, LumaHistogram &hist)
{
    constexpr int shift = sizeof(T) == 1 ? 0 : 8;
    const size_t st = S > 0 ? size_t(S) : spp, g = (st - 1) / 2, b = st - 1;
    // Four histograms taken in turn, summed after: consecutive pixels of one shade would
    // otherwise wait on each other's count.
    std::array<std::array<uint64_t, 256>, 4> part{};
    uint64_t saturated = 0;
    for (size_t i = 0; i < pixels; ++i, photo += st) {
        const int R = photo[0], G = photo[g], B = photo[b];
        ++part[i & 3][size_t((54 * (R >> shift) + 183 * (G >> shift) + 19 * (B >> shift)) >> 8)];
        saturated += uint64_t((R > saturation) & (G > saturation) & (B > saturation));
    }
    for (const auto &p : part)
        for (size_t bin = 0; bin < 256; ++bin)
            hist[bin] += p[bin];
    return saturated;
}

template <class T>
uint64_t scan_any(const T *photo, size_t pixels, int spp, int saturation, LumaHistogram &hist)
{
    const size_t s = size_t(spp);
    return spp == 3   ? scan_photo<3>(photo, pixels, s, saturation, hist)
           : spp == 1 ? scan_photo<1>(photo, pixels, s, saturation, hist)
                      : scan_photo<0>(photo, pixels, s, saturation, hist);
}

} // namespace

uint64_t add_luma_histogram(const void *photo, size_t pixels, int spp, int bps, int saturation,
                            LumaHistogram &hist, int nThreads)
{
    if (!photo || spp < 1 || (bps != 8 && bps != 16))
        return 0;
    // Chunks of at most INT_MAX pixels for the runner; bands of each chunk count on their own.
    const size_t most = size_t(std::numeric_limits<int>::max());
    uint64_t saturated = 0;
    for (size_t at = 0; at < pixels; at += most) {
        const int n = int(std::min(most, pixels - at));
        std::array<LumaHistogram, kMaxBands> part{};
        std::array<uint64_t, kMaxBands> sat{};
        const BandReport report = run_chunked(n >= 65536 ? nThreads : 0, n, [&](const Band &b) {
            const size_t first = (at + size_t(b.begin)) * size_t(spp);
            const size_t count = size_t(b.end - b.begin);
            LumaHistogram &h = part[size_t(b.index)];
            sat[size_t(b.index)] = bps == 8 ? scan_any(static_cast<const uint8_t *>(photo) + first,
                                                       count, spp, saturation, h)
                                            : scan_any(static_cast<const uint16_t *>(photo) + first,
                                                       count, spp, saturation, h);
        });
        for (int k = 0; k < report.count; ++k) {
            for (size_t bin = 0; bin < 256; ++bin)
                hist[bin] += part[size_t(k)][bin];
            saturated += sat[size_t(k)];
        }
    }
    return saturated;
}

int brightness_key(const LumaHistogram &hist, uint64_t pixels)
{
    const int median = percentile_bin(hist.data(), uint64_t(0.5 * double(pixels)));
    return median >= 5 ? median * 256
                       : percentile_bin(hist.data(), uint64_t(0.95 * double(pixels)));
}

void brightness_order(int n, const int *keys, int *order)
{
    if (n < 1)
        return;
    std::iota(order, order + n, 0);
    // A stable sort keeps equal keys in photo order.
    std::stable_sort(order, order + n, [keys](int a, int b) { return keys[a] > keys[b]; });
}

} // namespace imagecore
