// Feature points of one 8-bit grey tile and their descriptors. The detector approximates the
// determinant of the Hessian with box filters of sizes 9, 15 and 21 on an integral image, keeps
// the 3 x 3 x 3 extrema of the middle size and refines them by a quadratic fit; the descriptor
// sums Haar-like responses over a fixed, unrotated 32 x 32 window (Bay et al., SURF, 2006).
#pragma once

#include <cstdint>

// Detection window: responses are computed this far from the tile's edges, extrema searched one
// pixel further in, so a tile needs 2 x 21 + 1 pixels a side to yield points.
inline constexpr int kDetectMargin = 20;
inline constexpr int kDescriptorSize = 64;

// Finds the feature points of a width x height grey tile (rows top to bottom, no padding).
//   nOctaves: below 1 gives no points; only the first octave is computed.
//   maxPoints: at most maxPoints + 1 points are kept, so xs, ys and scales must hold
//     maxPoints + 1 ints and descriptors (maxPoints + 1) x 64 floats. When more are found the
//     budget is shared by the cells of an 8 x 8 grid over the tile (round after round each cell
//     gives its next strongest point), so that the points cover the whole tile.
//   x0, y0: responses are computed from column x0 + 20 and row y0 + 20 on (0 for whole tiles).
//   nbProc: the tile's rows are split in nbProc bands (below 2, on the calling thread); the
//   points are the same at every thread count.
// Points come in scan order of the pixels they were found at (so by y, give or take the one
// pixel the refinement may move them): whole-pixel position, scale = 100 x the refined size
// offset in layer steps (|scale| <= 50), negative when the Laplacian at the point is negative,
// and a unit-length descriptor (all zero in a window without texture). A refinement system
// that cannot be solved drops the candidate with a line on standard error.
// Returns the count (0 or more); -3 for a null pointer, a side below 1, negative maxPoints, x0
// or y0, a side above 21474835 or a size that overflows; -4 when memory runs out.
int kvdetect(int nOctaves, int width, int height, int maxPoints, int x0, int y0,
             const unsigned char *grey, int nbProc, int *xs, int *ys, int *scales,
             float *descriptors);

// Describes count points of an integral image of width x height (integral[y x width + x] = sum
// of the grey values over columns 0..x and rows 0..y, wrapping modulo 2^32): 64 floats a point
// at descriptors + 64 x index, cell by cell of a 4 x 4 grid of 8 x 8 cells over columns
// x - 16 .. x + 15 and rows y - 16 .. y + 15, each cell's sum hx, sum |hx|, sum hy, sum |hy|
// over its four 4 x 4 squares, divided by the Euclidean norm when it is above 0. Each scale is
// made non-negative, then negated when the Laplacian Dxx + Dyy of the size-15 filter at the
// point is negative. Every point's window must lie inside the image: x - 16 >= 0 and
// x + 15 < width, rows alike.
// Returns count (0 when count < 1); -3 for a null pointer, a side below 1 or a point too close
// to an edge (nothing written then).
int kvdescriptor(int count, int width, int height, const int *xs, const int *ys, int *scales,
                 const unsigned int *integral, float *descriptors);

// Box sum over columns x0..x1 and rows y0..y1 of an integral image whose element (0, 0) is
// integral[base] and whose rows are stride elements apart, in modulo-2^32 arithmetic; column
// x0 - 1 and row y0 - 1 count as zero when they fall before the image (x0 or y0 of 0).
// Returns 0 for a null pointer, a negative start, or x1 < x0 or y1 < y0.
uint32_t sommation(int x0, int y0, int x1, int y1, int base, int stride,
                   const unsigned int *integral);
