// Coarse-to-fine conjugate gradients for the slider mode of the local operator. The coarse
// level is solved tightly and cheaply; finer levels start near the solution, so a looser
// tolerance that grows with their size stops them after few iterations.
#include "tonemap/deredid_poisson.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "imagecore/banded.h"
#include "imagecore/float_clamp.h"
#include "tonemap/cg_kernels.h"
#include "tonemap/detail/deredid_levels.h"
#include "tonemap/multigrid.h"

using tonemap::detail::Level;

namespace {

// tm20 with its residual r and operator product t given (n floats each).
int conjugate_gradients(float tolerance, int w, int h, int maxIter, int is360, ThreadCount th,
                        float *b, float *x, float *r, float *t)
{
    const int n = w * h;
    tm20m(th, w, h, is360, x, t);
    tm20a(th, n, b, t, r, -1.0f);
    float *p = b;
    std::memcpy(p, r, static_cast<size_t>(n) * sizeof(float));
    float rho = 0;
    tm20d(th, n, r, r, &rho);
    const float threshold = tolerance * rho;
    int done = 0;
    for (int it = 0; it < maxIter; ++it) {
        tm20m(th, w, h, is360, p, t);
        float d = 0;
        tm20d(th, n, p, t, &d);
        if (d == 0)
            break;
        const float alpha = rho / d;
        tm20a(th, n, x, p, x, alpha);
        tm20a(th, n, r, t, r, -alpha);
        float rhoNew = 0;
        tm20d(th, n, r, r, &rhoNew);
        if (rhoNew < threshold)
            break;
        tm20a(th, n, r, p, p, rhoNew / rho);
        rho = rhoNew;
        ++done;
    }
    return done;
}

} // namespace

int tm20(float tolerance, int w, int h, int maxIter, int is360, ThreadCount threads, float *b,
         float *x)
{
    if (!b || !x || w < 2 || h < 2 || int64_t(w) * h > INT_MAX)
        return -3;
    try {
        std::vector<float> r(static_cast<size_t>(w) * static_cast<size_t>(h));
        std::vector<float> t(r.size());
        return conjugate_gradients(tolerance, w, h, maxIter, is360, threads, b, x, r.data(),
                                   t.data());
    } catch (const std::bad_alloc &) {
        return -4;
    }
}

int calc_tm2new2(int levels, const float *tmParam, float *work, dim_param dim,
                 optim_param_struct opt)
{
    if (!tmParam || !work)
        return -3;
    const int W = dim.v[kDimWidth], H = dim.v[kDimHeight];
    if (W < 1 || H < 1)
        return 0;
    if (W < 2 || H < 2 || int64_t(W) * H > INT_MAX)
        return -3;
    if (opt.readFromDisk && levels >= 3)
        return -1;
    // At least level 0: a right-hand side is no luminance.
    const std::vector<Level> lv = tonemap::detail::halving_levels(W, H, std::max(levels, 1));
    const int maxIter = tonemap::detail::cg_max_iterations(tmParam[kDeSliderSmoothing]);
    const float base = tonemap::detail::cg_base_tolerance(tmParam[kDeSolverTolerance]);
    const int is360 = imagecore::clamp_to_int(tmParam[kDeIs360]);
    const int n = W * H;
    try {
        // x holds the current level's solution from its start; the coarser one is spread into
        // r, whose role the two then swap, so no level reads what it has already overwritten.
        std::vector<float> x(static_cast<size_t>(n), 0.0f), r(x.size()), t(x.size());
        for (size_t k = lv.size(); k-- > 0;) {
            const Level &l = lv[k];
            const float tol =
                base * tonemap::detail::cg_tolerance_factor(l.w, l.h, k + 1 == lv.size());
            const int rc = conjugate_gradients(tol, int(l.w), int(l.h), maxIter, is360,
                                               level_threads(opt.nbProc, l.pixels()),
                                               work + l.offset, x.data(), r.data(), t.data());
            if (rc < 0)
                return rc;
            if (k > 0) {
                tonemap::detail::prolongate(x.data(), l.w, l.h, r.data(), lv[k - 1].w, lv[k - 1].h,
                                            is360);
                std::swap(x, r);
            }
        }
        imagecore::run_banded(
            power_level_threads(opt.nbProc, n).count, H, [&](const imagecore::Band &band) {
                for (int64_t i = int64_t(band.begin) * W; i < int64_t(band.end) * W; ++i)
                    work[i] = std::exp(x[size_t(i)]);
            });
    } catch (const std::bad_alloc &) {
        return -4;
    }
    return n;
}

int calc_tm2(int width, int height, int64_t total, int levels, const float *tmParam, float *work,
             dim_param dim, optim_param_struct opt)
{
    if (!tmParam || !work)
        return -3;
    if (!deredid_slider_mode(tmParam))
        return calc_tm2old(width, height, total, levels, imagecore::clamp_to_int(tmParam[kDeIs360]),
                           work, dim, opt);
    levels = std::max(levels, 1);
    // The slider levels must lie inside the buffer the caller sized to the pyramid's total.
    const std::vector<Level> lv = tonemap::detail::halving_levels(
        std::max(dim.v[kDimWidth], 1), std::max(dim.v[kDimHeight], 1), std::max(levels - 1, 1));
    if (lv.back().offset + lv.back().pixels() > total)
        return -3;
    return calc_tm2new2(levels - 1, tmParam, work, dim, opt);
}
