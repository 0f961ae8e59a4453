// Operations around the alignment transforms: residuals of a transform over point pairs, exact
// fits through two or three pairs, downhill simplex fits (Nelder and Mead, 1965) of the summed
// absolute residuals, the affine-to-projective layout change, and three small helpers.
// Affine transforms are 6 floats a..f: (x, y) -> (a x + b y + c, d x + e y + f); projective
// ones the 8-float record of align/projective.h, of which the affine is the case g = h = 0.
#pragma once

// One point given by value.
struct FloatPoint {
    float x;
    float y;
};

// Copies the affine transform affine[6] into projective[8] with g = h = 0. The two may be the
// same array. Returns 0; -3 for a null pointer.
int convert_trans_6to8(const float *affine, float *projective);

// Residual of the transform at transforms + index over n pairs (x[k], y[k]) -> (X[k], Y[k]):
// the sum of |X - X'| + |Y - Y'|, (X', Y') the mapped source point, in single precision and
// truncated to an int. calc_diff4trans maps by the affine part a..f alone (6 floats read),
// calc_diff8trans by the projective mapping of all 8 floats (mapped in double precision, then
// stored as floats). The first argument is not read.
// Returns the residual (0 or more): 0 when n < 1, INT_MAX when the sum is not finite or does not
// fit an int; -3 for a null pointer or a negative index when n >= 1.
int calc_diff4trans(int nParams, int n, const float *transforms, int index, const int *x,
                    const int *y, const int *X, const int *Y);
int calc_diff8trans(int nParams, int n, const float *transforms, int index, const int *x,
                    const int *y, const int *X, const int *Y);

// The rotation plus translation taking p1 to q1 and the direction p1 - p2 to the direction
// q1 - q2: angle atan2(s, k) with s and k the sine and cosine components of the turn from
// u = p1 - p2 to v = q1 - q2, each divided by |u|^2; any length of v with |s| <= 1 is accepted
// and only the angle kept. Writes a = cos, b = -sin, c, d = sin, e = cos, f into affine[6].
// Returns 1; -1 (affine untouched) when p1 and p2 share an x or a y, when |s| > 1, or when an
// input or the result is not finite; -3 for a null pointer.
int trRot(float *affine, FloatPoint p1, FloatPoint p2, FloatPoint q1, FloatPoint q2);

// The affine transform mapping each source point p exactly to its target q, solved in double
// precision and written as floats a..f into affine[6].
// Returns 1; -1 (affine untouched) when the sources are collinear or the solution is not
// finite; -3 for a null pointer.
int calc_transform3(float *affine, FloatPoint p1, FloatPoint q1, FloatPoint p2, FloatPoint q2,
                    FloatPoint p3, FloatPoint q3);

// Downhill simplex minimisation of a transform's residual over n pairs (x, y) -> (X, Y), from
// the start simplex of ndim + 1 vertices of ndim floats (vertex after vertex), with integer
// residuals. find_transform: ndim 8, calc_diff8trans, at most 150000 passes, relative
// tolerance 0.0001. find_affine: ndim 6, calc_diff4trans, at most 15 passes, relative
// tolerance 0.001. The minimisation stops when the best and worst residuals differ by less
// than the tolerance relative to their sum, after the pass that finds a residual of 0, or at
// the pass limit; the best vertex of the last ranking is written to result (ndim floats).
// Returns 1; -3 for another ndim, a negative n or a null pointer; -4 when memory runs out
// (result untouched on every failure).
int find_transform(int ndim, int n, const int *x, const int *y, const int *X, const int *Y,
                   const float *start, float *result);
int find_affine(int ndim, int n, const int *x, const int *y, const int *X, const int *Y,
                const float *start, float *result);

// Squared distance of two descriptors: the sum of (A[indexA + i] - B[indexB + i])^2 for
// i < length, in single precision, written to *result.
// Returns length; 0 with *result = 0 when length < 1; -3 for a null pointer or a negative
// index (nothing written).
int descr_diff5(const float *A, int indexA, const float *B, int indexB, int length, float *result);

// One grey byte a pixel of the width x height photo that starts at sample offset of stack
// (interleaved, spp samples a pixel, bytes at bps 8, host-order 16-bit samples at bps 16):
// (54 s0 + 183 sm + 19 sl) >> 8 with s0 the pixel's first sample, sm its sample (spp - 1) / 2
// and sl its last, at 16 bits their high bytes. grey holds width x height bytes.
// Returns height; 0 (nothing written) when height < 1 or bps is neither 8 nor 16; -3 for a null
// pointer, width or spp below 1, a negative offset or a size that overflows.
int greyscale(int width, int height, int spp, int bps, int offset, const void *stack,
              unsigned char *grey);

// C = A x B for n x n row-major float matrices, each element summed over k from 0 upward in
// single precision. C must not overlap A or B.
// Returns n; 0 when n < 1 (nothing written); -3 for a null pointer.
int matrix_mult(int n, const float *A, const float *B, float *C);
