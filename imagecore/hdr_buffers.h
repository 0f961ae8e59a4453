// Conversions between HDR and integer buffers in memory: float RGB to rgbeBuf with luminance
// statistics, the statistics of an rgbeBuf, rgbeBuf to normalised float RGBA, 16-bit samples to
// 8-bit in place, a piecewise-linear table from knots, and the big-endian bias-128 float.
#pragma once

#include <cstdint>

// Encodes w x h pixels of spp floats (red at 0, blue at spp - 1, or spp - 2 when spp is 2 or 4
// and the last sample is alpha, green halfway) into an rgbeBuf of 4 x w x h bytes. Statistics of
// v = 0.3 R + 0.6 G + 0.1 B, each x 256: *min the smallest positive v (2.56e10 when none), *max
// the largest (0 when none), *mean the mean over all pixels (0 when there are none).
// Returns h; -3 for a negative side, spp below 1, a size that overflows or a null pointer.
int fbuf2rgbe(int w, int h, int spp, float *min, float *max, float *mean, const float *source,
              uint8_t *rgbe);

// Statistics of the w x h rgbeBuf, v = ((54 R + 183 G + 19 B) >> 8) x 2^(e - 128), unscaled:
// every pixel with e != 0 enters *mean; only those with 51 <= e < 200 enter *max (0 when none)
// and, when v > 1e-7, *min (1e11 when none).
// Returns h; -3 for a negative side, a size that overflows or a null pointer.
int hdrMinMax(int w, int h, const uint8_t *rgbe, float *min, float *max, float *mean);

// The w x h rgbeBuf as 4 floats a pixel (the fourth not written): each channel
// (mantissa x 2^(e - 128) - min) / (max - min) clamped to 0..1 with min and max of hdrMinMax;
// exponent 0 gives zeros. Returns h; -1 when max does not exceed min; -3 as hdrMinMax.
int hdr2cgbuf(int w, int h, const uint8_t *rgbe, float *out);

// Keeps the high byte of each 16-bit host-order sample of h rows of rowBytes bytes, packed at
// the start of the same buffer (rowBytes / 2 bytes a row). w and spp are not read.
// Returns h; 0 when h < 1; -3 for a negative rowBytes or a null buffer.
int from16to8(int w, int h, int spp, int rowBytes, uint8_t *buffer);

// Piecewise-linear table from n knots: for each segment with x[k] < x[k + 1], lut[i] =
// i x s + (y[k] - x[k] x s), s = (y[k + 1] - y[k]) / (x[k + 1] - x[k]), for x[k] <= i <
// x[k + 1]. Indices outside 0..lutLength - 1 are skipped; the last knot's own entry is not
// written. Returns the number of entries written; -3 for null pointers or a negative lutLength.
int buildLUT(int n, const int *x, const float *y, float *lut, int lutLength);

// The big-endian float of the bias-128 readers: half its IEEE 754 value; null gives 0.
float morder2float(const uint8_t *b);
