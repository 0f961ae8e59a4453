// The range step of the local operator's stage 3: the solved linear luminance is mapped in place
// so that a floor at the BlackClip percentile becomes 0 and a ceiling at the WhiteClip
// percentile becomes 1, both read from a 65536-bin histogram between the image's extremes.
#pragma once

#include "tonemap/tm_params.h"

// tmParam: method-1 slots 3 WhiteClip (percent of the pixels above the ceiling; 0.25 when
// outside 0..10) and 4 BlackClip (twice the percent below the floor; 0 when outside 0..10).
// L: dim[0] x dim[1] floats, row-major, non-negative; each becomes (bin position - floor bin) /
// ceiling bin, below 0 (or NaN) set to 0, with no upper cap. A flat image maps to about 1
// (BlackClip 0) or 0. Allocates a 65536-bin histogram, one a band: from 2^20 pixels on the rows
// are taken in nbProc bands (the same values at every thread count).
// Returns dim[1]; -101 when the smallest value is negative, -102 when the largest is negative,
// that is when no value is a number (no pixel, or all NaN); -4 when the histogram cannot be
// allocated; -3 when a pointer is null or a side is negative. L is unchanged on every failure.
int tm30(const float *tmParam, float *L, dim_param dim, int nbProc = 0);
