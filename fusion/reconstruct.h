// Exposure fusion, the last stage: collapse of the blended pyramid into the fused image and its
// finishing (saturation in the HSL model, midtone gamma, white and black clipping, conversion to
// 8 or 16 bits a sample). The pyramid layout and encodings are those of fusion/pyramid_blend.h:
// with 16 bits the band levels 0 .. L - 1 carry the offset 32767 and level L none, so each
// up-sample-and-add step yields plain values and level 0 ends as the fused image at 15 bits.
// Method-10 tmParam slots read here: kFuSaturation, kFuWhiteClip, kFuBlackClip (percent) and
// kFuMidtonesAdjustment; all 0 leaves the image as it is but for the depth conversion.
// nThreads splits the rows of each level of at least 16384 pixels into bands (below 2: the
// calling thread); every row's values are the same in any band.
#pragma once

// Collapses the blended pyramid (levels 0 .. L of a w x h image, spp samples a pixel,
// bitDepthFusion 16 or 32) into its level 0, in place, then writes the finished image into out:
// rows rowLen samples apart, bytes for bpsOut 8, uint16_t for 16 (nothing for 32), red, green and
// blue at samples 0, (spp - 1) / 2 and spp - 1 of a pixel (red and blue exchanged when bgrOrder
// is non-zero). reserved is not read.
// Returns spp x w x h; 0 when L is below 1 (nothing reconstructed or written); -3 for a null
// tmParam, pyramid or out, a side or spp below 1, L above pyram_levels(w, h), a bitDepthFusion
// other than 16 or 32, a bpsOut other than 8, 16 or 32, or rowLen below spp x w.
int fusion3(const float *tmParam, int L, int w, int h, int spp, int bpsOut, int bitDepthFusion,
            int rowLen, int bgrOrder, int is360, void *fusionPyramid, void *reserved, void *out,
            int nThreads = 0);

// One collapse step: adds the coarse level (coarseW x coarseH at sample initCoarse) up-sampled by
// 2 x 2 interpolation to the fine level (fineW x fineH at initFine) of pyramid, in place.
// 16 bits: fine + up-sampled - 32767, limited to 0..65535; 32 bits: fine + up-sampled.
// is360 interpolates the last column of an even width towards column 0.
// Returns fineH; 0 (nothing written) for another depth, coarse sides that are not the halved
// fine ones, a side or spp below 1, a negative offset or a null pyramid.
int fusion31et32(int fineW, int fineH, int coarseW, int coarseH, int spp, int bitDepthFusion,
                 int is360, int initFine, int initCoarse, void *pyramid, int nThreads = 0);

// Finishing of the collapsed level 0 (w x h, spp samples a pixel, 15-bit values in uint16_t for
// bitDepthFusion 16, floats for 32) into out as fusion3 describes, with M = 2^bpsOut:
// 1. 16 bits: v >> 7 for 8-bit output, v x 2 for 16-bit; floats as they are.
// 2. When Saturation or MidtonesAdjustment (each truncated) is not 0: divided by M and limited to
//    0..1; S = S x (1 + 0.1 Saturation) limited to 0..1 through HSL; each channel raised to
//    2^(-0.05 MidtonesAdjustment); multiplied by M.
// 3. When WhiteClip or BlackClip is above 0: black = BlackClip x M / 100, white =
//    (1 - WhiteClip / 100) x M, value = (value - black) x M / (white - black), white kept at
//    least one output step above black.
// 4. Truncated and limited to 0 .. M - 1.
// Returns h (the rows written); 0 for a bpsOut other than 8 or 16, a bitDepthFusion other than
// 16 or 32, a side or spp below 1, rowLen below spp x w or a null pointer (nothing written).
int fusion33(const float *tmParam, int w, int h, int spp, int bpsOut, int bitDepthFusion,
             int rowLen, int bgrOrder, const void *level0, void *out, int nThreads = 0);

// RGB in 0..1 -> hue (a full turn is 1), saturation, lightness, all in 0..1. Returns 1.
int frgb2hsl(const float *rgb, float *hsl);
// The inverse of frgb2hsl. Returns 1.
int fhsl2rgb(const float *hsl, float *rgb);
// One channel of the HSL-to-RGB conversion: t is the hue shifted for that channel.
float fhue2rgb(float p, float q, float t);
