// Multigrid V-cycles for the Poisson equation of the local operator. Levels halve the image;
// when its sides are not multiples of 2^n the first coarse level is resampled to a multiple and
// the residual is carried down (and the correction up) through area-weighted footprints of 2 or
// 3 fine cells a side. Each level k relaxes Laplacian(u) = s_k x f with s_k ~ 4^k.
#include "tonemap/multigrid.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include "imagecore/banded.h"
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

// Lowers n until every level keeps at least 2 x 2 cells, so that each level halves the next
// finer one exactly; then the level sizes: plain halvings when both sides are multiples of 2^n,
// else level 1 is half the largest multiple of 2^n within the image.
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

// For each level-0 index, the last coarse index whose footprint covers it (-1: none): later
// coarse cells overwrite what they share with earlier ones.
std::vector<int64_t> last_cover(const std::vector<Footprint> &fp, int span, int64_t fineSize)
{
    std::vector<int64_t> last(size_t(fineSize), -1);
    for (size_t i = 0; i < fp.size(); ++i)
        for (int a = 0; a < span; ++a)
            last[size_t(fp[i].start + a)] = int64_t(i);
    return last;
}

class Multigrid {
public:
    Multigrid(const Pyramid &p, int is360, int nbProc, float *rhs)
        : m_p(p), m_is360(is360), m_nbProc(nbProc), m_rhs(rhs), m_u(size_t(p.total), 0.0f),
          m_scratch(std::make_unique_for_overwrite<float[]>(size_t(p.level[0].w * p.level[0].h)))
    {
        if (!p.resampled || p.n < 2) // one halving: level 1 is never reached
            return;
        const Level &fine = p.level[0], &coarse = p.level[1];
        for (int64_t j = 0; j < coarse.w; ++j)
            m_fx.push_back(footprint(j, p.rx, p.spanX, fine.w));
        for (int64_t i = 0; i < coarse.h; ++i)
            m_fy.push_back(footprint(i, p.ry, p.spanY, fine.h));
        m_lastCol = last_cover(m_fx, p.spanX, fine.w);
        m_lastRow = last_cover(m_fy, p.spanY, fine.h);
    }

    void cycle()
    {
        const int n = m_p.n;
        for (int k = 0; k <= n - 2; ++k) {
            relax(k, 3);
            residual(k);
            if (k == 0 && m_p.resampled)
                restrict_resampled();
            else
                restrict_standard(k);
            const Level &c = m_p.level[size_t(k) + 1];
            std::fill_n(m_u.begin() + c.offset, c.w * c.h, 0.0f);
        }
        // The coarsest level stays at zero: no relaxation, no direct solve.
        relax(n - 1, 5);
        for (int k = n - 2; k >= 0; --k) {
            if (k == 0 && m_p.resampled)
                prolong_resampled();
            else
                prolong_standard(k);
            relax(k, 2);
        }
    }

    void write_exp(float *out)
    {
        const Level &l = m_p.level[0];
        bands(l, l.h, [&](int64_t r0, int64_t r1) {
            for (int64_t i = r0 * l.w; i < r1 * l.w; ++i)
                out[i] = std::exp(m_u[size_t(i)]);
        });
    }

private:
    // Row bands over rows of level l (pixel-wise work: the values never depend on the split);
    // small levels on the calling thread, where a thread costs more than it saves.
    template <class Fn> void bands(const Level &l, int64_t rows, Fn &&fn)
    {
        const int threads = l.w * l.h > kBlurMinThreadedPixels ? m_nbProc : 1;
        imagecore::run_banded(
            threads, static_cast<int>(rows),
            [&fn](const imagecore::Band &b) { fn(int64_t(b.begin), int64_t(b.end)); },
            imagecore::BandFallback::Inline);
    }

    void relax(int k, int sweeps)
    {
        const Level &l = m_p.level[size_t(k)];
        blur0(m_nbProc, l.w, l.h, sweeps, m_is360, l.offset, m_u.data(), 0, nullptr, m_rhs, l.s);
    }

    // res = f + G / s into the scratch, G = (neighbour count) x u - neighbours in double: the
    // neighbours of the relaxation but for the corners, which keep the plain form in the
    // 360-degree mode.
    void residual(int k)
    {
        const Level &l = m_p.level[size_t(k)];
        bands(l, l.h, [&](int64_t r0, int64_t r1) {
            for (int64_t r = r0; r < r1; ++r)
                residual_row(l, r);
        });
    }

    void residual_row(const Level &l, int64_t r)
    {
        const int64_t w = l.w, h = l.h;
        const float *u = m_u.data() + l.offset + r * w, *f = m_rhs + l.offset + r * w;
        const float *up = u - w, *down = u + w;
        const double inv = 1.0f / l.s;
        float *res = m_scratch.get() + r * w;
        auto put = [&](int64_t c, double g) { res[c] = static_cast<float>(g * inv + f[c]); };
        auto d = [](float x) { return static_cast<double>(x); };
        const int64_t e = w - 1;
        if (r == 0) {
            put(0, 2 * d(u[0]) - u[1] - down[0]);
            for (int64_t c = 1; c < e; ++c)
                put(c, m_is360 ? 4 * d(u[c]) - u[w / 2] - u[c - 1] - u[c + 1] - down[c]
                               : 3 * d(u[c]) - u[c - 1] - u[c + 1] - down[c]);
            put(e, 2 * d(u[e]) - u[e - 1] - down[e]);
        } else if (r == h - 1) {
            put(0, 2 * d(u[0]) - u[1] - up[0]);
            for (int64_t c = 1; c < e; ++c)
                put(c, 3 * d(u[c]) - u[c - 1] - u[c + 1] - up[c]);
            put(e, 2 * d(u[e]) - u[e - 1] - up[e]);
        } else {
            put(0, m_is360 ? 4 * d(u[0]) - up[0] - down[0] - u[e] - u[1]
                           : 3 * d(u[0]) - up[0] - down[0] - u[1]);
            for (int64_t c = 1; c < e; ++c)
                put(c, 4 * d(u[c]) - up[c] - down[c] - u[c - 1] - u[c + 1]);
            put(e, m_is360 ? 4 * d(u[e]) - up[e] - down[e] - u[e - 1] - u[0]
                           : 3 * d(u[e]) - up[e] - down[e] - u[e - 1]);
        }
    }

    void restrict_standard(int k)
    {
        const Level &fine = m_p.level[size_t(k)], &coarse = m_p.level[size_t(k) + 1];
        const int64_t w = fine.w;
        float *out = m_rhs + coarse.offset;
        bands(coarse, coarse.h, [&](int64_t i0, int64_t i1) {
            for (int64_t i = i0; i < i1; ++i)
                for (int64_t j = 0; j < coarse.w; ++j) {
                    const float *p = m_scratch.get() + 2 * i * w + 2 * j;
                    out[i * coarse.w + j] = 0.25f * (p[0] + p[1] + p[w] + p[w + 1]);
                }
        });
    }

    // Summed row by row, left to right, in single precision.
    void restrict_resampled()
    {
        const Level &fine = m_p.level[0], &coarse = m_p.level[1];
        float *out = m_rhs + coarse.offset;
        bands(coarse, coarse.h, [&](int64_t i0, int64_t i1) {
            for (int64_t i = i0; i < i1; ++i) {
                const Footprint &fy = m_fy[size_t(i)];
                for (int64_t j = 0; j < coarse.w; ++j) {
                    const Footprint &fx = m_fx[size_t(j)];
                    float sum = 0.0f;
                    for (int a = 0; a < m_p.spanY; ++a) {
                        const float *res = m_scratch.get() + (fy.start + a) * fine.w + fx.start;
                        for (int b = 0; b < m_p.spanX; ++b)
                            sum += fy.weight[a] * fx.weight[b] * res[b];
                    }
                    out[i * coarse.w + j] = sum;
                }
            }
        });
    }

    void prolong_standard(int k)
    {
        const Level &fine = m_p.level[size_t(k)], &coarse = m_p.level[size_t(k) + 1];
        float *uf = m_u.data() + fine.offset;
        const float *uc = m_u.data() + coarse.offset;
        bands(fine, coarse.h, [&](int64_t i0, int64_t i1) {
            for (int64_t i = i0; i < i1; ++i)
                for (int64_t j = 0; j < coarse.w; ++j) {
                    const float v = uc[i * coarse.w + j];
                    float *p = uf + 2 * i * fine.w + 2 * j;
                    p[0] += v;
                    p[1] += v;
                    p[fine.w] += v;
                    p[fine.w + 1] += v;
                }
        });
    }

    // Each level-0 cell takes the coarse value of the last footprint over it, plus its own
    // solution (a cell no footprint covers takes its own solution twice).
    void prolong_resampled()
    {
        const Level &fine = m_p.level[0], &coarse = m_p.level[1];
        float *uf = m_u.data();
        const float *uc = m_u.data() + coarse.offset;
        bands(fine, fine.h, [&](int64_t r0, int64_t r1) {
            for (int64_t r = r0; r < r1; ++r) {
                float *row = uf + r * fine.w;
                const int64_t i = m_lastRow[size_t(r)];
                for (int64_t c = 0; c < fine.w; ++c) {
                    const int64_t j = m_lastCol[size_t(c)];
                    row[c] += i >= 0 && j >= 0 ? uc[i * coarse.w + j] : row[c];
                }
            }
        });
    }

    const Pyramid &m_p;
    int m_is360, m_nbProc;
    float *m_rhs;
    std::vector<float> m_u;                    // the solution pyramid
    std::unique_ptr<float[]> m_scratch;        // one level's residual (first touched in bands)
    std::vector<Footprint> m_fx, m_fy;         // resampled case: level-1 columns and rows
    std::vector<int64_t> m_lastCol, m_lastRow; // resampled case: see last_cover
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
