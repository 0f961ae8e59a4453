// Denoisers of an rgbeBuf: colour noise in the shadows (the channel ratios R/S, G/S, B/S with
// S = R + G + B, denoised by the a trous decomposition and put back at each pixel's own
// intensity), luminance noise (the log luma under thresholds that fade from the shadows to the
// highlights) and the driver that measures the image and runs both at a user level.
// Images are at least 32 x 32: the coarsest level smooths at a spacing of 16 pixels.
#pragma once

#include <cstdint>

// Chroma denoiser. src and dst: rgbeBufs of width x height (src read only). work: 5 x width x
// height floats owned by the caller, overwritten (planes 0 and 1 smooth, 2..4 hold the ratios).
// Every pixel with 0 < S < shadowsLevel takes the denoised colour at its own S; with mode > 0 a
// pixel with shadowsLevel <= S < satLevel blends it in with weight
// (satLevel - S) / (satLevel - shadowsLevel); every other pixel is written unchanged. The level
// thresholds are k x c_L (merge/detail/atrous.h). Levels are linear intensities in S units.
// Returns height; 0 when bits is not 32 (nothing written); -3 for a null pointer or a side below
// 32; -4 when the line buffer cannot be allocated (dst untouched).
int denoise_chroma(int mode, int width, int height, int bits, float *work, const uint8_t *src,
                   uint8_t *dst, float k, float shadowsLevel, float satLevel);

// Luminance denoiser. src, dst and work as for denoise_chroma (work plane 0 holds the log luma,
// planes 1 and 2 smooth). The log luma is decomposed with, at level L and smoothed value v,
// T = noise_coefficient(L) x threshold and t0 = 0.1 T (mode > 0) or 0 (mode 0, where hi is taken
// as lo): tau = T below lo, falling linearly to t0 at hi, then t0 (v - top) / (hi - top) (t0 when
// hi == top); a threshold that is not finite counts as 0. Each pixel keeps Cb and Cr and takes
// Y = exp(denoised log luma) (a black pixel among black ones becomes grey of value 1).
// Returns height; -2 when bits is not 32; -3 for a null pointer or a side below 32; -4 when the
// line buffer cannot be allocated (dst untouched).
int denoise_lumin(int mode, int width, int height, int bits, float *work, const uint8_t *src,
                  uint8_t *dst, float lo, float hi, float top, float threshold);

// The driver at level 50..150 (any other level runs as 100): hdr_stats, then denoise_chroma with
// k = 0.4 + 0.004 (level - 100) below 100, 0.4 at 100 and 0.4 + 0.012 (level - 100) above (mode 1
// above 100), shadows and saturation levels exp(stats[0]) and exp(stats[1]). From level 100 up
// src then receives the chroma result and denoise_lumin (mode 1 above 100) writes the final
// image into dst; below 100 dst holds the result and src is unchanged.
// Returns height on success; 0 when bits is not 32; -3 for a null pointer or a side below 32,
// or from hdr_stats (an image without a log range); -4 when memory runs out. Every failure
// leaves src and dst untouched.
int denoise1(int level, int width, int height, int bits, uint8_t *src, uint8_t *dst);
