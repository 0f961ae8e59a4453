// Noise reduction and sharpening of one 8- or 16-bit RGB photo before the merge: a noise level
// measured on the photo, overlapping tiles each filtered through a four-level pyramid, then
// the filtered luma mixed back with the source's (fading out in the highlights) and the
// filtered chroma taken a little beyond the source's.
//
// Typical use, one photo at a time with one work area for the whole stack:
//     int bytes = mem4denoise(w, h, 2048);           // < 0: refuse the photo
//     std::vector<uint8_t> work(bytes), out(photoBytes);
//     float nrParam[kNrParamCount];
//     nr_def(nrParam);                               // before every photo
//     if (denoise2(w, h, 3, w * 3, 8, 2048, nbProc, nrParam, work.data(), photo, out.data()) > 0)
//         copy out over photo;                       // else keep the photo as it was
#pragma once

#include "denoise/nr_params.h"

// Bytes of the work area denoise2 needs for a width x height photo cut into tiles of maxTile:
// 24 (T + P) for the largest padded tile of T pixels and its pyramid of P pixels (levels 0..3).
// With maxTile 2048 any photo needs less than 1 GB. Returns -3 when a side is below 1 or above
// 2^30, maxTile is below 64, or the size passes 2^31 - 1.
int mem4denoise(int width, int height, int maxTile);

// Denoises and sharpens src into dst. Both: width x height pixels of 3 samples (R, G, B),
// 8-bit bytes or 16-bit host-order uint16_t by bitsPerSample, rows rowStride samples apart;
// samples of a row beyond 3 x width are neither read nor written. src and dst must not overlap.
// maxTile: tile side (2048 in the application; at least 64). nThreads: row bands of the finest
// filter levels (below 2: the calling thread). nrParam: 21 floats filled by nr_def; the call
// rewrites slots 0, 7, 17 and 18 with its noise estimate (all slots with the defaults when no
// estimate can be made), so refill it before the next photo. work: mem4denoise(width, height,
// maxTile) bytes aligned for floats, whose content on entry does not matter, or null to let the
// call allocate its own.
// A flat photo comes back unchanged; results do not depend on nThreads or on earlier calls, and
// calls may run concurrently on distinct buffers.
// Returns 1; -2 when spp is not 3 or bitsPerSample neither 8 nor 16; -3 for a null pointer, a
// side below 1, rowStride below 3 x width, overlapping src and dst, buffers misaligned for
// their sample type, or a size mem4denoise refuses; -4 out of memory. dst is written only when
// the result is 1.
int denoise2(int width, int height, int spp, int rowStride, int bitsPerSample, int maxTile,
             int nThreads, float *nrParam, void *work, const void *src, void *dst);
