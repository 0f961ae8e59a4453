// Conjugate gradients on one level of the slider-mode Poisson solve, written once over the vector
// operations, which the level's vectors in memory and those in temporary files (the out-of-core
// mode) each provide: both run the same operations in the same order on the same kernels.
#pragma once

#include <cstring>
#include <vector>

#include "tonemap/cg_kernels.h"
#include "tonemap/detail/deredid_levels.h"
#include "tonemap/tm_params.h"

namespace tonemap::detail {

// The vectors of a level: right-hand side, solution, residual, operator product, direction.
enum CgVector { kCgB, kCgX, kCgR, kCgT, kCgP, kCgVectors };

// Ops provides, each returning a negative code on failure (which ends the solve with it):
// laplacian(src, dst) dst = A src; axpy(out, x, y, a) out = x + a y; copy(dst, src); dot(x, y,
// &sum); and two passes with the values of those operations in sequence: laplacian_dot()
// t = A p, then p . t; step(alpha, &rr) x = x + alpha p, r = r - alpha t, then r . r.
// Returns the completed iterations (see tm20).
template <class Ops> int conjugate_gradients(float tolerance, int maxIter, Ops &v)
{
    float rho = 0;
    int rc;
    if ((rc = v.laplacian(kCgX, kCgT)) < 0 || (rc = v.axpy(kCgR, kCgB, kCgT, -1.0f)) < 0 ||
        (rc = v.copy(kCgP, kCgR)) < 0 || (rc = v.dot(kCgR, kCgR, &rho)) < 0)
        return rc;
    const float threshold = tolerance * rho;
    int done = 0;
    for (int it = 0; it < maxIter; ++it) {
        float d = 0;
        if ((rc = v.laplacian_dot(&d)) < 0)
            return rc;
        if (d == 0)
            break;
        const float alpha = rho / d;
        float rhoNew = 0;
        if ((rc = v.step(alpha, &rhoNew)) < 0)
            return rc;
        if (rhoNew < threshold)
            break;
        if ((rc = v.axpy(kCgP, kCgR, kCgP, rhoNew / rho)) < 0)
            return rc;
        rho = rhoNew;
        ++done;
    }
    return done;
}

// A level's vectors in memory, w x h floats each; the direction is kept over the right-hand
// side, which the solve consumes.
struct MemoryCg {
    int w, h, is360;
    ThreadCount threads;
    float *vec[kCgVectors];

    MemoryCg(int w_, int h_, int is360_, ThreadCount th, float *b, float *x, float *r, float *t)
        : w(w_), h(h_), is360(is360_), threads(th), vec{b, x, r, t, b}
    {
    }
    int laplacian(int src, int dst) { return tm20m(threads, w, h, is360, vec[src], vec[dst]); }
    int axpy(int out, int x, int y, float a)
    {
        return tm20a(threads, w * h, vec[x], vec[y], vec[out], a);
    }
    int copy(int dst, int src)
    {
        if (vec[dst] != vec[src])
            std::memcpy(vec[dst], vec[src], size_t(w) * size_t(h) * sizeof(float));
        return 0;
    }
    int dot(int x, int y, float *sum) { return tm20d(threads, w * h, vec[x], vec[y], sum); }
    int laplacian_dot(float *pt) { return tm20md(threads, w, h, is360, vec[kCgP], vec[kCgT], pt); }
    int step(float alpha, float *rr)
    {
        return tm20aad(threads, w * h, alpha, vec[kCgP], vec[kCgT], vec[kCgX], vec[kCgR], rr);
    }
};

// The slider-mode solve of calc_tm2new2 out of core, for three levels or more: the pyramid lv
// of work goes to a temporary file (path slot 1), the two finest levels are solved with their
// vectors in four more (slots 2 to 5), streamed in strips, the coarser ones in work; all on the
// calling thread. Leaves exp of level 0's solution in the first lv[0] pixels of work. Returns
// the pixels of level 0; -1 a temporary file that cannot be created; -2 the pyramid cannot be
// written; -20 a strip that cannot be read or written.
int solve_out_of_core(const std::vector<Level> &lv, int maxIter, float base, int is360, float *work,
                      const optim_param_struct &opt);

} // namespace tonemap::detail
