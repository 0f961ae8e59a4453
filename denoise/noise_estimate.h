// The automatic noise estimate: the flattest unclipped 32 x 32 blocks among the darker and the
// brighter half of a photo, measured thoroughly across their quarter lines, brightness
// compensated, give a noise level in 8-bit units.
#pragma once

// copy: an 8-bit photo of width x height pixels, 3 samples a pixel, rows rowStride bytes apart.
// On success writes nrParam slots 0 (the level; a value of 0.5..1.5 there on entry scales it by
// 2^(2 (slot - 1))), 7 (chroma mix), 17 and 18 (highlight ramp) and returns the level truncated
// to an integer (at least 15 unless slot 0 scaled it down). Failures write nothing: -2 no
// usable block (a side below 32 pixels, no block of a level within 4..251, or no kept block
// with a measurable pair); -3 the kept blocks are not both darker and brighter than their
// midpoint, or a null pointer or rowStride below 3 x width; -4 out of memory.
int auto_profile(int width, int height, int rowStride, float *nrParam, const unsigned char *copy);

// The mean absolute difference of the pixel pairs across the quarter, half and three-quarter
// lines (horizontal and vertical, every channel) of the size x size block starting at byte
// offset of copy, pairs with a value at or below 1 or at or above 254 left out, times
// 6 (size - 1)^2. +infinity when every pair is left out, so such a block ranks last. width and
// height are not read.
float recalcDeviations(int width, int height, int rowStride, int size, int offset,
                       const unsigned char *copy);
