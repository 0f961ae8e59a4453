// The HDR merge: a bracket of 8- or 16-bit photos linearised through a gamma curve, divided by
// their relative exposures and averaged with a hat weight that ignores clipped highlights, then
// stored as shared-exponent RGBE (rgbeBuf and its pixel encoding: imagecore/pixel_buffers.h),
// with the marker the merge adds to that encoding.
#pragma once

#include "imagecore/pixel_buffers.h"

namespace merge {

using imagecore::Rgbe;

// The merge's encoding of one pixel: imagecore::encode_rgbe, except that a pixel with a channel
// at or above 999999999 (the "clipped in every photo" value) becomes the marker
// (255, 255, 255, 255) that the clean-up pass looks for. Example: (1e9, 1, 1) -> all 255.
inline Rgbe encode_rgbe(float r, float g, float b)
{
    if (double(r) >= 999999999.0 || double(g) >= 999999999.0 || double(b) >= 999999999.0)
        return {255, 255, 255, 255};
    return imagecore::encode_rgbe(r, g, b);
}

} // namespace merge

// Merges n photos into an rgbeBuf.
//   callback: progress (fraction of rows), or null; its stop request is not honoured. Images of
//     fewer than 816 rows report nothing; taller ones at rows where row mod (height / 16) = 50.
//   cleanup: 2 leaves the marker pixels; any other value replaces every (0, 0, 0, 0) pixel by
//     neutral grey at the smallest positive luminance and every (255, 255, 255, 255) pixel by
//     grey at the largest luminance (a largest luminance of 0 gives (0, 0, 0, 128)).
//   n photos of width x height pixels, spp interleaved samples (R at 0, G at (spp - 1) / 2, B at
//     spp - 1), bps 8 (bytes) or 16 (uint16_t, host order), back to back in stack (read only).
//   curveMode 1: gamma = lut[0] on entry; otherwise 2.2. lut: 2^bps floats, caller-owned, filled
//     with (i / 2^bps)^gamma (entry 0 = entry 1).
//   exposureTimes: n floats, relative exposure of each photo (only ratios matter); read when
//     n > 1. With n > 1 and evSpacing > -0.5 it is overwritten by the estimate from the pixels
//     (evSpacing > 0: photos evSpacing EV apart; otherwise from their brightness).
//   hdrMinMaxMoy: 3 floats out: smallest positive, largest and mean luminance
//     (0.2 R + 0.7 G + 0.1 B) x 256 of the merge before clean-up, marker pixels excluded.
//   rgbeBuf: width x height x 4 bytes, caller-owned, every byte written.
//   nbProc: rows are merged in nbProc bands (one on the calling thread below 2; a band whose
//     thread cannot start runs on the calling thread); the bytes and the statistics do not
//     depend on it. Progress is then reported from the band threads, one report at a time and
//     in row order.
// Returns the rows written (height; 0 when height <= 0, with statistics 2.56e11, 0, 0).
// -3 for a bad argument, before anything is written: a null pointer, n or spp below 1, width
// below 1 with rows to merge, bps not 8 or 16, a curve-mode gamma that is not finite and
// positive, sizes that overflow, or with n > 1 and no estimate an exposure that is not finite and
// positive with a finite reciprocal. Also -3 when an estimate gives such an exposure (a black and
// a white photo can push 2^EV past the float range); lut and exposureTimes are rewritten then,
// the output is not.
// -4 when memory runs out: the output is untouched; lut and an estimate may have been written.
// Also -4 when the callback throws in a band (the output is then partly written).
int kv_hdr_merge(progressCallback callback, int cleanup, int n, int width, int height, int spp,
                 int bps, int curveMode, float *lut, float *exposureTimes, const void *stack,
                 float *hdrMinMaxMoy, uint8_t *rgbeBuf, float evSpacing, int nbProc = 1);
