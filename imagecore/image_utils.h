// Small utilities of the image-buffer module: brightening a 16-bit buffer by its bright tail,
// steering a percentile count into the usable range of an 8-bit histogram, and the size of
// physical memory.
#pragma once

#include <cstdint>

// Brightens n 16-bit samples in place so that the bright tail reaches the top of the range. The
// white level is the highest level at which the count of samples at or above it exceeds n / 10;
// w = white / 1.5 and gain = (65535 / w)^0.45 (single precision); each sample becomes
// trunc(sample x gain), at most 65535.
// Returns n; -1 when no white level above 0 is found (n = 0 included) or the histogram cannot
// be allocated; -3 for n < 0 or null samples.
int raw_brighten(int n, uint16_t *samples);

// Adjusts a percentile count until it falls inside the usable range of the 256-bin histogram of
// image `index` (the 256 ints at histos + 256 x index): L is the first bin whose cumulative
// count exceeds the count (256 when none does); while L lies outside 15..235 and iteration is at
// most 39, the count is scaled by 1.01 (L <= 14) or 0.99 (L >= 236), truncated in single
// precision, and iteration grows by one.
// Returns the adjusted count; -3 for null histos, a negative index or a negative iteration.
int verifPercentile(const int *histos, int index, int iteration, int count);

// Physical memory in bytes, saturated to INT_MAX (machines beyond 2 GiB all read INT_MAX);
// -1 when it cannot be read.
int getSizeRAM();

namespace imagecore {

// The int that getSizeRAM reports for a memory size in bytes: 0 (unknown) gives -1, sizes past
// INT_MAX give INT_MAX.
int saturated_ram_size(uint64_t bytes);

} // namespace imagecore
