// The two building blocks of the HDR denoisers: statistics of an rgbeBuf's log intensity and log
// luma that set the denoisers' levels and threshold, and the one-dimensional step of the a trous
// ("with holes") smoothing, [1 2 1] with its taps spacing samples apart, whose five-level detail
// decomposition both denoisers run (merge/detail/atrous.h).
#pragma once

#include <cstdint>

// Statistics of an rgbeBuf of width x height (row-planar), in natural-log units, from
// percentiles P1, P50, P99 of a = log(R + G + B) and of b = log Y (Y the luma of rgb2ybr; the log
// of a value that is not positive counts as 0), each binned over 65536 levels of its range:
//   stats[0] shadows level     P50 - 0.25 (P50 - P1) of a
//   stats[1] saturation level  P50 + 0.5 (P99 - P50) of a
//   stats[2] low luma level    (P1 + P50) / 2 of b
//   stats[3] middle luma level P50 of b
//   stats[4] high luma level   P99 of b
//   stats[5] luma threshold    2 x threshold x (max - min of b) x (P99 - P50 of b)
// The ranges start at [1e9, 0], so a maximum is never below 0.
// Returns 1; -3 (stats untouched) for a null pointer, a height or width below 1, more than
// INT_MAX pixels, or a range that is empty (all a or all b equal, an all-black image included);
// -4 when the histograms cannot be allocated.
int hdr_stats(int width, int height, const uint8_t *src, float *stats, float threshold);

// out[i] = 2 s(i) + s(i - spacing) + s(i + spacing) for i = 0 .. n - 1, with s(j) = in[j x stride]
// mirrored about the end samples without repeating them: s(-j) = s(j), s(n - 1 + j) =
// s(n - 1 - j). The weights sum to 4; the result is not normalised. Needs 2 x spacing <= n:
// otherwise (or with a null pointer, n < 1 or spacing < 0) nothing is written.
void smooth_line(float *out, const float *in, int stride, int n, int spacing);
