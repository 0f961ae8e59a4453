// Stage 1 of the local operator: gradient attenuation. The log luminance of the source, a
// binomial pyramid of it, on every level the gradient magnitudes turned into factors
// ((m + eps) / alpha)^e that shrink large gradients and lift small ones, the factors of several
// levels multiplied together, and the divergence of the attenuated gradients: the right-hand
// side of the Poisson equation that stage 2 solves. calc_tm1 (tonemap/deredid_stages.h) picks
// the variant.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imagecore/banded.h"
#include "tonemap/deredid_stages.h"

// Slider mode: levels 0 .. max(A - 2, 0) (A the level count of pyramid A) each get the product
// of their own factors and those of the next four or five levels, and a right-hand side of
// their own. Arguments and results as calc_tm1.
int calc_tm1new(int docType, const float *tmParam, const tm_dims *dims, float *lumParam,
                const float *table, const float *curve, dim_param dim, void *hdrInfos,
                optim_param_struct opt, void *source, size_t sourceCapacity, float *work);

// Light mode: one product over every level and one right-hand side at level 0, values beyond
// +-100 set to 0. Arguments and results as calc_tm1.
int calc_tm1old(int docType, const float *tmParam, const tm_dims *dims, float *lumParam,
                const float *table, const float *curve, dim_param dim, void *hdrInfos,
                optim_param_struct opt, void *source, size_t sourceCapacity, float *work);

// Moves a quantile fraction away from the ends of a histogram of bins bins holding total
// samples: while the first bin whose running count exceeds (int)(total x fraction) lies above
// 90 % of the bins the fraction shrinks by 1 %, below 25 % it grows by 1 %. *GlobalCntAdjust
// counts the calls of one adjustment (the caller sets it to 1 first); from 40 on the fraction
// comes back unchanged. Returns the fraction reached; the fraction itself when histogram or
// GlobalCntAdjust is null.
float adjust_percentile(int64_t total, int bins, const int *histogram, float fraction,
                        int *GlobalCntAdjust);

// The shared arguments of the bands of one level's attenuation.
struct tm1b_args {
    int64_t width, height;
    int64_t offset; // of the level in work
    float *work;
    float alpha, e, epsilon;
};
// One band: rows band.begin .. band.end - 1 of the level through tm1b. Returns the rows done.
int tm1b_threaded(const tm1b_args &args, const imagecore::Band &band);
