// Helpers shared by the aligner's transform fits: the exact affine solve through three pairs and
// the downhill simplex behind find_transform and find_affine.
#pragma once

namespace align::detail {

// The affine transform through three pairs, given as 12 floats, pair by pair x, y (source),
// X, Y (target): the 6 x 6 system of the rows [x, y, 0, 0, 1, 0] = X and [0, 0, x, y, 0, 1] = Y
// solved in double precision by gauss_elim. Writes a, b, c, d, e, f to abcdef (6 doubles).
// Returns 1; -1 when the system is singular (collinear sources) or the solution is not finite
// (abcdef then unspecified).
int solve_affine3(const float *pairs, double *abcdef);

// Which member of the simplex minimisation runs: its residual, pass limit and tolerance.
enum class SimplexFit { Projective, Affine };

// The minimisation of find_transform (Projective) and find_affine (Affine) with the same
// arguments and results; passes, when not null, receives the number of passes that ranked the
// simplex (0 on an argument error).
int downhill_simplex(SimplexFit fit, int ndim, int n, const int *x, const int *y, const int *X,
                     const int *Y, const float *start, float *result, int *passes);

} // namespace align::detail
