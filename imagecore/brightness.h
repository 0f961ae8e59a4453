// Brightness of the photos of a stack: the 256-bin luma histogram of a photo, its percentile
// bins, and the key and order by which exposure fusion and both aligners rank the photos
// (brightest first). It sits below the kernels so that fusion and alignment share one reading.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace imagecore {

using LumaHistogram = std::array<uint64_t, 256>;

// Adds the luma (54 R + 183 G + 19 B) >> 8 of `pixels` pixels to hist. Pixels are spp samples
// apart (spp >= 1); R is the first sample, G the sample (spp - 1) / 2 and B the last, which are
// the first three when spp is 3. bps 8 reads bytes; bps 16 host-order 16-bit samples, whose high
// bytes enter the luma. Returns the number of pixels whose R, G and B all exceed saturation
// (compared at full sample depth; pass 65535 or more to count none); 0 and nothing added for a
// null pointer, spp below 1 or another bps. The pixels are split into nThreads chunks (below 2,
// or fewer than 65536 pixels: on the calling thread), each counted on its own and the counts
// added: the same histogram at every thread count.
uint64_t add_luma_histogram(const void *photo, size_t pixels, int spp, int bps, int saturation,
                            LumaHistogram &hist, int nThreads = 0);

// The percentile bin of a count: the smallest bin whose cumulative count (bins 0 .. b) exceeds
// count; 256 when none does. hist holds 256 counts.
template <class Count> int percentile_bin(const Count *hist, uint64_t count)
{
    uint64_t cumulative = 0;
    for (int bin = 0; bin < 256; ++bin)
        if ((cumulative += uint64_t(hist[bin])) > count)
            return bin;
    return 256;
}

// The brightness key of a photo of `pixels` pixels: with the median bin m (percentile bin of
// trunc(0.5 x pixels)), m x 256 when m is 5 or more; otherwise the percentile bin of
// trunc(0.95 x pixels), so that very dark photos rank below all others, among themselves by
// their highlights.
int brightness_key(const LumaHistogram &hist, uint64_t pixels);

// The order of n photos by key: largest first, equal keys by photo index. Writes n indices to
// order; nothing when n < 1.
void brightness_order(int n, const int *keys, int *order);

} // namespace imagecore
