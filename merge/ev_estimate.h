// Relative exposures estimated from the pixels, for brackets whose metadata gives none: one
// brightness key a photo from its luma histogram, then exposures from the key ratios, either at
// a fixed EV spacing or through a brightness-dependent EV-per-doubling factor.
#pragma once

#include <cstdint>

// Brightness keys of n photos stored back to back (photo k starts at sample
// k x height x rowLen; rows rowLen samples apart, pixels spp samples apart; bps 8: bytes,
// bps 16: uint16_t in host order, only the high bytes are read). Luma of a pixel =
// (54 R + 183 G + 19 B) >> 8, R at sample 0, B at spp - 1 (2 when spp is 4, 0 when spp is 2),
// G at half of B's position. moyBuf[k] (n ints, caller-owned) gets:
//   dark photo (median bin <= 4): the 95th-percentile bin, 0..255;
//   ordinary photo: median bin x 256 (1280..64512);
//   bright photo (median bin >= 253): the 17th-percentile bin x 65536.
// The histograms are counted in nbProc bands of rows (one on the calling thread below 2) and
// added: the keys do not depend on it.
// Returns half the pixel count (saturated to INT_MAX); -3 when a pointer is null, n, width,
// height or spp is below 1, bps is not 8 or 16, or rowLen < width x spp.
int mediane_images(int n, int width, int height, int rowLen, int spp, int bps, const void *stack,
                   int *moyBuf, int nbProc = 1);

// Ranks n photos by key (brightest first, ties to the lower index) and anchors the middle rank
// a = n / 2 at exposure 1 (EV 0). evSpacing > 0: rank j gets EV (a - j) x evSpacing; otherwise
// each neighbouring pair of ranks differs by factor(midpoint key) x log2(key ratio), a key of 0
// counting as 1 in the ratio and the midpoint capped at 65280, the top of the factor table.
// mode 0: exposureTimes[photo] = 2^EV (n floats, photo order).
// other modes: moyBuf[j] = the photo of rank j, exposureTimes[j] = its EV (rank order).
// Returns n; -3 when a pointer is null, n < 1 or a key is negative (nothing written); -4 when
// memory runs out (nothing written).
int guess_ev(int mode, int n, int *moyBuf, float *exposureTimes, float evSpacing);
