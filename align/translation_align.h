// Translation alignment of a bracketed stack by percentile-threshold bitmaps (after Ward's
// median threshold bitmaps, 2003): each photo becomes a one-bit image of the pixels brighter
// than one percentile of its own luma, so that exposures far apart give nearly the same bitmap;
// pairs of photos along the brightness order are compared coarse to fine on bitmap pyramids,
// nine one-pixel steps a level, the error being the count of differing bits.
#pragma once

#include <cstdint>

// Shifts n photos of w x h pixels in place (photo k at sample k x w x h x spp; spp interleaved
// samples a pixel, R the first, G the sample (spp - 1) / 2 and B the last; bps 8: bytes, 16:
// host-order 16-bit samples, of which the luma reads the high bytes while the shifted photos
// keep their full samples). The second brightest photo is the reference; the brightest and the
// third brightest hang on it, every darker photo on the next brighter one.
//   alignDims: on entry alignDims[0] == 1 keeps w x h; any other value crops to the area all
//     photos cover (the full size when a crop would leave a side below 1). On success it
//     receives the new width and height, and the photos lie back to back at that size. Pixels
//     a shifted photo does not cover are white (R, G and B at full scale, other samples 0);
//     other samples are carried with their pixel.
// A photo narrower than 25 pixels, or so flat that no level of at least one row is left,
// is not shifted. Fewer than 2 photos: nothing to do, the size stays.
// Returns the x range plus the y range of the shifts (0 or more); -3 for a null pointer, w, h
// or spp below 1, bps other than 8 or 16, more than INT_MAX pixels a photo or a stack too large
// to address; -4 when memory runs out (stack and alignDims unchanged).
int tr_align(int n, int w, int h, int spp, int bps, int *alignDims, void *images);

// Builds the bitmap pyramid of the photo that starts at sample offset of stack: fills hist (256
// counts) with its luma histogram and grey1 with its luma (w x h bytes), takes the threshold bin
// T = the smallest bin whose cumulative count exceeds p, and sets in block (zeroed by the
// caller) the bit of every pixel brighter than T on each of the L levels (level l of
// (w >> l) x (h >> l) pixels, rows of ceil(width / 8) bytes, leftmost pixel in the most
// significant bit, levels one after another from the finest); grey2 (w x h bytes) is scratch
// for the downsampling. Returns T (256 when no bin exceeds p); -3 for a null pointer or a size
// below 1.
int remplPyram(int w, int h, int spp, int bps, int64_t offset, int *hist, unsigned char *grey1,
               unsigned char *grey2, const void *stack, unsigned char *block, int L, int p);

// Moves the count p of photo k (histograms: 256 counts a photo, photo k's at k x 256) until its
// percentile bin lies in 15 .. 235: by factors 0.95 while the bin is above 235 and 1.05 while it
// is below 15, each product truncated, at most until depth passes 39 (callers pass 1). Returns
// the count; -3 for a null pointer or a negative k.
int verifPercentile2(const int *histograms, int k, int depth, int p);
