// The tables of the fusion weight stage, built once per fusion before the pixel loop, so that a
// pixel costs three curve reads, one accentuation read and a multiply per photo.
#pragma once

namespace fusion::detail {

// Sample range S and mid-grey of a source depth: 256 / 128 for 8 bits, 65536 / 32768 otherwise.
inline int sample_range(int bpsIn)
{
    return bpsIn == 8 ? 256 : 65536;
}

// Accentuation exponent: 2^(p0 / 5 + 0.5) for p0 >= 0, else 2^(p0 / 10 + 0.5).
double accent_exponent(float accentuation);

// The exponents of the Shadows curve for a photo whose saturated fraction is f (compared in double
// precision): expA = p2 + 1 below 0.2, else (p2 - 1) x 0.5 + 2; expB = 2 below 0.05, p2 + 1 above
// 0.2, linear from 2 to p2 + 1 between.
void shadow_exponents(float shadows, float saturatedFraction, double *expA, double *expB);

// One photo's weight curve of S floats: the bell exp(-12.499999 ((v - mid) / S)^2) in single
// precision; when shadows > 0, 1 - (1 - 2v / S)^expB below mid and 1 - (2v / S - 1)^expA /
// 0.640625^expA from mid on, both at least 0 (bases in single precision, powers in double).
void weight_curve(int S, float shadows, float saturatedFraction, float *curve);

// Per photo a BlendingPoint factor from its place j in photoOrder (0 the brightest): with
// m = n / 2, (2^((m - j) / m x p1 x 0.25))^2, at least 0.1, the quotient in single precision.
// All 0 (no factor) when trunc(p1) is 0 or n is 1.
void blend_factors(int n, float blendingPoint, const int *photoOrder, float *factors);

// 65536 floats indexed by a combined weight i: i / 65536 for 32-bit output, else
// (max(0, 1 - i / 65536) + 0.000001)^-e, the base in single precision, the power in double, at
// most 1e30 (reached only past the settings' range, from Accentuation 10.7 on).
void accent_curve(bool is32, double e, float *curve);

} // namespace fusion::detail
