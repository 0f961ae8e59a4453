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
// [0] > 0, [2] = exp(smallest log); other slots untouched. The mean is summed in double precision
// row by row (each row in index order, the rows' sums in row order), the rows taken in nbProc
// bands (below 2 on the calling thread): the same values at every thread count. Allocates a
// record a row (-4 when it cannot).
// Returns gridHeight (the grid rows written); -1 when width or height is 9 or less; 1 for a
// negative docType and 0 for one above 2 (nothing done); -3 when a pointer is null, the image
// is larger than the source (w x h) or the grid, or rowLength < spp x w for docType 1 and 2.
int calc_tm0(int docType, int spp, int w, int h, int rowLength, int width, int height,
             int gridWidth, int gridHeight, float *lumParam, const float *table, const float *curve,
             const void *source, float *out, int nbProc = 0);

// The out-of-core twin of calc_tm0 for docType 0: the w x h image comes from the Radiance file at
// radiancePath (read with decomp2; info: width, height, file size, as rgbe_dim2 gives them) into
// buffer (w x h floats, used first as the rgbeBuf), goes through a temporary file (at tempPath,
// which must not exist yet; null: a new file in the system's temporary folder; removed before
// the return), and comes back row by row as log luminance in buffer[y x w + x], with the
// statistics of calc_tm0 in lumParam [0] to [2]. When any pixel is too small, every such value
// becomes the smallest log luminance of the others (1e9 when there are none).
// Returns h; -1 a side of 9 or less or a temporary file that cannot be created; -2 a short write
// or read of the temporary file; -3 docType other than 0, a null pointer, or an info of another
// size than w x h; -4 out of memory; decomp2's negative codes for the Radiance file.
int calc_tm0s(int docType, int w, int h, float *lumParam, const float *table, const int *info,
              const char *radiancePath, const char *tempPath, float *buffer);

// For rows rows of width floats from g[start], in order: every non-zero value v becomes
// ((v + eps) / alpha)^exponent (quotient in single, power in double precision); 0 stays 0.
// Returns rows; -3 when g is null or a size or start is negative.
int tm1b(int width, int rows, int64_t start, float *g, float alpha, float exponent, float eps);
