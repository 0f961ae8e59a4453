// The projective transform of the feature-based aligner and the small dense solve its fits use.
// A transform is 8 floats a..h: (x, y) -> X = (a x + b y + c) / q, Y = (d x + e y + f) / q with
// q = (g / 100000) x + (h / 100000) y + 1; the perspective terms are carried scaled by 100000.
#pragma once

#include <cmath>

inline constexpr int kTransformSize = 8;
inline constexpr double kPerspectiveScale = 100000.0;

// Writes the identity (a = e = 1, all others 0) into t[8]. Returns 0; -3 for a null pointer.
inline int make_identity(float *t)
{
    if (!t)
        return -3;
    for (int i = 0; i < kTransformSize; ++i)
        t[i] = (i == 0 || i == 4) ? 1.0f : 0.0f;
    return 0;
}

// Maps (x, y) through t[8] in double precision, whatever the parameters' type (float for stored
// transforms, double inside the fits). A point on the vanishing line (q = 0) gives infinities or
// NaNs, which callers test with std::isfinite.
template <class P> inline void map_point(const P *t, double x, double y, double *X, double *Y)
{
    const double q =
        double(t[6]) / kPerspectiveScale * x + double(t[7]) / kPerspectiveScale * y + 1.0;
    *X = (double(t[0]) * x + double(t[1]) * y + double(t[2])) / q;
    *Y = (double(t[3]) * x + double(t[4]) * y + double(t[5])) / q;
}

// The stored form of one mapping: computed in double, kept as floats (the form each step of a
// chain of transforms takes).
inline void map_point_stored(const float *t, float x, float y, float *X, float *Y)
{
    double dx, dy;
    map_point(t, double(x), double(y), &dx, &dy);
    *X = float(dx);
    *Y = float(dy);
}

// True when the 8 parameters are finite and the four corners (0, 0), (width, 0), (0, height) and
// (width, height) of a width x height frame map to finite points: the test a fitted transform
// must pass before anything converts its results to integers.
bool transform_is_finite(const float *t, int width, int height);

// Solves the n x n system a x = b (a row-major, n x n doubles; b and x n doubles) by Gaussian
// elimination with partial pivoting: the pivot of column k is the first row at or below k with
// the largest magnitude. a and b are overwritten. Returns 1 with x written; -1 when a pivot is
// zero or not finite (x then unspecified); -3 for n < 1 or a null pointer.
int gauss_elim(int n, double *a, double *b, double *x);
