// Buffer conventions and the small services the long computations share: the progress and
// cancel hook, rankings of floats and integers, the median index and the one-pixel RGBE decoder
// and encoder, and the RGBE exponent table.
//
// imageBuf: interleaved, rows top to bottom, width x spp samples a row (a row stride, where
// taken, counts samples of the buffer's own type); 8-bit samples are bytes, 16-bit samples
// uint16_t in host order.
// rgbeBuf: 4 bytes a pixel, row-planar: row y starts at byte 4 x width x y and holds width red
// mantissas, then width green, width blue and width exponent bytes. Exponent 0 is black;
// otherwise value = mantissa x 2^(exponent - 136).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "imagecore/float_clamp.h"

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

// table[i] = 2^(i - 128 + offset), i = 0..255. Returns 256. With offset -8 a mantissa byte
// times table[exponent] is the value of an rgbeBuf channel.
int exp_lut(float *table, int offset);

namespace imagecore {

struct Rgbe {
    uint8_t r, g, b, e;
};

// Encodes one pixel of linear channel values: M = the largest channel; M at or below 1e-32 (or
// NaN) gives (0, 0, 0, 0); otherwise, with frexp(M) = (f, e), each mantissa is
// trunc(channel x f x 256 / M) saturated to 0..255 (NaN to 0) and the exponent byte e + 128.
// Example: (1, 0.5, 0.25) -> (128, 64, 32, 129). f x 256 / M is a power of two, so every
// product is exact: single-precision channels give the bytes single-precision arithmetic would.
inline Rgbe encode_rgbe(double r, double g, double b)
{
    double m = r > g ? r : g;
    if (b > m)
        m = b;
    if (!(m > 1e-32))
        return {0, 0, 0, 0};
    int e = 0;
    const double scale = std::frexp(m, &e) * 256.0 / m;
    return {clamp_to_u8(r * scale), clamp_to_u8(g * scale), clamp_to_u8(b * scale),
            clamp_to_u8(e + 128.0)};
}

// Stores c as pixel x of an rgbeBuf row of width pixels (planes width bytes apart).
inline void put_rgbe(uint8_t *row, int width, int x, Rgbe c)
{
    const size_t plane = size_t(width);
    uint8_t *p = row + x;
    p[0] = c.r;
    p[plane] = c.g;
    p[2 * plane] = c.b;
    p[3 * plane] = c.e;
}

// encode_rgbe of (r, g, b) stored as pixel x of the row.
inline void put_rgbe(uint8_t *row, int width, int x, double r, double g, double b)
{
    put_rgbe(row, width, x, encode_rgbe(r, g, b));
}

} // namespace imagecore
