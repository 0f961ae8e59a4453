// Two further forms of the intensive blend (method 11, fusion/combination.h), operations of their
// own: the bilateral form sums the neighbourhood ring by ring over interior pixels; the square
// form sums a square window of mid-grey distances without spatial weights. Both weigh each photo
// by a falling function of its neighbourhood sum S and take the weighted mean of the photos.
#pragma once

#include <cstdint>

// Common to both: 8-bit photos and 8-bit output only, in the layouts of fusion/combination.h
// (rows of the stack exactly w x spp bytes; output rows rowLen bytes apart, rowLen >= w x spp);
// positions 0, 1, 2 of a pixel are read and written, position 0 three times when spp is below 3.
// A photo's weight is (S + 1)^(-2^(compression / 5)), relative to the pixel's largest, or
// 1 / (S + 1) when compression is 0. -3 for a bad argument (a null pointer, n, w, spp, step or
// radius below 1, rowLen below w x spp, sizes that overflow), -4 when memory runs out; nothing is
// written then. They run on the calling thread.

// The bilateral form. A pixel's S is its mid-grey distance z = D[trunc(0.2 c0 + 0.7 c1 + 0.1 c2)]
// plus, over the rings of Manhattan distance d = 1, 1 + step, ... <= radius, G(|v - z|) x v of
// the ring's 4d distances v, each ring times expf(-2 (d / radius)^2) when spatial weighting is on.
// The switch is the first byte of out as it is on entry (non-zero: on): set it before each call.
// Only rows and columns radius .. side - radius - 1 are written; the border keeps its content.
// saturation non-zero multiplies the HSL saturation by 1 + saturation / 10 (capped at 1).
// Returns h - radius; radius (nothing written) when 2 x radius >= h.
int kv_combi_intensive2(int step, int radius, int compression, int saturation, int n, int w, int h,
                        int rowLen, int spp, int unused, const uint8_t *stack, uint8_t *out);

// The square form. A pixel's distance is trunc(0.2 |c0 - 128| + 0.7 |c1 - 128| + 0.1 |c2 - 128|),
// 0..128; S = z + the sum of expf(-2 (|v - z| / 128)^2) x v over the offsets -radius,
// -radius + step, ... <= radius in both directions, offsets outside the image counting as
// distance 0 (so every pixel sums the same grid). Every pixel is written.
// Returns h; 0 when h < 1.
int kv_combi_intensive3(int step, int radius, int compression, int unused, int n, int w, int h,
                        int rowLen, int spp, int unused2, const uint8_t *stack, uint8_t *out);
