// The ghost-robust merge: each photo is weighted at each pixel by how well its radiance agrees
// with the local (3 x 3 median) radiance of every photo, so a photo that shows a moving object
// there counts little. fqs is its median selector.
#pragma once

#include <cstdint>

// The value of rank (count - 1) / 2 in ascending order among values[0 .. count - 1]: the median
// for an odd count, the lower middle value for an even one. values is partly reordered.
// Example: (5, 1, 4, 2, 3) -> 3; 1 .. 8 in any order -> 4. 0 when values is null or count < 1.
float fqs(float *values, int count);

// Merges n 8-bit photos into an rgbeBuf, single-threaded.
//   selector: 2 skips the clean-up pass, which otherwise turns every pixel no photo lit into
//     grey at the smallest positive luminance and every marker into grey at the largest.
//   n photos of width x height pixels, spp interleaved bytes (R, G, B at 0, 1, 2; with fewer
//     than 3 samples all three read sample 0), back to back in stack (read only).
//   curveMode, lut (256 floats), exposures (n floats; on return the reciprocals of the exposures
//     scaled so that the middle photo gets 2 x target), stats and target as calc_hdr
//     (merge/classic_merge.h). rgbeOut: width x height x 4 bytes, planes red, green, blue,
//     exponent.
// Photos are visited by ascending exposure. A pixel above luma 64000 in the shortest exposure is
// clipped in all: the marker. A photo above 64000 ends the visit unless the photo before was
// below luma 12000 there; a photo below luma 1280 discards the shorter exposures, or, when it is
// the longest, leaves the pixel black. Inside the image a photo's weight is 1 / the sum over all
// photos of |1 - its radiance / that photo's 3 x 3 median radiance| (its own median taken over
// the 8 neighbours alone), the sum counted as at least 1/256 so that full agreement weighs most
// instead of nothing; on the border the weight is the plain hat of its luma.
// Returns the rows written (height; 0 when height < 1).
// -1 at once when bps is not 8.
// -3 before anything is written: a null pointer, n or spp below 1, width below 1 with rows to
// merge, sizes that overflow, a curve-mode gamma that is not finite and positive, an exposure
// (given or scaled) that is not finite and positive with a finite reciprocal.
// -4 when memory runs out, nothing written.
int calc_hdr_robust(int selector, int n, int width, int height, int spp, int bps, int curveMode,
                    float *lut, float *exposures, const void *stack, float *stats, uint8_t *rgbeOut,
                    float target);
