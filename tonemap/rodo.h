// Rodo Vizezadadu, the global operator: every pixel of an rgbeBuf goes through one
// photoreceptor-style curve V W / (W + ((alpha W + A) f)^m) whose key, adaptation and exponent
// follow from log-luminance statistics of the image and the method-2 tmParam slots.
// logMinMaxMoy measures the statistics; tm_simple maps, on the calling thread or in row bands.
#pragma once

#include <cstdint>

#include "imagecore/banded.h"
#include "tonemap/tm_params.h"

// Statistics of the natural-log luminance of an rgbeBuf (w x h, row-planar; table from exp_lut
// with offset -8): lumParam[0] minimum, [1] maximum (at least 0), [2] mean, [3] median and
// [4] 99.5th percentile from at most 40000 samples; [5] and [6] untouched. Pixels with exponent
// 0 or no light are skipped. When the log luminance is uniform, [3] and [4] are the mean and the
// maximum. The pixels are read in nbProc bands of rows (one on the calling thread below 2); the
// sum of logs is kept a row at a time and added in row order, so the results do not depend on
// nbProc.
// Returns h; 0 when h or w is below 1 (nothing written); -4 when scratch memory is short.
int logMinMaxMoy(int w, int h, const float *table, const uint8_t *rgbe, float *lumParam,
                 int nbProc = 1);

// Maps an rgbeBuf (width dims[0], height dims[1]) into interleaved output: 8-bit bytes or 16-bit
// uint16_t by dims[4], dims[2] samples a pixel, rows dims[6] samples apart, red, green, blue at
// offsets 0, (spp - 1) / 2, spp - 1 (reversed when dims[7] is non-zero); other samples are left
// as they are. p: method-2 slots; lumParam as logMinMaxMoy left it. opt.nbProc bands of rows
// (one band on the calling thread below 2).
// A flat image is a photograph too: when the luminance is uniform (lumParam[0] >= lumParam[1],
// or the mean at the minimum) there is no range to stretch, and every pixel keeps the curve's
// own value for it, without the black and white points: a flat grey maps to one grey (about
// 0.26 of the top value with all slots 0); with no light at all the image is black.
// Returns the row count of the last band (> 0) on success; 0 (nothing written) when the output
// depth is neither 8 nor 16, the image has no rows or columns, spp < 1 or dims[6] < width x spp;
// -2 when a worker thread cannot be started.
int tm_simple(const float *p, const float *lumParam, const float *table, const uint8_t *rgbe,
              void *out, dim_param dims, optim_param_struct opt);

// The operator over one band: dims[1] is the band's row count, rgbe and out point at its first
// row (rgbe rows are 4 x width bytes). Returns the band's row count or the codes of tm_simple.
int tm_simple_orig(const float *p, const float *lumParam, const float *table, const uint8_t *rgbe,
                   void *out, dim_param dims);

// The shared arguments of the bands of one tm_simple call, for the whole image.
struct tm_simple_args {
    const float *p;
    const float *lumParam;
    const float *table;
    const uint8_t *rgbe;
    void *out;
    dim_param dims;
};
// Worker of one band of rows [band.begin, band.end): moves the pointers to the band and runs
// tm_simple_orig. Returns its result.
int tm_simple_threaded(const tm_simple_args &args, const imagecore::Band &band);

// White of a colour temperature in kelvin on the CIE daylight locus, with Y = 1:
// xyz = (x / y, 1, (1 - x - y) / y). Writes nothing when kelvin <= 0, when y is 0 or when a
// result is not finite, so callers pre-fill the D65 white (0.950456, 1, 1.088754).
void kelvin2XYZ(int kelvin, float *xyz);
