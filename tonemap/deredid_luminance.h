// First pieces of the local operator's stage 1: the natural-log luminance map of the source
// with its statistics, and the gradient-attenuation factor ((g + eps) / alpha)^exponent that
// shrinks large log-luminance gradients and lifts small ones.
#pragma once

#include <cstdint>

// Writes logf of each pixel's luminance (0.2126 R + 0.7152 G + 0.0722 B, linear units) into
// out[y x gridWidth + x] for the width x height image; grid columns from width and grid rows
// from height repeat the last column and the last row.
// docType 1 (16-bit, uint16_t samples) and 2 (8-bit): interleaved, spp samples a pixel, red,
// green, blue at offsets 0, (spp - 1) / 2, spp - 1, rows rowLength samples apart; linearised
// through curve (65536 or 256 floats) and floored at n (1 / n)^2.2, n = 65535 or 255.
// docType 0: rgbeBuf of rows of 4 w bytes; value = mantissa mix x table[exponent] (table: exp_lut
// with offset -8). A pixel of exponent 0 or no light is too small: once the image is read, its
// grid value becomes the mean log luminance of the other pixels (the smallest, 1e9, when there
// are none).
// lumParam (7 floats): [0] = exp(mean log) when a pixel counts, [1] = exp(largest log) / [0] when
// [0] > 0, [2] = exp(smallest log); other slots untouched. Allocates nothing.
// Returns gridHeight (the grid rows written); -1 when width or height is 9 or less; 1 for a
// negative docType and 0 for one above 2 (nothing done); -3 when a pointer is null, the image
// is larger than the source (w x h) or the grid, or rowLength < spp x w for docType 1 and 2.
int calc_tm0(int docType, int spp, int w, int h, int rowLength, int width, int height,
             int gridWidth, int gridHeight, float *lumParam, const float *table, const float *curve,
             const void *source, float *out);

// For rows rows of width floats from g[start], in order: every non-zero value v becomes
// ((v + eps) / alpha)^exponent (quotient in single, power in double precision); 0 stays 0.
// Returns rows; -3 when g is null or a size or start is negative.
int tm1b(int width, int rows, int64_t start, float *g, float alpha, float exponent, float eps);
