// Estimate of the gamma of a camera's response curve from a bracket and its relative exposures:
// for a pure power response the brightness ratio of two photos is their exposure ratio to the
// power 1 / gamma.
#pragma once

// n photos of width x height pixels, spp interleaved samples of bps bits (8: bytes; 16:
// uint16_t in host order, only the high bytes read), back to back in stack (read only); red at
// sample 0, blue at spp - 1 (2 when spp is 4, 0 when spp is 2), green at half of blue's position.
// exposures: n floats, the relative exposure of each photo (read only).
// Pixels on a grid of at most 50 x 50 that are neither black nor white in any photo are
// compared between photos neighbouring in brightness; pairs whose estimate lies outside
// (1.0, 3.2) take no part, nor do pairs whose exposures make the ratio's logarithm meaningless
// (0, negative, not finite). The middle-bright pairs weigh most.
// Returns trunc(gamma x 1000), 2200 when no pair takes part; -1 when height < 1 or fewer than 2
// grid pixels are usable; -3 when a pointer is null, n, width or spp is below 1, bps is not 8 or
// 16, or the photos' size overflows.
int calc_courbe(int n, int width, int height, int bps, int spp, const float *exposures,
                const void *stack);
