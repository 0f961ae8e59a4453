// Feature-based alignment of a bracketed stack: each photo is tied to the photo of next higher
// brightness by a projective transform fitted to feature points matched tile by tile, the
// transforms are chained from the brightest photo (the reference), every photo is warped onto
// the reference by bilinear sampling, and the stack is cropped to the area all photos cover.
#pragma once

#include <cstdint>

#include "imagecore/pixel_buffers.h"

// Detector limit of one tile (kvdetect keeps at most this plus one point).
inline constexpr int kTileMaxPoints = 1309;

// Aligns n photos of width x height pixels, stored back to back in images (photo k at sample
// k x width x height x spp; spp interleaved samples a pixel whose first, middle ((spp - 1) / 2)
// and last samples are R, G, B; bps 8: bytes, 16: host-order 16-bit samples), in place.
//   nThreads: bands of rows of the warp (below 2: the calling thread); detection, matching
//     and the fits run on the calling thread.
//   maxShiftX, maxShiftY: the largest motion, in pixels, a feature may make between two
//     photos (the driver passes a tenth of the width and of the height).
//   alignDims: on entry alignDims[0] == 1 keeps width x height (the photos are still warped,
//     with the offsets of the common area); any other value crops to the common area. On
//     success it receives the new width and height, and the photos lie back to back at that
//     size. Not written on failure.
//   cb: progress (0..0.9 detection and fits, 0.9..1 the warp), may be null.
// A step whose fit fails, or whose fit too few pairs agree with or whose motion no hand-held
// camera makes, keeps the identity; a crop that would keep less than 30 % of a side keeps the
// identity for every photo and the full size. One line per photo with its transform and a
// summary line go to the aligner's log (align/align_log.h).
// Returns the x plus the y crop range in whole pixels (0 or more); -1 for n, width or height
// below 1 or when the tiling yields no tile; -3 for a null pointer, spp below 1, bps other than
// 8 or 16, or a stack too large to address; -4 when memory runs out (stack unchanged); -1000
// when cb asks to stop (stack unchanged during detection; during the warp the photos warped so
// far stay warped, at their old places); or the negative result of detection or matching.
int rt_align(int nThreads, int maxShiftX, int maxShiftY, int n, int width, int height, int spp,
             int bps, int *alignDims, unsigned char *images, progressCallback cb);

// Brightness keys and order of a stack (layout as for rt_align): keys[k] from photo k's luma
// histogram (imagecore/brightness.h), order the photo indices brightest first, ties to the
// lower index; order[0] is the reference of the alignment.
// Returns n; 0 (nothing written) when n < 1; -3 for a null pointer, width, height or spp
// below 1, bps other than 8 or 16 or a size that overflows.
// The histograms are taken in nThreads bands (the same keys at every thread count).
int classementImages(int n, int width, int height, int spp, int bps, const unsigned char *images,
                     int *keys, int *order, int nThreads = 0);

// Writes output rows rowStart .. rowEnd - 1 (each newWidth pixels, packed) of the photo at place
// k of order, warped: output pixel (x, y) takes the reference point (x - offsetX, y - offsetY)
// through the transforms of order[1] .. order[k] (8 floats each, transforms + 8 x photo index;
// each mapping computed in double and stored as floats) to a source point (sx, sy) of that
// photo, which starts photoOffset samples into images. A source point with -1 < sx <= width - 1
// and -1 < sy <= height - 1 is sampled bilinearly from the pixels at the truncated position and
// the next ones (the next clamped to the last column or row, where its weight is 0); a result is
// clamped to the sample range, rounded at 8 bits and truncated at 16. Any other point gives a
// white pixel (R, G and B at full scale; other samples 0). dst points at row rowStart.
// Returns rowEnd (rowStart when rowStart >= rowEnd); 0 when bps is neither 8 nor 16 or a
// pointer is null.
int align_with_transf_orig(int width, int height, int newWidth, int rowStart, int rowEnd, int spp,
                           int bps, int offsetX, int offsetY, const int *order,
                           const float *transforms, int k, int64_t photoOffset, const void *images,
                           void *dst);

// The record of one band of the warp.
struct warpThreadArgs {
    int width, height, newWidth, newHeight, spp, bps, offsetX, offsetY;
    int k;               // place of the photo in the order
    int64_t photoOffset; // first sample of the photo in the stack
    const int *order;
    const float *transforms;
    const void *images;
    void *dst; // the whole warp buffer
    int band, bandCount;
    int result; // align_with_transf_orig's return
};

// Body of one band: rows band x (newHeight / bandCount) onwards, newHeight / bandCount of them,
// the last band taking the rest, written into args->dst at their own rows.
void align_with_transf_threaded(warpThreadArgs *args);
