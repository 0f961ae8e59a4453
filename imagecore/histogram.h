// Percentile of a histogram of counts. It sits here, below the kernels, because the tone
// mapping's histogram routines and the HDR denoisers' statistics both read it.
#pragma once

// The bin holding a fraction of total counts: target = trunc(total x fraction), the product in
// single precision; the first bin i whose running sum hist[0] + ... + hist[i] exceeds the
// target (0 when hist[0] already does), nbins when none does. Returns 0 when nbins < 1; -3 when
// hist is null with nbins >= 1.
int percentile(long total, int nbins, const int *hist, float fraction);
