// Stage 2 of the local operator in slider mode: the Poisson equation Laplacian(u) = b solved
// by conjugate gradients level by level, coarse to fine, each level started from the coarser
// solution spread over its grid; the light mode's multigrid solve is calc_tm2old
// (tonemap/multigrid.h). calc_tm2 (tonemap/deredid_stages.h) picks the solver.
#pragma once

#include "tonemap/deredid_stages.h"
#include "tonemap/thread_count.h"

// Solves levels 0 .. max(levels, 1) - 1 of the right-hand-side pyramid in work (level k of
// ceil-halved sides after level k - 1, back to back from level 0 = dim[0] x dim[1]; fewer levels
// when a side reaches 5 or less, as stage 1 builds them). Slots read: 15 is360, 17 the iteration
// budget, 18 the tolerance code. Level 0 is always solved. Each level's right-hand side is
// consumed; on success the first dim[0] x dim[1] floats hold exp of the solution and the rest
// of work is undefined. opt.nbProc threads on levels of at least kThreadedLevelPixels pixels
// (tonemap/thread_count.h). opt.readFromDisk with 3 levels or more solves out of core on the
// calling thread: the pyramid in a temporary file (path slot 1), the vectors of levels 0 and 1 in
// four more (slots 2 to 5) taken a strip at a time, the coarser levels in work; the values are
// those of the solve in memory on one thread. Returns dim[0] x dim[1]; 0 when a side is below 1;
// -3 for a null pointer, a side of 1 or more than INT_MAX pixels; -4 out of memory; out of core
// -1 a temporary file that cannot be created, -2 the pyramid cannot be written, -20 a strip that
// cannot be read or written. A failure leaves work undefined.
int calc_tm2new2(int levels, const float *tmParam, float *work, dim_param dim,
                 optim_param_struct opt);

// Conjugate gradients on A x = b over one w x h level (w, h >= 2), A the Laplacian of tm20m
// (is360 as there): at most maxIter iterations, ending when the squared residual falls below
// tolerance x its first value or the search direction meets A p . p = 0. x: the starting guess
// in, the solution out; b is consumed (it holds the search direction). Returns the number of
// completed iterations; -3 for a null pointer or a side below 2; -4 out of memory.
int tm20(float tolerance, int w, int h, int maxIter, int is360, ThreadCount threads, float *b,
         float *x);
