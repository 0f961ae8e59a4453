// The classic merge: a variant of the HDR merge that normalises the exposures to a middle photo,
// can detect pixels where the photos disagree with the exposure steps between them (moving
// objects, ghosts) and merge those by a plain mean, and can write the blue plane first.
#pragma once

#include <cstdint>

// Fills the exposure-slope table: the expected rise of luma (54 R + 183 G + 19 B), in units of
// 8192 codes, for one EV more exposure at luma code v; linear between 14 knots from 0.4 at code 0
// through 1.333 at 28160 down to 0 from 51200 on. Entries 0 .. 65280 are written (65280 is 0);
// entries 65281 .. 65535 are left as they are. table: 65536 floats, caller-owned.
// Returns 13, the number of segments; -3 when table is null.
int rempliPenteExposition(float *table);

// Merges n photos into an rgbeBuf, single-threaded.
//   planeOrder: 0 writes the planes blue, green, red, exponent; any other value red, green,
//     blue, exponent; 2 also skips the clean-up pass, which otherwise turns every pixel no photo
//     lit into grey at the smallest positive luminance and every pixel clipped in every photo
//     (that the ghost test leaves alone) into grey at the largest.
//   n photos of width x height pixels, spp interleaved samples (R, G, B at 0, 1, 2; with fewer
//     than 3 samples all three read sample 0), bps 8 (bytes) or 16 (uint16_t, host order; luma
//     from the high bytes), back to back in stack (read only).
//   curveMode 1: gamma = lut[0] on entry; 2: gamma 0.45, scale 65535; otherwise gamma 2.2.
//     lut: 2^bps floats, caller-owned, filled with (i / 2^bps)^gamma x scale (entry 0 = entry 1).
//   exposures: n floats, the relative exposure of each photo. They are scaled so that the middle
//     photo (the first that exceeds exactly n / 2 of the others) gets 2 x target; on return the
//     array holds the reciprocals of the scaled exposures.
//   rgbeOut: width x height x 4 bytes, caller-owned. Its first byte on entry is the ghost mode:
//     0 off; 1 on, threshold 1.0; 2 on, threshold 0.8; other values on, threshold 1.0. Where the
//     mean squared departure of the photos' luma steps from the expected exposure slopes exceeds
//     the threshold, the pixel is the plain mean of every photo's linear values over exposure,
//     clipped photos and pixels clipped in every photo included.
//   stats: 3 floats out: smallest positive, largest and mean luminance (0.3 R + 0.6 G + 0.1 B)
//     x 256 before the clean-up, clipped pixels excluded from the largest and the mean; the mean
//     is written only when a pixel counted (with no row: 2.56e13 and 0).
// Returns the rows written (height; 0 when height < 1).
// 0 at once, nothing written, when bps is not 8 or 16.
// -3 before anything is written: a null pointer, n or spp below 1, width below 1 with rows to
// merge, sizes that overflow, a curve-mode gamma that is not finite and positive, an exposure
// (given or scaled) that is not finite and positive with a finite reciprocal.
// -4 when memory runs out, nothing written.
int calc_hdr(int planeOrder, int n, int width, int height, int spp, int bps, int curveMode,
             float *lut, float *exposures, const void *stack, float *stats, uint8_t *rgbeOut,
             float target);
