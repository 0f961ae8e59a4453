// Multigrid V-cycles for the Poisson equation of the local operator. Levels halve the image;
// when its sides are not multiples of 2^n the first coarse level is resampled to a multiple and
// the residual is carried down (and the correction up) through area-weighted footprints of 2 or
// 3 fine cells a side. Each level k relaxes Laplacian(u) = s_k x f with s_k ~ 4^k.
#include "tonemap/multigrid.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <stdexcept>
#include <vector>

#include "platform/checked_size.h"
#include "tonemap/relax_sweeps.h"

namespace {

constexpr int kCycles = 4;
constexpr int kMaxHalvings = 30; // a side of 2^31 or more is not an int

struct Level {
    int64_t w, h;
    int64_t offset; // in both pyramids
    float s;        // scale of the level's right-hand side
};

// Rows (or columns) of level 0 that one coarse cell of the resampled level 1 covers.
struct Footprint {
    int64_t start;
    float weight[3];
};

struct Pyramid {
    int n = 0;
    bool resampled = false;
    int spanX = 2, spanY = 2; // footprint sides of the resampled restriction
    float rx = 2, ry = 2;     // level-0 cells per level-1 cell
    int64_t total = 0;
    std::vector<Level> level; // n + 1
};

// Halvings below n until every level keeps at least 2 x 2 cells; then the level sizes: exact
// halvings when both sides are multiples of 2^n, else level 1 is the largest multiple below the
// image, halved, and every further level halves that exactly.
Pyramid plan(int64_t W, int64_t H, int n)
{
    Pyramid p;
    n = std::min(n, kMaxHalvings);
    while (n > 1 && ((W >> n) < 2 || (H >> n) < 2))
        --n;
    p.n = n;
    const int64_t D = int64_t(1) << n;
    p.resampled = W % D != 0 || H % D != 0;
    const int64_t W1 = W / D * D, H1 = H / D * D;
    p.level.resize(size_t(n) + 1);
    for (int k = 0; k <= n; ++k) {
        Level &l = p.level[size_t(k)];
        l.w = k == 0 ? W : (p.resampled ? W1 : W) >> k;
        l.h = k == 0 ? H : (p.resampled ? H1 : H) >> k;
        l.offset = p.total;
        p.total += l.w * l.h;
        const int64_t den = (l.w - 1) * (l.h - 1);
        l.s = den > 0 ? static_cast<float>((W - 1) * (H - 1) / den) : 0.0f; // level n: unused
    }
    if (p.resampled) {
        p.spanX = W % D == 0 ? 2 : 3;
        p.spanY = H % D == 0 ? 2 : 3;
        p.rx = static_cast<float>(W) / static_cast<float>(p.level[1].w);
        p.ry = static_cast<float>(H) / static_cast<float>(p.level[1].h);
    }
    return p;
}

// Level-0 cells under coarse index i: [i x ratio, (i + 1) x ratio) with the partial first and
// last cells weighted by their cover, all divided by the ratio.
Footprint footprint(int64_t i, float ratio, int span, int64_t fineSize)
{
    const float x0 = static_cast<float>(i) * ratio, x1 = static_cast<float>(i + 1) * ratio;
    float a = std::floor(x0) + 1.0f - x0, b = x1 - std::floor(x1);
    if (a < 1e-30f)
        a = 1.0f;
    if (b < 1e-30f)
        b = 1.0f;
    const float inv = 1.0f / ratio;
    Footprint fp{static_cast<int64_t>(std::floor(x0)), {a * inv, inv, b * inv}};
    if (fp.weight[0] + fp.weight[1] + fp.weight[2] < 0.9f)
        fp.weight[2] = 1.0f - fp.weight[0] - fp.weight[1];
    // Rounding of x0 can push the last footprint one cell past the image.
    fp.start = std::clamp<int64_t>(fp.start, 0, fineSize - span);
    return fp;
}

class Multigrid {
public:
    Multigrid(const Pyramid &p, int is360, int nbProc, float *rhs)
        : m_p(p), m_is360(is360), m_nbProc(nbProc), m_rhs(rhs),
          m_u(size_t(p.total), 0.0f), m_scratch(size_t(p.level[0].w * p.level[0].h))
    {
    }

    void cycle()
    {
        const int n = m_p.n;
        for (int k = 0; k <= n - 2; ++k) {
            relax_down(k, 3);
            residual(k);
            if (k == 0 && m_p.resampled)
                restrict_resampled();
            else
                restrict_standard(k);
            const Level &c = m_p.level[size_t(k) + 1];
            std::fill_n(m_u.begin() + c.offset, c.w * c.h, 0.0f);
        }
        // The coarsest level stays at zero: no relaxation, no direct solve.
        relax_down(n - 1, 3);
        relax_up(n - 1, 2);
        for (int k = n - 2; k >= 0; --k) {
            if (k == 0 && m_p.resampled)
                prolong_resampled();
            else
                prolong_standard(k);
            relax_up(k, 2);
        }
    }

    void write_exp(float *out) const
    {
        const int64_t cells = m_p.level[0].w * m_p.level[0].h;
        for (int64_t i = 0; i < cells; ++i)
            out[i] = std::exp(m_u[size_t(i)]);
    }

private:
    // Bands cost more than they save on small levels on the way down.
    void relax_down(int k, int sweeps)
    {
        const Level &l = m_p.level[size_t(k)];
        blur0(m_nbProc, l.w, l.h, sweeps, m_is360, l.offset, m_u.data(), 0, nullptr, m_rhs, l.s);
    }

    void relax_up(int k, int sweeps)
    {
        const Level &l = m_p.level[size_t(k)];
        if (m_nbProc > 1)
            blur2(m_nbProc, l.w, l.h, sweeps, m_is360, l.offset, m_u.data(), m_rhs, l.s);
        else
            blur1(l.w, l.h, sweeps, m_is360, l.offset, m_u.data(), 0, nullptr, m_rhs, l.s);
    }

    // res = f + G / s into the scratch, G = (neighbour count) x u - neighbours in double; the
    // same neighbours as the relaxation but for the corners, which keep the plain form in the
    // 360-degree mode.
    void residual(int k)
    {
        const Level &l = m_p.level[size_t(k)];
        const int64_t w = l.w, h = l.h;
        const float *u = m_u.data() + l.offset, *f = m_rhs + l.offset;
        const double inv = 1.0f / l.s;
        float *res = m_scratch.data();
        auto at = [&](int64_t r, int64_t c) { return static_cast<double>(u[r * w + c]); };
        for (int64_t r = 0; r < h; ++r) {
            for (int64_t c = 0; c < w; ++c) {
                const double x = at(r, c);
                double g;
                if (r == 0) {
                    if (c == 0)
                        g = 2 * x - at(0, 1) - at(1, 0);
                    else if (c == w - 1)
                        g = 2 * x - at(0, c - 1) - at(1, c);
                    else if (m_is360)
                        g = 4 * x - at(0, w / 2) - at(0, c - 1) - at(0, c + 1) - at(1, c);
                    else
                        g = 3 * x - at(0, c - 1) - at(0, c + 1) - at(1, c);
                } else if (r == h - 1) {
                    if (c == 0)
                        g = 2 * x - at(r, 1) - at(r - 1, 0);
                    else if (c == w - 1)
                        g = 2 * x - at(r, c - 1) - at(r - 1, c);
                    else
                        g = 3 * x - at(r, c - 1) - at(r, c + 1) - at(r - 1, c);
                } else if (c == 0) {
                    g = m_is360 ? 4 * x - at(r - 1, 0) - at(r + 1, 0) - at(r, w - 1) - at(r, 1)
                                : 3 * x - at(r - 1, 0) - at(r + 1, 0) - at(r, 1);
                } else if (c == w - 1) {
                    g = m_is360 ? 4 * x - at(r - 1, c) - at(r + 1, c) - at(r, c - 1) - at(r, 0)
                                : 3 * x - at(r - 1, c) - at(r + 1, c) - at(r, c - 1);
                } else {
                    g = 4 * x - at(r - 1, c) - at(r + 1, c) - at(r, c - 1) - at(r, c + 1);
                }
                res[r * w + c] = static_cast<float>(g * inv + f[r * w + c]);
            }
        }
    }

    void restrict_standard(int k)
    {
        const Level &fine = m_p.level[size_t(k)], &coarse = m_p.level[size_t(k) + 1];
        const int64_t w = fine.w;
        const float *res = m_scratch.data();
        float *out = m_rhs + coarse.offset;
        for (int64_t i = 0; i < coarse.h; ++i)
            for (int64_t j = 0; j < coarse.w; ++j) {
                const float *p = res + 2 * i * w + 2 * j;
                out[i * coarse.w + j] = 0.25f * (p[0] + p[1] + p[w] + p[w + 1]);
            }
    }

    void restrict_resampled()
    {
        const Level &fine = m_p.level[0], &coarse = m_p.level[1];
        const float *res = m_scratch.data();
        float *out = m_rhs + coarse.offset;
        for (int64_t i = 0; i < coarse.h; ++i) {
            const Footprint fy = footprint(i, m_p.ry, m_p.spanY, fine.h);
            for (int64_t j = 0; j < coarse.w; ++j) {
                const Footprint fx = footprint(j, m_p.rx, m_p.spanX, fine.w);
                float sum = 0.0f;
                for (int a = 0; a < m_p.spanY; ++a)
                    for (int b = 0; b < m_p.spanX; ++b)
                        sum += fy.weight[a] * fx.weight[b] *
                               res[(fy.start + a) * fine.w + fx.start + b];
                out[i * coarse.w + j] = sum;
            }
        }
    }

    void prolong_standard(int k)
    {
        const Level &fine = m_p.level[size_t(k)], &coarse = m_p.level[size_t(k) + 1];
        float *uf = m_u.data() + fine.offset;
        const float *uc = m_u.data() + coarse.offset;
        for (int64_t i = 0; i < coarse.h; ++i)
            for (int64_t j = 0; j < coarse.w; ++j) {
                const float v = uc[i * coarse.w + j];
                float *p = uf + 2 * i * fine.w + 2 * j;
                p[0] += v;
                p[1] += v;
                p[fine.w] += v;
                p[fine.w + 1] += v;
            }
    }

    // Footprints overlap: later coarse cells overwrite what they share with earlier ones; the
    // level's own solution is added afterwards.
    void prolong_resampled()
    {
        const Level &fine = m_p.level[0], &coarse = m_p.level[1];
        const int64_t cells = fine.w * fine.h;
        float *uf = m_u.data();
        const float *uc = m_u.data() + coarse.offset;
        std::copy_n(uf, cells, m_scratch.begin());
        for (int64_t i = 0; i < coarse.h; ++i) {
            const Footprint fy = footprint(i, m_p.ry, m_p.spanY, fine.h);
            for (int64_t j = 0; j < coarse.w; ++j) {
                const Footprint fx = footprint(j, m_p.rx, m_p.spanX, fine.w);
                const float v = uc[i * coarse.w + j];
                for (int a = 0; a < m_p.spanY; ++a)
                    std::fill_n(uf + (fy.start + a) * fine.w + fx.start, m_p.spanX, v);
            }
        }
        for (int64_t i = 0; i < cells; ++i)
            uf[i] += m_scratch[size_t(i)];
    }

    const Pyramid &m_p;
    int m_is360, m_nbProc;
    float *m_rhs;
    std::vector<float> m_u;       // the solution pyramid
    std::vector<float> m_scratch; // one level's residual, or level 0's saved solution
};

} // namespace

int multigrid_solve(int cycles, int, int, int64_t T, int n, int is360, float *work, dim_param dim,
                    optim_param_struct opt)
{
    if (n < 1)
        return -2;
    const int64_t W = dim.v[kDimWidth], H = dim.v[kDimHeight];
    if (!work || W < 2 || H < 2)
        return -3;
    if (opt.readFromDisk)
        return -1;
    try {
        const Pyramid p = plan(W, H, n);
        if (p.total > T || !platform::checked_product({p.total, 4}))
            return -3;
        Multigrid mg(p, is360, opt.nbProc, work);
        for (int i = 0; i < cycles; ++i)
            mg.cycle();
        mg.write_exp(work);
    } catch (const std::bad_alloc &) {
        return -4;
    } catch (const std::length_error &) {
        return -4;
    }
    return static_cast<int>(H);
}

int calc_tm2old(int wC, int hC, int64_t T, int n, int is360, float *work, dim_param dim,
                optim_param_struct opt)
{
    return multigrid_solve(kCycles, wC, hC, T, n, is360, work, dim, opt);
}
