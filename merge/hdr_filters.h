// Median filters of an rgbeBuf (row-planar RGBE, imagecore/pixel_buffers.h): a fixed 5 x 5
// median of luminance, an adaptive median whose window grows from 5 x 5 to 13 x 13 until its
// median lies strictly between its extremes, and a chroma median that keeps each pixel's luma.
// The selection is Hoare's quickselect with a median-of-three pivot.
#pragma once

#include <cstdint>

// The value of rank (n - 1) / 2 of values[n] (the lower median), found by partial reordering.
// Every exchange of values is applied to perm at the same positions, so perm[(n - 1) / 2] then
// names the element the median came from when perm started as 0 .. n - 1. Returns 0 when n < 1
// or a pointer is null (nothing touched).
float fqs2(float *values, int *perm, int n);

// The three filters read src and write only the interior of dst, both rgbeBufs of width x height;
// the border band (2 pixels for normalMedian, 7 for adaptiveMedian, radius for median_c) keeps
// what dst held. Luminance is 0.3 R + 0.6 G + 0.1 B; the pixel a filter picks is decoded and
// written re-encoded (a black one as four zero bytes). bits must be 32: any other value returns
// 0 and writes nothing. All return -3 for a null pointer, a negative size or one whose byte count
// overflows; -4 when memory runs out (dst untouched then).

// 5 x 5 median of luminance: each interior pixel takes the pixel of median luminance of its
// window. radius is not read. Returns height - 2; 2 (nothing written) when height < 5.
int normalMedian(int radius, int width, int height, int bits, const uint8_t *src, uint8_t *dst);

// Adaptive median: the window grows from radius 2 until its median luminance lies strictly
// between its smallest and largest (radius 6 decides otherwise); a pixel strictly between those
// extremes is copied byte for byte, any other takes the window's median pixel. radius is not
// read. Returns height - 7; 7 (nothing written) when height <= 14.
int adaptiveMedian(int radius, int width, int height, int bits, const uint8_t *src, uint8_t *dst);

// Chroma median of radius r: each interior pixel keeps its own luma Y (rgb2ybr) and takes the
// medians of Cb and of Cr over its (2r + 1)^2 window, converted back with ybr2rgb. Returns
// height - r; r (nothing written) when height <= 2r; -3 when radius < 0.
int median_c(int radius, int width, int height, int bits, const uint8_t *src, uint8_t *dst);
