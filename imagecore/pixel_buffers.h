// Buffer conventions and the small services the long computations share: the progress and
// cancel hook, rankings of floats and integers, the median index and the one-pixel RGBE decoder.
//
// imageBuf: interleaved, rows top to bottom, width x spp samples a row (a row stride, where
// taken, counts samples of the buffer's own type); 8-bit samples are bytes, 16-bit samples
// uint16_t in host order.
// rgbeBuf: 4 bytes a pixel, row-planar: row y starts at byte 4 x width x y and holds width red
// mantissas, then width green, width blue and width exponent bytes. Exponent 0 is black;
// otherwise value = mantissa x 2^(exponent - 136).
#pragma once

#include <cstdint>

// Called by the long computations with the address of an abort flag (0 on entry) and the
// fraction done, 0..1. Setting the flag non-zero asks the computation to stop.
typedef void (*progressCallback)(int *abort, float fraction);

// Calls the callback (when not null) with a fresh flag and the fraction unchanged. Returns 1 to
// go on, 0 when the callback set the flag. A null callback returns 1.
int progress(progressCallback callback, float fraction);

// Ascending ranking: order[0..n-1] gets a permutation of 0..n-1 listing values in ascending
// order; equal values list the higher index first; values at or below -99999999 (and NaN) are
// never ranked and come first, in descending index order. values is not changed. Returns n;
// 0 when n < 1 (order untouched); -4 when scratch memory cannot be had (order untouched).
int fClassementCroissant(int n, const float *values, int *order);

// Descending ranking of integers: order starts with the lowest index of each distinct value in
// 1..99999999, highest value first, then every other index in increasing order. Returns the
// number of entries that came from the selection (n minus those filled afterwards); n at once
// when n < 1; -4 when scratch memory cannot be had.
int iclassement(int n, const int *values, int *order);

// Index of the median element (for even n the upper of the two middle ones). Overwrites every
// element it ranks with 1e8. Returns -1 when n < 1; -4 when scratch memory cannot be had.
int expo_mediane(int n, float *values);

// Decodes one RGBE pixel: e = buf[index + eOffset]; e == 0 writes zeros, else
// rgb[c] = mantissa x table[e] for the red byte at index and green and blue at the offsets.
// Returns e. For rgbeBuf the offsets are width, 2 x width and 3 x width.
int rgbe2float(const uint8_t *buf, const float *table, int gOffset, int bOffset, int eOffset,
               int index, float *rgb);
