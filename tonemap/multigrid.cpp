// Multigrid V-cycles for the Poisson equation of the local operator. Levels halve the image;
// when its sides are not multiples of 2^n the first coarse level is resampled to a multiple and
// the residual is carried down (and the correction up) through area-weighted footprints of 2 or
// 3 fine cells a side. Each level k relaxes Laplacian(u) = s_k x f with s_k ~ 4^k.
#include "tonemap/multigrid.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <new>
#include <stdexcept>
#include <sys/types.h>
#include <vector>

#include "imagecore/banded.h"
#include "platform/checked_size.h"
#include "platform/temp_file.h"
#include "tonemap/relax_sweeps.h"

namespace {

constexpr int kCycles = 4;
constexpr int kTraceMultigrid = 0;
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

// The files of the out-of-core solve: the right-hand-side pyramid at the memory layout's offsets,
// and two scratch files for a level's residual and the solution it displaces.
struct SolveFiles {
    FILE *rhs = nullptr, *residual = nullptr, *saved = nullptr;
};

bool seek_floats(FILE *f, int64_t offset)
{
    return ::fseeko(f, static_cast<off_t>(offset * 4), SEEK_SET) == 0;
}
bool write_floats(FILE *f, const float *v, int64_t n)
{
    return std::fwrite(v, sizeof(float), size_t(n), f) == size_t(n);
}
bool read_floats(FILE *f, float *v, int64_t n)
{
    return std::fread(v, sizeof(float), size_t(n), f) == size_t(n);
}

class Multigrid {
public:
    // In memory: f is rhs (the caller's work buffer), the solution pyramid and the residual are
    // the solver's own.
    Multigrid(const Pyramid &p, int is360, int nbProc, float *rhs)
        : m_p(p), m_is360(is360), m_nbProc(nbProc), m_rhs(rhs), m_uOwned(size_t(p.total), 0.0f),
          m_u(m_uOwned.data()),
          m_scratch(std::make_unique_for_overwrite<float[]>(size_t(p.level[0].w * p.level[0].h)))
    {
        plan_footprints();
    }

    // Out of core: f in files.rhs, the solution pyramid in u (zeroed, the caller's work buffer),
    // a level's residual through files.residual into the place of its solution, which waits in
    // files.saved; sweeps on the calling thread; two rows of memory.
    Multigrid(const Pyramid &p, int is360, float *u, SolveFiles files)
        : m_p(p), m_is360(is360), m_nbProc(1), m_rhs(nullptr), m_u(u), m_files(files),
          m_row(size_t(2 * p.level[0].w))
    {
        plan_footprints();
    }

    // One V-cycle. Returns 0; out of core -1 (a seek), -2 (a short read or write), -4.
    int cycle()
    {
        const int n = m_p.n;
        for (int k = 0; k <= n - 2; ++k) {
            if (const int rc = relax(k, 3); rc < 0)
                return rc;
            if (const int rc = restrict_residual(k); rc < 0)
                return rc;
            const Level &c = m_p.level[size_t(k) + 1];
            std::fill_n(m_u + c.offset, c.w * c.h, 0.0f);
        }
        // The coarsest level stays at zero: no relaxation, no direct solve.
        if (const int rc = relax(n - 1, 5); rc < 0)
            return rc;
        for (int k = n - 2; k >= 0; --k) {
            if (k == 0 && m_p.resampled)
                prolong_resampled();
            else
                prolong_standard(k);
            if (const int rc = relax(k, 2); rc < 0)
                return rc;
        }
        return 0;
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
    void plan_footprints()
    {
        if (!m_p.resampled || m_p.n < 2) // one halving: level 1 is never reached
            return;
        const Level &fine = m_p.level[0], &coarse = m_p.level[1];
        for (int64_t j = 0; j < coarse.w; ++j)
            m_fx.push_back(footprint(j, m_p.rx, m_p.spanX, fine.w));
        for (int64_t i = 0; i < coarse.h; ++i)
            m_fy.push_back(footprint(i, m_p.ry, m_p.spanY, fine.h));
        m_lastCol = last_cover(m_fx, m_p.spanX, fine.w);
        m_lastRow = last_cover(m_fy, m_p.spanY, fine.h);
    }

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

    int relax(int k, int sweeps)
    {
        const Level &l = m_p.level[size_t(k)];
        const int rc = blur0(m_nbProc, l.w, l.h, sweeps, m_is360, l.offset, m_u,
                             m_files.rhs ? 1 : 0, m_files.rhs, m_rhs, l.s);
        if (rc < 0 && kTraceMultigrid)
            std::printf("could not read from temporary file iofpRHS2");
        return rc < 0 ? rc : 0;
    }

    // Level k + 1 of f from the residual of level k.
    int restrict_residual(int k)
    {
        const Level &fine = m_p.level[size_t(k)], &coarse = m_p.level[size_t(k) + 1];
        auto restrict_row = [&](int64_t i, const float *res, float *out) {
            if (k == 0 && m_p.resampled)
                restrict_resampled_row(i, res, out);
            else
                restrict_standard_row(k, i, res, out);
        };
        if (!m_files.rhs) {
            bands(fine, fine.h, [&](int64_t r0, int64_t r1) {
                for (int64_t r = r0; r < r1; ++r)
                    residual_row(fine, r, m_u + fine.offset, m_rhs + fine.offset + r * fine.w,
                                 m_scratch.get() + r * fine.w);
            });
            bands(coarse, coarse.h, [&](int64_t i0, int64_t i1) {
                for (int64_t i = i0; i < i1; ++i)
                    restrict_row(i, m_scratch.get(), m_rhs + coarse.offset + i * coarse.w);
            });
            return 0;
        }
        // Out of core the residual takes the place of the level's solution for the restriction.
        float *f = m_row.data(), *res = f + fine.w, *u = m_u + fine.offset;
        const int64_t n = fine.w * fine.h;
        if (!seek_floats(m_files.residual, 0) || !seek_floats(m_files.saved, 0))
            return trace(-1, "fseek temporary file iofp3 failed for 0");
        for (int64_t r = 0; r < fine.h; ++r) {
            if (!seek_floats(m_files.rhs, fine.offset + r * fine.w))
                return trace(-1, "fseek2 temporary file iofpRHS failed");
            if (!read_floats(m_files.rhs, f, fine.w))
                return trace(-2, "could not read from temporary file iofpRHS2");
            residual_row(fine, r, u, f, res);
            if (!seek_floats(m_files.residual, r * fine.w) ||
                !write_floats(m_files.residual, res, fine.w))
                return trace(-2, "could not write to temporary file iofp21");
        }
        if (!write_floats(m_files.saved, u, n) || !seek_floats(m_files.residual, 0) ||
            !read_floats(m_files.residual, u, n))
            return trace(-2, "could not read from temporary file iofp22");
        for (int64_t i = 0; i < coarse.h; ++i) {
            restrict_row(i, u, f);
            if (!seek_floats(m_files.rhs, coarse.offset + i * coarse.w) ||
                !write_floats(m_files.rhs, f, coarse.w))
                return trace(-2, "could not write to temporary file iofpRHS1");
        }
        if (!seek_floats(m_files.saved, 0) || !read_floats(m_files.saved, u, n))
            return trace(-2, "could not read from temporary file iofp3");
        return 0;
    }

    static int trace(int rc, const char *message)
    {
        if (kTraceMultigrid)
            std::printf("%s\n", message);
        return rc;
    }

    // Row r of level l's residual f + G / s, G = (neighbour count) x u - neighbours in double:
    // the neighbours of the relaxation but for the corners, which keep the plain form in the
    // 360-degree mode. u is the level, f and res the row.
    void residual_row(const Level &l, int64_t r, const float *level, const float *f, float *res)
    {
        const int64_t w = l.w, h = l.h;
        const float *u = level + r * w;
        const float *up = u - w, *down = u + w;
        const double inv = 1.0f / l.s;
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

    // Row i of level k + 1 of f: 2 x 2 means of the residual res of level k.
    void restrict_standard_row(int k, int64_t i, const float *res, float *out)
    {
        const Level &fine = m_p.level[size_t(k)], &coarse = m_p.level[size_t(k) + 1];
        const int64_t w = fine.w;
        for (int64_t j = 0; j < coarse.w; ++j) {
            const float *p = res + 2 * i * w + 2 * j;
            out[j] = 0.25f * (p[0] + p[1] + p[w] + p[w + 1]);
        }
    }

    // Row i of level 1 of f from the level-0 residual res: footprints summed row by row, left to
    // right, in single precision.
    void restrict_resampled_row(int64_t i, const float *res, float *out)
    {
        const Level &fine = m_p.level[0], &coarse = m_p.level[1];
        const Footprint &fy = m_fy[size_t(i)];
        for (int64_t j = 0; j < coarse.w; ++j) {
            const Footprint &fx = m_fx[size_t(j)];
            float sum = 0.0f;
            for (int a = 0; a < m_p.spanY; ++a) {
                const float *row = res + (fy.start + a) * fine.w + fx.start;
                for (int b = 0; b < m_p.spanX; ++b)
                    sum += fy.weight[a] * fx.weight[b] * row[b];
            }
            out[j] = sum;
        }
    }

    void prolong_standard(int k)
    {
        const Level &fine = m_p.level[size_t(k)], &coarse = m_p.level[size_t(k) + 1];
        float *uf = m_u + fine.offset;
        const float *uc = m_u + coarse.offset;
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
        float *uf = m_u;
        const float *uc = m_u + coarse.offset;
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
    float *m_rhs;                              // in memory: the right-hand-side pyramid
    std::vector<float> m_uOwned;               // in memory: the solution pyramid
    float *m_u;                                // the solution pyramid
    std::unique_ptr<float[]> m_scratch;        // in memory: one level's residual
    SolveFiles m_files;                        // out of core
    std::vector<float> m_row;                  // out of core: a row of f and one of the residual
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
    try {
        const Pyramid p = plan(W, H, n);
        if (p.total > T || !platform::checked_product({p.total, 4}))
            return -3;
        if (!opt.readFromDisk) {
            Multigrid mg(p, is360, opt.nbProc, work);
            for (int i = 0; i < cycles; ++i)
                mg.cycle();
            mg.write_exp(work);
            return static_cast<int>(H);
        }
        // Out of core: f goes to its file and the work buffer takes the solution pyramid.
        platform::TempFile rhs = platform::TempFile::create(opt.tmpPath[1]);
        platform::TempFile residual = platform::TempFile::create(opt.tmpPath[2]);
        platform::TempFile saved = platform::TempFile::create(opt.tmpPath[3]);
        if (!rhs.ok() || !residual.ok() || !saved.ok()) {
            if (kTraceMultigrid)
                std::printf("can not open temporary file iofpRHS\n");
            return -1;
        }
        if (!write_floats(rhs.get(), work, W * H)) {
            if (kTraceMultigrid)
                std::printf("could not write to temporary file iofpRHS1");
            return -2;
        }
        std::fill_n(work, p.total, 0.0f);
        Multigrid mg(p, is360, work, {rhs.get(), residual.get(), saved.get()});
        for (int i = 0; i < cycles; ++i)
            if (const int rc = mg.cycle(); rc < 0)
                return rc;
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
