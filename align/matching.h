// Point pairs from two lists of feature points, and the projective transform fitted to them:
// nearest-descriptor matching inside a shift window with a ratio test, then a seeded
// random-sample search of exact four-pair fits and a least-squares refinement over the pairs of
// the best samples. Transforms are the 8-float record of align/projective.h and map a side-A
// point (earlier photo) to its side-B point (later photo).
#pragma once

#include "align/align_context.h"

inline constexpr int kMaxCandidatePairs = 100000;

// Matches the nA points of side A with the nB points of side B (kvdetect's lists: x, y, scale,
// 64-float descriptors; B in detection order, sorted by y). For each A point the B points inside
// the window |dx| <= maxShiftX, |dy| <= maxShiftY and the scale band are compared by squared
// descriptor distance; the nearest is kept when it is below 1e8 and at most 0.4 times the second
// nearest; each B point keeps only its nearest A point (the first on equal distances). The scale
// band is |scale B - scale A| <= 50; the scan of B ends at the first point in the band whose y
// lies past the window.
// Writes min(candidates, maxPairs) pairs in ascending distance (the earlier candidate first on
// ties) into x1, y1 (A point), x2, y2 (B point) and distance, each maxPairs long.
// Returns the pair count; -3 for a negative count, budget or a null pointer where one is read;
// -4 when memory runs out.
int find_paires(int maxPairs, int maxShiftX, int maxShiftY, int nA, const int *xA, const int *yA,
                const int *scaleA, const float *descA, int nB, const int *xB, const int *yB,
                const int *scaleB, const float *descB, int *x1, int *y1, int *x2, int *y2,
                float *distance);

// Fits the transform mapping (x1, y1) to (x2, y2) over nPairs pairs of width x height photos.
// Every pair is used: each of the first nPairs - 1 pairs, ranked by whole descriptor distance
// (stable), anchors samples of four drawn from them and pair 0 (taken again as the last
// position); the draws come from ctx's random sequence, so the draws of a run
// depend on the order of its calls. A sample fit must be plausible (shift within a fifth of the
// width, a and e within 0.7..1.3 in magnitude, |b| and |d| below 0.3); the best samples' pairs
// are refined by least squares (residuals / 1000, ftol 1e-6, 99999 evaluations). nThreads is
// not used.
// Returns the refinement's final residual norm (0 or more, finite) with the 8 values in
// transform; -1 with the identity in transform when no transform is found (too few pairs, fewer
// than 5 inliers for the best sample, an implausible shift, or a fit whose parameters or mapped
// frame corners are not finite); -3 for a null pointer, a side below 1 or a negative count;
// -4 when memory runs out (transform then holds the identity).
float find_at9(AlignContext *ctx, int width, int height, int nPairs, const int *x1, const int *y1,
               const int *x2, const int *y2, const float *distance, float *transform, int nThreads);

// Whether a step's fitted transform t (mapping the earlier photo's points to the later one's,
// photos of width x height) stands for the camera's motion: enough of the step's nPairs pairs
// agree with it (the mapped point, in single precision and truncated, less than 2 pixels from
// its match: at least 12 pairs and 15 % of them) and the motion is one a hand-held camera makes
// between two shots (at the frame's centre and corners the local scale within 3 % of 1 and the
// shear at most 0.01). A transform that maps a frame corner to no finite point is refused.
// Returns false as well for a null pointer, a side below 1 or no pairs.
bool step_accepted(const float *t, int width, int height, int nPairs, const int *x1, const int *y1,
                   const int *x2, const int *y2);

// The transform through four pairs, given as 16 floats, pair by pair x1, y1, x2, y2: the affine
// transform through the first three pairs, then a least-squares fit of all 8 parameters to the
// four pairs (coordinates truncated to integers) with at most 150 evaluations.
// Returns 1 with the 8 values in transform; -1 when the affine start is singular (transform
// untouched), or when the fit's final norm is above 10 or its parameters are not finite
// (transform written all the same); -3 for a null pointer or a coordinate that is not finite
// or out of the int range; -4 when memory runs out.
int calc_transform4(const float *pairs, float *transform);

// The data block of the residual functions: pair k is (x1[k], y1[k]) -> (x2[k], y2[k]).
struct PairBlock {
    const int *x1;
    const int *y1;
    const int *x2;
    const int *y2;
};

// Residual functions for lmmin (data: a PairBlock): for pair k < m / 2, with (X, Y) the image of
// (x1[k], y1[k]) under par (a..h, double precision), fvec[2k] = x2[k] - X and
// fvec[2k + 1] = y2[k] - Y; evaluate_transform divides both by 1000. An odd last residual is 0;
// info is not touched.
void evaluate_single_transform8(const double *par, int m, const void *data, double *fvec,
                                int *info);
void evaluate_transform(const double *par, int m, const void *data, double *fvec, int *info);
