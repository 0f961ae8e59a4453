// The light-mode Poisson solve of the local operator: four multigrid V-cycles (red-black
// relaxation down and up an image pyramid, 2 x 2 averages between levels, piecewise-constant
// corrections, the coarsest level left unsolved) turn the right-hand side that stage 1 leaves
// into the log luminance, returned as linear luminance.
#pragma once

#include <cstdint>

#include "tonemap/tm_params.h"

// wC, hC: the coarsest level of pyramid A as tm_dim gave it (the solver works out its own level
// sizes from the image size and n, so these are not read); T: floats the work buffer holds
// (tm_dim's total of pyramid A or more); n: halvings below the full image (tm_dim's level
// count). A pyramid whose coarse levels would drop below 2 x 2 (a very elongated image) is
// solved with fewer halvings. is360 non-zero joins the left and right borders. work: on entry
// the first W x H floats hold the right-hand side, row-major; on success they hold exp(u), the
// solved luminance, and the rest of the T floats holds intermediate levels. dim: [0] W, [1] H.
// opt: nbProc worker threads (the sweeps of large levels run in row bands). opt.readFromDisk
// non-zero solves out of core, on the calling thread with the same values: f in a temporary file
// (path slot 1), the residual of a level and the solution it displaces in two more (slots 2 and
// 3), the solution pyramid in work; a slot's path must not exist yet (null: a new file in the
// system's temporary folder); all three are removed before the return, whatever it is.
// Returns H on success; -2 when n < 1; -3 for a null buffer, a side below 2 or a T too small
// for the levels; -4 when memory is short; out of core -1 a temporary file that cannot be
// created or positioned, -2 one that comes short. After a failure other than -2 and -3 the work
// buffer's contents are undefined.
int calc_tm2old(int wC, int hC, int64_t T, int n, int is360, float *work, dim_param dim,
                optim_param_struct opt);

// calc_tm2old with cycles V-cycles instead of four (0 writes exp of the zero start), so tests can
// watch the residual fall cycle by cycle. Same arguments and results otherwise.
int multigrid_solve(int cycles, int wC, int hC, int64_t T, int n, int is360, float *work,
                    dim_param dim, optim_param_struct opt);
