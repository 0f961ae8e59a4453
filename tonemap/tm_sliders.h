// Slider mappings and histogram routines of the tone-mapping module: power-law mappings between
// a 0..100 slider position and a parameter value, and histograms of 8-bit previews and of float
// values. percentile lives in imagecore (the HDR statistics read it too).
#pragma once

#include <cstdint>

#include "imagecore/histogram.h"

// Each mapping rounds its value v by truncating it and adding 1 when the fraction exceeds 0.5
// (exactly 0.5 goes down); results beyond the int range saturate, NaN gives 0.
// round(200000 x (slider / 100)^exponent).
int slider2param(int slider, double exponent);
// round(100 x (parameter / 200000)^exponent).
int param2slider(float parameter, double exponent);
// round(100 x (parameter / 10)^exponent).
int paramf2slider(float parameter, double exponent);

// Adds the w x h pixels of an 8-bit interleaved preview (spp bytes a pixel, no row padding; R, G,
// B at offsets 0, (spp - 1) / 2, spp - 1) to hist[1024]: hist[(54 R + 183 G + 19 B) >> 8],
// hist[256 + R], hist[512 + G] and hist[768 + B] each gain 1. The table is not cleared first.
// Returns w x h; 0 when w or h is below 1 (nothing added); -3 when a pointer is null, spp < 1
// or w x h exceeds the int range.
int histo4preview(int w, int h, int spp, const uint8_t *pixels, int *hist);

// The largest of the 256 counts of hist, at least 1; 1 when they sum to less than 1. -3 when hist
// is null.
int getHistoMax(const int *hist);

// Adds n values to hist[nbins]: bin trunc((value - min) x (nbins - 1) / (max - min)), clamped to
// 0..nbins - 1 (a value at max lands in the last bin, NaN in bin 0). The table is not cleared
// first. Returns n; -1 when min >= max (or either is NaN); 0 when n < 1; -3 when nbins < 1 or a
// pointer is null.
long log_histo(long n, int nbins, const float *values, int *hist, float min, float max);
