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
#include "tonemap/detail/conjugate_gradients.h"
#include "tonemap/detail/deredid_levels.h"
#include "tonemap/multigrid.h"

using tonemap::detail::Level;

int tm20(float tolerance, int w, int h, int maxIter, int is360, ThreadCount threads, float *b,
         float *x)
{
    if (!b || !x || w < 2 || h < 2 || int64_t(w) * h > INT_MAX)
        return -3;
    try {
        std::vector<float> r(static_cast<size_t>(w) * static_cast<size_t>(h));
        std::vector<float> t(r.size());
        tonemap::detail::MemoryCg v(w, h, is360, threads, b, x, r.data(), t.data());
        return tonemap::detail::conjugate_gradients(tolerance, maxIter, v);
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
    const int maxIter = tonemap::detail::cg_max_iterations(tmParam[kDeSliderSmoothing]);
    const float base = tonemap::detail::cg_base_tolerance(tmParam[kDeSolverTolerance]);
    const int is360 = imagecore::clamp_to_int(tmParam[kDeIs360]);
    const int n = W * H;
    try {
        // At least level 0: a right-hand side is no luminance.
        const std::vector<Level> lv = tonemap::detail::halving_levels(W, H, std::max(levels, 1));
        if (opt.readFromDisk && lv.size() >= 3)
            return tonemap::detail::solve_out_of_core(lv, maxIter, base, is360, work, opt);
        // x holds the current level's solution from its start; the coarser one is spread into
        // r, whose role the two then swap, so no level reads what it has already overwritten.
        std::vector<float> x(static_cast<size_t>(n), 0.0f), r(x.size()), t(x.size());
        for (size_t k = lv.size(); k-- > 0;) {
            const Level &l = lv[k];
            const float tol =
                base * tonemap::detail::cg_tolerance_factor(l.w, l.h, k + 1 == lv.size());
            tonemap::detail::MemoryCg v(int(l.w), int(l.h), is360,
                                        level_threads(opt.nbProc, l.pixels()), work + l.offset,
                                        x.data(), r.data(), t.data());
            const int rc = tonemap::detail::conjugate_gradients(tol, maxIter, v);
            if (rc < 0)
                return rc;
            if (k > 0) {
                tonemap::detail::prolongate(x.data(), l.w, l.h, r.data(), lv[k - 1].w, lv[k - 1].h,
                                            is360, level_threads(opt.nbProc, lv[k - 1].pixels()));
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
    try {
        const std::vector<Level> lv = tonemap::detail::halving_levels(
            std::max(dim.v[kDimWidth], 1), std::max(dim.v[kDimHeight], 1), std::max(levels - 1, 1));
        if (lv.back().offset + lv.back().pixels() > total)
            return -3;
    } catch (const std::bad_alloc &) {
        return -4;
    }
    return calc_tm2new2(levels - 1, tmParam, work, dim, opt);
}
