// Stage 3 of the local operator: colour reconstruction. The solved luminance is mapped onto the
// display range (tm30), then every pixel is rebuilt from its source colour: colour ratio to a
// saturation power times the new luminance, blended with a global logarithmic curve, shadows
// clipping, gamma, colour temperature, per-tone saturation and highlight/shadow smoothing.
// calc_tm3 (tonemap/deredid_stages.h) runs it in row bands.
#pragma once

#include "imagecore/banded.h"
#include "tonemap/deredid_stages.h"

// The constants of one band, computed once from the record (method-1 slots), the statistics of
// stage 1 and the output depth.
struct Tm31Constants {
    float g;          // gamma 2^((50 - slot 8) / 50), 1 outside (0.24, 2.01)
    float eg;         // exponent of the global curve
    float sb;         // saturation exponent before the per-tone change
    float stepFactor; // saturation factor of the smoothing blend, 1 + 0.1 step
    int step;         // saturation step of the smoothing blend
    float wg;         // weight of the global curve; the local luminance weighs 1 - wg
    float M;          // full scale of the output: 255 or 65535
    float A;          // log-average luminance that normalises the global curve
    float invB, c10;  // 1 / B and ln 10 / ln(B + 1), B = largest / log-average luminance
    float hs;         // scale of the smoothed colour
    bool temperature; // slot 12 non-zero
    float kx, kz;     // gains on X and Z of the temperature's white against D65
    float t0, t1;     // shadows clipping: black below t0, a smooth blend up to t1 (log units)
    float dh, ds;     // saturation change at the top of the highlights and shadows
    // A uniform scene: the largest luminance of lumParam ([0] x [1]) is its smallest ([2]), float
    // rounding aside. Its solved luminance has no range to span and the global curve no maximum
    // to reach up to, which would make it white: every lit pixel takes middle grey instead, the
    // tone of the mid-grey areas of normal scenes. Stage 1 gives such a scene no percentiles
    // (lumParam [3] to [6]), so shadows clipping, per-tone saturation and the smoothing, which
    // read them, are left out; gamma, saturation and temperature apply.
    bool flat;
};
Tm31Constants tm31_constants(int docType, const float *tmParam, const float *lumParam, int outBits);

// One band of calc_tm3: dim[1] rows, every buffer pointing at the band's first row; the
// luminance already mapped. Sources: docType 0 an rgbeBuf, 1 and 2 interleaved 16- or 8-bit
// through curve, rows dim[5] samples apart (0: dim[6]). out: dim[4] 16 gives 16-bit samples,
// else 8-bit; dim[2] samples a pixel, red, green and blue at 0, (dim[2] - 1) / 2 and dim[2] - 1
// (red and blue exchanged when dim[7] is non-zero), rows dim[6] samples apart; other samples
// untouched. Out of core (opt.readFromDisk) the rows of the rgbeBuf source come from the Radiance
// file at opt.tmpPath[0] (source not read). Returns the rows written; -3 a null pointer, or out
// of core a docType other than 0 or a null path; -4 out of memory; out of core -1 the file
// cannot be opened, -2 it does not hold the image whole.
int tm31(int docType, const float *tmParam, const float *lumParam, const float *table,
         const float *curve, const void *source, dim_param dim, optim_param_struct opt,
         const float *luminance, void *out);

// The shared arguments of the bands of one calc_tm3 call (dim for the whole image).
struct tm3_args {
    int docType;
    dim_param dim;
    const float *tmParam, *lumParam, *table, *curve;
    optim_param_struct opt;
    const void *source;
    const float *luminance;
    void *out;
};
// One band: tm31 on rows band.begin .. band.end - 1. Returns its result.
int tm3_threaded(const tm3_args &args, const imagecore::Band &band);
