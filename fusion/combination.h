// The simple combination methods: direct ways of turning a stack of aligned photos into one 8-
// or 16-bit photograph without an HDR image or a pyramid. Method 11 ("Fusion/Intensive") weighs
// each photo by how far its neighbourhood lies from mid-grey; 12 lights the mean by a soft-light
// blend with a blurred, inverted luminance mask; 13 mixes a dark and a bright photo by a blurred
// mask of the dark one; 14 is the plain mean.
#pragma once

#include <cstdint>

#include "tonemap/tm_color.h"

// Common to every function here:
// - stack: n photos back to back (alignedPhotosBuf), photo k at sample k x w x h x spp, rows of
//   exactly w x spp samples; bytes for 8-bit input, uint16_t in host order for 16-bit input.
// - out: w x h pixels of spp samples in rows rowLen samples apart (rowLen >= w x spp); bytes for
//   8-bit output, uint16_t for 16-bit output. Samples past w x spp in a row, and channels a
//   method does not use, keep their content.
// - Three sample positions of a pixel are read and written ("c0, c1, c2"): moyenne and hsauto
//   use 0, (spp - 1) / 2 and spp - 1; kv_combi_intensive and kv_combi_2images use 0, 1, 2, or
//   position 0 three times when spp is below 3.
// - Input depth 8 gives 8- or 16-bit output as asked (8-bit samples enter 16-bit output x 256,
//   or x 255 in kv_combi_2images); 16-bit input gives 16-bit output (moyenne and hsauto ignore
//   bpsOut then; the other two must be given 16).
// - A height below 1 returns 0 with nothing written. -3 marks a bad argument (null pointer, n, w
//   or spp below 1, rowLen below w x spp, a depth not served, sizes that overflow, and each
//   function's own limits), checked before anything is written. -4: out of memory.
// All run on the calling thread and keep nothing between calls; the source is never written.

// Method 14: the mean of the n photos, per position S = the sum of the samples: 8-bit input to
// 8-bit output min(S / n, 255), to 16-bit output min(S x 256 / n, 65535); 16-bit input
// min(S / n, 65535).
// Returns h; 0 when h < 1 or bpsIn is neither 8 nor 16; -3 as above (n < 1 among them).
int moyenne(int n, int w, int h, int rowLen, int spp, int bpsIn, int bpsOut, const uint8_t *stack,
            uint8_t *out);

// Method 12, automatic highlights and shadows: the mean (as moyenne), lit by a soft-light blend
// with the inverted luminance 255 - (19 c0 + 183 c1 + 54 c2) / 256 of the mean, blurred by a box
// of radius 4n + 2. With spp 1 the result is the plain mean. swap non-zero stores the blend of
// position 0 at position spp - 1 and the other way round.
// work: 2 x w x h bytes of scratch, or null to have them allocated here.
// Returns h; 0 when h < 1; -3 as above (n < 1 among them); -4 when the scratch cannot be
// allocated (nothing written).
int hsauto(int n, int w, int h, int rowLen, int swap, int bpsIn, int bpsOut, int spp, uint8_t *work,
           const uint8_t *stack, uint8_t *out);

// Method 13: photos a and b (0 .. n - 1) mixed by a mask. The darker of the two by a sparse
// brightness measure (photo a on a tie) gives the mask, 128 + 0.3833 x (c0 + c1 + c2 - 204)
// clipped to a byte, blurred over 20 x 21 pixels; each sample is dark x m / 256 + bright x (1 -
// m / 256).
// Returns h; 0 when h < 1; -3 as above (an index outside 0 .. n - 1 among them); -4 when memory
// runs out (nothing written).
int kv_combi_2images(int n, int a, int b, int w, int h, int rowLen, int bpsIn, int bpsOut, int spp,
                     const uint8_t *stack, uint8_t *out);

// Method 11, "Fusion/Intensive": a weighted mean of the photos. Each photo gets at each pixel a
// neighbourhood sum S of mid-grey distances (a bilateral sum over a Gaussian window of radius
// `radius`, sampled every `step` pixels and clipped to the image); its weight falls with S as
// (S + 1)^(-2^(strength / 10)), or 1 / (S + 1) when trunc(strength) is 0. The weights are taken
// relative to the pixel's largest, so they never all vanish. When trunc(saturation) is non-zero
// the HSL saturation of the result is multiplied by 1 + saturation / 10 (capped at 1).
// Rows in pieces of 8 taken in turn by nThreads threads (below 2 on the calling thread): every
// output pixel is independent, so the bytes are the same at every thread count.
// Returns h; 0 when h < 1; -3 as above (step or radius below 1 among them); -4 when memory runs
// out (nothing written).
int kv_combi_intensive(int step, int radius, int n, int w, int h, int rowLen, int spp, int bpsIn,
                       int bpsOut, const uint8_t *stack, uint8_t *out, float strength,
                       float saturation, int nThreads = 0);

// The dispatch of methods 11 to 14 from their tmParam record, as the method dispatcher makes it:
// method 11 reads slot 0 Strength, 1 Saturation, 2 Radius and 3 the sampling step (both
// truncated; the defaults leave the step 0, which the caller must set); method 13 reads slots 0
// and 1 (truncated) as the two photos; 12 and 14 read nothing. hsauto gets no swap and no work
// area; method 11 runs on nThreads threads. Returns the method's result; -3 for another method or a
// null tmParam.
int combine_photos(int method, const float *tmParam, int n, int w, int h, int rowLen, int spp,
                   int bpsIn, int bpsOut, const uint8_t *stack, uint8_t *out, int nThreads = 0);

// HSL on the unit scale (hue a fraction of a turn), as the blends here use it: the tone mappers'
// own conversions under the names this module's methods give them.
// rgb in 0..1 -> hue, saturation, lightness; returns 1.
inline constexpr auto &rgb_to_hsl = rgb2hsl_norm;
// The inverse of rgb_to_hsl; returns 1.
inline constexpr auto &hsl_to_rgb = hsl2rgb_norm;
// One channel of the HSL-to-RGB conversion: t is the hue shifted for that channel.
inline constexpr auto &hue_to_rgb = hue2rgb;

// A float clipped to a byte: 255 at or above 255, truncated between 0 and 255, else 0 (NaN too).
uint8_t lim8f(float v);
