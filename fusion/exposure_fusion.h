// Exposure fusion (method 10, "Fusion/Adjust"): a stack of differently exposed photos of one
// scene blended straight into one 8- or 16-bit photograph, without an HDR image. Weight maps
// (fusion/weight_maps.h), then per photo the Gaussian pyramid of its weights and its band-pass
// levels weighted into one blended pyramid (fusion/pyramid_blend.h), last the collapse and the
// finishing (fusion/reconstruct.h). Pyramid layout and sample encodings as in pyramid_blend.h.
#pragma once

#include <cstdint>

#include "imagecore/pixel_buffers.h"
#include "tonemap/tm_params.h"

// Fuses n photos of w x h (spp 1 or 3 samples a pixel, bpsIn 8 or 16; the alignedPhotosBuf
// layout: photo k at sample k x w x h x spp) into out.
// - tmParam: the method-10 record (Accentuation, BlendingPoint, Shadows, Saturation, WhiteClip,
//   BlackClip, MidtonesAdjustment); slot 7 (is360) is read by the callers, who pass it as is360.
// - optim.nbProc: workers of the weight stage (the banded runner: at most 32). optim.readFromDisk
//   (unless bpsIn is 8 with fewer than 3 photos) runs out of core with the same result: the stack,
//   the weight maps and each photo's weight pyramid go to temporary files at path slots 0, 1 and
//   2 (a path must not exist yet; null: a new file in the system's temporary folder), the weight
//   stage on the calling thread, and only one weight pyramid stays in memory; the files are
//   removed before the return. A file that cannot be made leaves the fusion in memory, a stack
//   that cannot be written too, with the weight stage on the calling thread.
// - bitDepthPoids 8, 16 or 32: weight samples; bitDepthFusion 16 (integers, band levels offset
//   by 32767) or 32 (floats, the photos entered at the output's scale) for the pyramids.
// - lenPyram: at least pyram_len(w, h).
// - out: caller-allocated, zero-filled, spp x lenPyram samples of bitDepthFusion bits (uint16_t
//   for 16, float for 32: twice the bytes). On success the finished image lies at its start,
//   rows rowLen samples apart (rowLen >= spp x w), bytes for bpsOut 8 and uint16_t for 16, red
//   first (blue first with bgrOrder); the rest of out holds pyramid data.
// - indexFixedExpo (n ints, all -1 for no ghost handling) and ghostMask: see fusion1.
// - callback: progress after the weights (0.3; 0.1 with 32-bit blending), after each photo (up
//   to 0.8) and at the end (0.95); it cannot cancel the fusion.
// - exposureTimes, reserved and evSpacing are not read.
// Photos are blended from the last of the stack to the first.
// Returns spp x w x h on success; -2 for bpsIn 32 without bpsOut 32 and bitDepthFusion 32 (before
// anything is allocated); out of core -2 when the weights cannot be written and -3 when a file
// comes short; -3 for a null pointer, n, w or h below 1, a shorter side under 4 (no
// pyramid level), spp other than 1 or 3, a bpsIn, bpsOut or bit depth not served (bpsIn 32 and
// bpsOut 32 included: the finishing writes no 32-bit output), lenPyram below pyram_len(w, h), an
// out too small for rowLen; -4 when memory runs out; a stage's negative code unchanged. On failure
// out may hold partial data.
int kv_fusion(progressCallback callback, const float *tmParam, int n, int w, int h, int rowLen,
              optim_param_struct optim, int bgrOrder, int spp, int bpsIn, int bpsOut,
              int bitDepthPoids, int bitDepthFusion, int lenPyram, int is360,
              const float *exposureTimes, const void *imagesBuffer, const int *indexFixedExpo,
              const uint8_t *ghostMask, void *reserved, void *out, float evSpacing);
