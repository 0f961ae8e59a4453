// Small colour routines: the gamma of an ICC profile's tone curves, float RGB to and from
// luma/chroma (JFIF matrix), conversions between CIE Lab, CIE XYZ and sRGB, and the channel
// factors of a daylight white point. Arithmetic is double precision, results single precision.
#pragma once

#include <cstddef>
#include <cstdint>

// Gamma of the first tone-curve tag ('rTRC', 'gTRC' or 'bTRC', whichever comes first in the
// bytes) of an ICC profile of length bytes (big-endian numbers). A 'curv' with one entry gives
// its u8Fixed8 value; anything else (sampled curve, no tag, a tag offset whose 14 bytes leave the
// profile) gives 2.2.
// Returns -1 when profile is null, shorter than 4 bytes or its size field differs from length
// (gamma untouched; also when gamma is null). Otherwise stores the gamma and returns the number
// of byte positions scanned: the signature's position + 1, size - 12 when none was found, 0 when
// size - 12 <= 0.
int trc_from_profile(const uint8_t *profile, size_t length, float *gamma);

// Y = 0.299 R + 0.587 G + 0.114 B; Cb, Cr without offset. Returns 1.
int rgb2ybr(const float rgb[3], float ybr[3]);
// The inverse; each channel below 0 becomes 0. Returns 1.
int ybr2rgb(const float ybr[3], float rgb[3]);

// Linear sRGB (D65) to XYZ.
void sRGBlin2XYZ(const float in[3], float out[3]);
// Companded sRGB (0..1) to XYZ with the D50-adapted matrix.
void sRGB2XYZ(const float in[3], float out[3]);
// XYZ to linear sRGB (D65).
void XYZ2sRGBlin(const float in[3], float out[3]);
// XYZ to 8-bit sRGB with gamma 1/2.2 (0.4545), truncated. In-gamut colours (0..1 after the
// matrix) only: out-of-range values saturate to 0 or 255 rather than wrap.
void XYZ2sRGB8(const float xyz[3], uint8_t out[3]);
// Per-channel factors 1/R, 1/G, 1/B of the CIE daylight white at kelvin (first locus formula up
// to 7000 K, second above). Temperatures below 1 give factors of 1.
void kelvin2rgbScaling(int kelvin, float out[3]);

// Converts count samples (triples at 0, 3, 6, ... below count) of 16-bit Lab (L 0..65535 for
// 0..200 (x 0.0030517578125), a and b offset by 32896) in place to 16-bit XYZ (D50, 0..1 as
// 0..65535). A triple with L = 0 becomes black. Statistics lines go to standard error only when
// the file's trace switch is on (off by default).
// Returns the length of the final "rmax:%d gmax:%d bmax:%d\n" line (printed or not); -3 when
// buf is null and count > 0.
int Lab2XYZ_16(int count, uint16_t *buf);
