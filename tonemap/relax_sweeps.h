// Red-black Gauss-Seidel sweeps over one pyramid level of the Poisson equation
// Laplacian(u) = s x f: the smoother of the multigrid solver. Cell (r, c) is red when r + c is
// even. A cell reads only cells of the other colour (but for the 360-degree wrap within its own
// row and the top row's far neighbour), so the interior rows of one colour can be relaxed in row
// bands and still give exactly the values of the single-thread sweep.
#pragma once

#include <cstdint>
#include <cstdio>

// Level layout of every function here: the level is w x h floats, row-major, at element offset
// o of u (the solution, updated in place) and of f (the right-hand side, read only); s is the
// level's scale. is360 non-zero joins column 0 and column w - 1 of every row and gives the top
// row the cell u(0, w / 2) as a fourth neighbour. A sweep relaxes the red cells (top row,
// interior rows, bottom row), then the black ones the same way; each row left to right.

// Levels of this many pixels or fewer are relaxed on the calling thread by blur0: a banded call
// costs 1 to 5 microseconds, a half-sweep of the level about as much (0.1 to 24 MP solves, 1 and 8
// threads: bench/README.md, bench_tonemap_multigrid).
inline constexpr int64_t kBlurMinThreadedPixels = 4096;

// The record of one band of blur2i.
struct blur_band_record {
    int64_t w;
    int64_t h;
    float s;
    int64_t o;
    int is360;
    int colour; // 0 red, 1 black
    float *u;
    const float *f;
    int band;      // 0 .. bandCount - 1
    int bandCount; // the level's rows split as the banded runner splits them
};

// sweeps sweeps on the calling thread. streaming non-zero reads f row by row from stream instead
// (f is not read): the level's rows of floats from byte 4 x o, from the start for each colour of
// each sweep; the values are those of the sweep from memory.
// Returns 0 when sweeps < 1 (nothing done), else the number of sweeps run; -3 for a null array or
// stream, o < 0, or fewer than 2 rows or columns (u untouched); streaming only: -4 no memory for
// the row, -1 the stream cannot be positioned, -2 a row cannot be read whole (u then partly
// relaxed).
int blur1(int64_t w, int64_t h, int sweeps, int is360, int64_t o, float *u, int streaming,
          FILE *stream, const float *f, float s);

// The same sweeps with the interior rows of each colour in nbProc row bands (on the calling
// thread below 2; never more bands than rows). Gives exactly the values of blur1.
// Returns 1 (also when sweeps < 1, with nothing done); -3 for the bad arguments of blur1.
int blur2(int nbProc, int64_t w, int64_t h, int sweeps, int is360, int64_t o, float *u,
          const float *f, float s);

// Relaxes the cells of colour (0 red, 1 black) in rows 1 to h - 2, in nbProc bands of joinable
// threads. A band whose thread cannot start is relaxed on the calling thread after the join,
// so the values never depend on the threads. Arguments are not checked (blur2 checks them).
void blur2i(int nbProc, int colour, int64_t w, int64_t h, int is360, int64_t o, float *u,
            const float *f, float s);

// One band of blur2i (record: a blur_band_record): relaxes the band's rows through blur2i_orig
// over its region, which reaches one row above and below the band. Returns null.
void *blur2i_threaded(void *record);

// Relaxes the cells of colour in rows 1 to rows - 2 of the region of rows rows at element
// offset start (the region's row 0 counts as even: a caller whose region starts on an odd level
// row passes the other colour). Fewer than 3 rows: nothing to relax.
void blur2i_orig(int colour, int64_t w, int64_t rows, int is360, int64_t start, float *u,
                 const float *f, float s);

// Returns 1 when sweeps < 1; otherwise blur2 (f from memory, streaming not read) when
// nbProc > 1 and w x h > kBlurMinThreadedPixels, else blur1, and returns its result.
int blur0(int nbProc, int64_t w, int64_t h, int sweeps, int is360, int64_t o, float *u,
          int streaming, FILE *stream, const float *f, float s);
