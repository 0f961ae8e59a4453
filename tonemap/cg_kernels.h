// Vector kernels of the conjugate-gradient Poisson solver of the local operator: the 5-point
// Laplacian of one pyramid level (interior rows in row bands, or in place through a three-row
// window), the dot product and the scaled sum (in chunks of elements), and their single-thread
// forms. All arithmetic is single precision; every buffer is caller-owned.
#pragma once

#include <cstdint>

#include "imagecore/banded.h"
#include "tonemap/thread_count.h"

// y = A x over a level of w x h floats, row-major, A the discrete Laplacian: each cell gets the
// sum of its neighbours minus k times itself, k the number of neighbours (4 inside, 3 on an edge,
// 2 in a corner). With is360 non-zero the first and last columns of every row are neighbours and
// every top-row cell also has the top row's middle cell x(0, w / 2), so top-row cells count 4
// neighbours and the bottom corners 3. x and y are distinct arrays of w x h floats. The top and
// bottom rows are computed on the calling thread, the interior rows in threads.count row bands.
// Returns h; -3 when w or h is below 2, a pointer is null or x is y (nothing written then).
int tm20m(ThreadCount threads, int w, int h, int is360, const float *x, float *y);

// Rows 1 .. h - 2 of tm20m, in threads.count row bands (never more than h; one band runs on the
// calling thread). When a band thread cannot start, every interior row is computed again on the
// calling thread. Returns h; -3 as tm20m.
int tm20mi(ThreadCount threads, int w, int h, int is360, const float *x, float *y);

// The shared arguments of the bands of one tm20mi call.
struct tm20mi_args {
    int64_t w, h;
    int is360;
    const float *x;
    float *y;
};
// One band of tm20mi: its rows of 1 .. h - 2, from the region that reaches one row past the
// band on each side. Returns the rows written.
int tm20mi_threaded(const tm20mi_args &args, const imagecore::Band &band);

// Rows 1 .. rows - 2 of the region of rows rows that starts at element offset start of x, written
// at the same places of y; the region's first and last rows are only read. Returns the rows
// written (0 when rows is below 3); -3 when w is below 2, start is negative or a pointer is null.
int tm20mi_orig(int w, int rows, int is360, int64_t start, const float *x, float *y);

// x = A x in place (values equal to tm20m's), through a window of three rows. Returns h; -3 when
// w is below 2, h below 3 or x is null; -4 when the window cannot be allocated (x unchanged).
int tm20m_streaming(int w, int h, int is360, float *x);

// Rows r0 .. r1 - 1 of tm20m's y over a level of w x h, written to out (r1 - r0 rows), from rows:
// x's rows max(r0 - 1, 0) .. min(r1 + 1, h) - 1, the rows those need, so a level held in a file
// is taken a strip at a time with the values of tm20m. Returns r1 - r0; -3 when w or h is below
// 2, the rows are not 0 <= r0 < r1 <= h, or a pointer is null.
int tm20m_strip(int w, int h, int is360, int r0, int r1, const float *rows, float *out);

// s plus the dot product of n elements of x and y, accumulated in index order in single
// precision: the single-thread sum from s = 0, or a strip of a longer vector from its sum so far.
float tm20d_accumulate(float s, int n, const float *x, const float *y);

// Dot products are summed in chunks of kDotChunk elements, each chunk from 0 in index order, and
// the chunk sums added in chunk order, so a sum is the same at every thread count and on every
// machine (the chunks are bands' work, never one chunk a thread).
inline constexpr int kDotChunk = 8192;

// *result = the dot product of the first n elements of x and y, summed as above, the chunks in
// threads.count bands (below 2 on the calling thread; a band whose thread cannot start runs on
// another). Returns n; -3 when n is negative or a pointer is null; -4 out of memory.
int tm20d(ThreadCount threads, int n, const float *x, const float *y, float *result);

// The same sum over a vector taken in strips of any length, in order (the out-of-core solve):
// add each strip, then sum() gives tm20d's value over all the elements added.
class ChunkedDot {
public:
    void add(int n, const float *x, const float *y);
    float sum() const;

private:
    float m_total = 0.0f, m_part = 0.0f;
    int64_t m_done = 0;
};

// The conjugate-gradient passes fused, for levels in memory (fewer sweeps over the vectors, the
// values of the kernels they replace):
// t = A p over a w x h level (tm20m's values) and *pt = p . t (tm20d's), chunk by chunk, each
// chunk summed while its elements are in cache. Returns h; -3 as tm20m (or a null pt, or more
// than INT_MAX elements); -4 out of memory.
int tm20md(ThreadCount threads, int w, int h, int is360, const float *p, float *t, float *pt);
// x = x + alpha p and r = r - alpha t (tm20a's values), then *rr = r . r (tm20d's), chunk by
// chunk; the four vectors are distinct. Returns n; -3 a negative n or a null pointer; -4 out of
// memory.
int tm20aad(ThreadCount threads, int n, float alpha, const float *p, const float *t, float *x,
            float *r, float *rr);

// out[i] = x[i] + a y[i] for i below n, in chunks as tm20d; out may be x or y (each element is
// read and written by one worker). Chunks whose thread cannot start run on the calling thread
// after the others. Returns n; -3 when n is negative or a pointer is null.
int tm20a(ThreadCount threads, int n, const float *x, const float *y, float *out, float a);

// The shared arguments of the chunks of one tm20d or tm20a call; out is tm20a's output vector or
// tm20d's array of partial sums (one per chunk).
struct tm20_chunk {
    int64_t n;
    float a;
    const float *x;
    const float *y;
    float *out;
};
// One chunk: tm20d's writes the chunk's sum to out[chunk.index], tm20a's its elements of out.
// Return the elements done.
int tm20d_threaded(const tm20_chunk &args, const imagecore::Band &chunk);
int tm20a_threaded(const tm20_chunk &args, const imagecore::Band &chunk);

// The single-thread forms: out[i] = a y[i] + x[i] (out may be x or y; nothing when n < 1);
// *result = the sum of x[i] y[i] from 0 in index order (0 when n < 1). Return n (0 when n < 1);
// -3 when a pointer is null.
int tm20a_orig(int n, const float *x, const float *y, float *out, float a);
int tm20d_orig(int n, const float *x, const float *y, float *result);
