// The light-mode Poisson solve and its red-black sweeps against plain transcriptions of their
// definitions (a scalar red-black sweep, a residual, V-cycles without bands or clamps), plus a
// manufactured solution and very elongated images.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <tuple>
#include <utility>
#include <vector>

#include "imagecore/banded.h"
#include "tests/tonemap/alloc_failure.h"
#include "tests/tonemap/tm_test_util.h"
#include "tonemap/multigrid.h"
#include "tonemap/relax_sweeps.h"
#include "tonemap/tm_dim.h"

namespace {

using Floats = std::vector<float>;

Floats pattern(size_t n, uint32_t seed, float lo, float hi) // fixed values from a seeded LCG
{
    Floats v(n);
    for (float &x : v)
        seed = seed * 1664525u + 1013904223u, x = lo + (hi - lo) * float(seed >> 8) / 16777216.0f;
    return v;
}

// The neighbours of (r, c) in the order the relaxation table sums them: the far end of the row
// and the middle of the top row join in when wrapped (the residual keeps the corners plain).
Floats neighbours(const float *u, int w, int h, int r, int c, bool wrap, bool wrapCorners)
{
    auto U = [&](int rr, int cc) { return u[rr * w + cc]; };
    wrap = wrap && (wrapCorners || !((r == 0 || r == h - 1) && (c == 0 || c == w - 1)));
    Floats nb;
    if (r == 0 && wrap)
        nb.push_back(U(0, w / 2));
    if (r > 0 && r < h - 1)
        nb.push_back(U(r - 1, c)), nb.push_back(U(r + 1, c));
    if (c > 0 || wrap)
        nb.push_back(U(r, c > 0 ? c - 1 : w - 1));
    if (c < w - 1 || wrap)
        nb.push_back(U(r, c < w - 1 ? c + 1 : 0));
    if (r == 0 || r == h - 1)
        nb.push_back(U(r == 0 ? 1 : r - 1, c));
    return nb;
}

// Red cells, then black ones, rows top to bottom, left to right; 0.3333 through double.
void ref_sweeps(float *u, const float *f, int w, int h, bool wrap, float s, int sweeps)
{
    for (int i = 0; i < 2 * sweeps; ++i)
        for (int r = 0; r < h; ++r)
            for (int c = (r + i) % 2; c < w; c += 2) {
                const Floats nb = neighbours(u, w, h, r, c, wrap, true);
                float d = 0;
                for (float x : nb)
                    d += x;
                d -= s * f[r * w + c];
                u[r * w + c] = nb.size() == 3 ? float(double(d) * 0.3333)
                                              : d * (nb.size() == 4 ? 0.25f : 0.5f);
            }
}

// f + G / s with G = (neighbour count) x u - neighbours, in double.
Floats ref_residual(const float *u, const float *f, int w, int h, bool wrap, float s)
{
    Floats res(size_t(w * h));
    for (int i = 0; i < w * h; ++i) {
        const Floats nb = neighbours(u, w, h, i / w, i % w, wrap, false);
        double g = double(nb.size()) * u[i];
        for (float x : nb)
            g -= x;
        res[size_t(i)] = float(g * double(1.0f / s) + f[i]);
    }
    return res;
}

// Resampled footprint of coarse index i: its first fine index and three weights.
int ref_weights(int i, float ratio, float *wt)
{
    const float x0 = float(i) * ratio, x1 = float(i + 1) * ratio;
    float a = std::floor(x0) + 1 - x0, b = x1 - std::floor(x1);
    a = a < 1e-30f ? 1 : a, b = b < 1e-30f ? 1 : b;
    wt[0] = a * (1 / ratio), wt[1] = 1 / ratio, wt[2] = b * (1 / ratio);
    if (wt[0] + wt[1] + wt[2] < 0.9f)
        wt[2] = 1 - wt[0] - wt[1];
    return int(std::floor(x0));
}

// Four V-cycles for a pyramid whose levels all keep 2 x 2 cells; returns exp(u).
Floats ref_solve(int W, int H, int n, bool wrap, const Floats &f0)
{
    const int D = 1 << n, sx = W % D ? 3 : 2, sy = H % D ? 3 : 2;
    const bool rs = W % D || H % D;
    std::vector<int> w{W}, h{H}, off{0, W * H};
    for (int k = 1; k <= n; ++k) {
        w.push_back((rs ? W / D * D : W) >> k), h.push_back((rs ? H / D * D : H) >> k);
        off.push_back(off.back() + w.back() * h.back());
    }
    Floats f(size_t(off.back())), u(f.size());
    std::copy(f0.begin(), f0.end(), f.begin());
    auto s = [&](int k) { return float((W - 1) * (H - 1) / ((w[k] - 1) * (h[k] - 1))); };
    auto relax = [&](int k, int sw) {
        ref_sweeps(&u[off[k]], &f[off[k]], w[k], h[k], wrap, s(k), sw);
    };
    const float rx = float(W) / float(w[1]), ry = float(H) / float(h[1]);
    for (int cycle = 0; cycle < 4; ++cycle) {
        for (int k = 0; k + 2 <= n; ++k) {
            relax(k, 3);
            const Floats res = ref_residual(&u[off[k]], &f[off[k]], w[k], h[k], wrap, s(k));
            for (int i = 0, c = off[k + 1]; i < h[k + 1]; ++i)
                for (int j = 0; j < w[k + 1]; ++j, ++c) {
                    float v = 0, wy[3], wx[3];
                    const int y = ref_weights(i, ry, wy), x = ref_weights(j, rx, wx);
                    for (int a = 0; a < (k || !rs ? 2 : sy); ++a)
                        for (int b = 0; b < (k || !rs ? 2 : sx); ++b)
                            v += k || !rs ? res[(2 * i + a) * w[k] + 2 * j + b] // in this order
                                          : wy[a] * wx[b] * res[(y + a) * W + x + b];
                    f[c] = k || !rs ? 0.25f * v : v, u[c] = 0;
                }
        }
        relax(n - 1, 5);
        for (int k = n - 2; k >= 0; --k) {
            const Floats saved(u.begin(), u.begin() + W * H);
            for (int i = 0, c = off[k + 1]; i < h[k + 1]; ++i)
                for (int j = 0; j < w[k + 1]; ++j, ++c) {
                    float wy[3], wx[3];
                    const int y = ref_weights(i, ry, wy), x = ref_weights(j, rx, wx);
                    for (int a = 0; a < (k || !rs ? 2 : sy); ++a)
                        for (int b = 0; b < (k || !rs ? 2 : sx); ++b)
                            if (k || !rs)
                                u[off[k] + (2 * i + a) * w[k] + 2 * j + b] += u[c];
                            else
                                u[(y + a) * W + x + b] = u[c];
                }
            for (int i = 0; k == 0 && rs && i < W * H; ++i)
                u[i] += saved[i];
            relax(k, 2);
        }
    }
    std::transform(u.begin(), u.begin() + W * H, u.begin(), [](float x) { return std::exp(x); });
    return Floats(u.begin(), u.begin() + W * H);
}

// The solver on a copy of f in a buffer of exactly T floats: its result, then the image. Four
// cycles are calc_tm2old's own; other counts go through multigrid_solve.
std::pair<int, Floats> solve(int W, int H, int n, bool wrap, const Floats &f, int nbProc,
                             int64_t T = 0, int cycles = 4)
{
    Floats work(static_cast<size_t>(T ? T : 2 * W * H));
    std::copy(f.begin(), f.end(), work.begin());
    const int64_t size = int64_t(work.size());
    const optim_param_struct opt{nbProc, 0, {}};
    const int rc = cycles == 4
                       ? calc_tm2old(0, 0, size, n, wrap, work.data(), {{W, H}}, opt)
                       : multigrid_solve(cycles, 0, 0, size, n, wrap, work.data(), {{W, H}}, opt);
    return {rc, Floats(work.begin(), work.begin() + W * H)};
}

double rms(const Floats &v)
{
    double s = 0;
    for (float x : v)
        s += double(x) * x / double(v.size());
    return std::sqrt(s);
}

} // namespace

// blur1 against the plain sweep in a level at offset 11 (nothing outside it moves); blur2 in 1,
// 2, 7 or 32 bands (more bands than rows too, and every third thread failing to start) equal
// to blur1.
TEST(RelaxSweeps, MatchThePlainSweepInAnyBandSplit)
{
    static int starts = 0;
    auto failing = [](pthread_t *t, const pthread_attr_t *a, void *(*fn)(void *), void *arg) {
        return ++starts % 3 == 0 ? 11 : pthread_create(t, a, fn, arg);
    };
    const int shapes[][2] = {{2, 2}, {3, 2}, {2, 3}, {6, 5}, {7, 7}, {36, 40}, {37, 40}, {37, 5}};
    for (auto [w, h] : shapes)
        for (bool wrap : {false, true}) {
            const int o = 11, size = w * h + 2 * o;
            const Floats f = pattern(size_t(size), 7, -2, 2), u0 = pattern(size_t(size), 3, -1, 1);
            Floats u1 = u0, ref(u0.begin() + o, u0.end() - o);
            ref_sweeps(ref.data(), f.data() + o, w, h, wrap, 1.5f, 3);
            EXPECT_EQ(blur1(w, h, 3, wrap, o, u1.data(), 0, nullptr, f.data(), 1.5f), 3);
            EXPECT_EQ(Floats(u1.begin() + o, u1.end() - o), ref) << w << "x" << h << " " << wrap;
            EXPECT_TRUE(std::equal(u1.begin(), u1.begin() + o, u0.begin()));
            EXPECT_TRUE(std::equal(u1.end() - o, u1.end(), u0.end() - o));
            for (int nbProc : {1, 2, 7, 32, -32}) { // -32: 32 bands, every third failing
                imagecore::set_thread_start_for_testing(nbProc < 0 ? +failing : nullptr);
                Floats u2 = u0;
                EXPECT_EQ(blur2(std::abs(nbProc), w, h, 3, wrap, o, u2.data(), f.data(), 1.5f), 1);
                imagecore::set_thread_start_for_testing(nullptr);
                EXPECT_EQ(u2, u1) << w << "x" << h << " wrap " << wrap << ", " << nbProc;
            }
        }
}

TEST(RelaxSweeps, NoSweepsBadLevelsAndStreaming)
{
    const Floats f(64, 1.0f), before = pattern(64, 1, -1, 1);
    Floats u = before;
    EXPECT_EQ(blur1(8, 8, 0, 0, 0, u.data(), 0, nullptr, f.data(), 1), 0);
    EXPECT_EQ(blur2(8, 8, 8, 0, 0, 0, u.data(), f.data(), 1), 1);
    EXPECT_EQ(blur0(8, 40, 40, -1, 0, 0, u.data(), 0, nullptr, f.data(), 1), 1);
    blur2i(4, 0, 8, 2, 0, 0, u.data(), f.data(), 1); // two rows: no interior row
    EXPECT_EQ(blur1(1, 8, 1, 0, 0, u.data(), 0, nullptr, f.data(), 1), -3);
    EXPECT_EQ(blur2(2, 8, 1, 1, 0, 0, u.data(), f.data(), 1), -3);
    EXPECT_EQ(blur1(8, 8, 1, 0, -1, u.data(), 0, nullptr, f.data(), 1), -3);
    EXPECT_EQ(blur2(2, 8, 8, 1, 0, 0, nullptr, f.data(), 1), -3);
    EXPECT_EQ(blur1(8, 8, 1, 0, 0, u.data(), 1, nullptr, f.data(), 1), -3); // streaming, no stream
    EXPECT_EQ(blur0(8, 8, 8, 1, 0, 0, u.data(), 1, nullptr, f.data(), 1), -3);
    EXPECT_EQ(u, before);
}

// f = 0, u = 1: red cells of three neighbours hold 0.9999; those of two and four keep 1.
// Wrapped, a top corner reads the middle of the top row and the far end of the row, a bottom
// corner the far end of the row, for both colours: a red corner reads the values before the
// sweep, a black one red cells, which hold their final values by then.
TEST(RelaxSweeps, FactorOfThreeNeighboursAndWrappedCorners)
{
    Floats u(56, 1.0f);
    blur1(8, 7, 1, 0, 0, u.data(), 0, nullptr, Floats(56, 0.0f).data(), 1);
    for (int r = 0; r < 7; ++r)
        for (int c = r % 2; c < 8; c += 2)
            EXPECT_EQ(u[r * 8 + c], (r % 6 == 0) + (c % 7 == 0) == 1 ? 0.9999f : 1.0f);
    for (int h : {7, 6}) {
        const int w = 10, b = h - 1;
        const Floats u0 = pattern(size_t(w * h), 2, 0, 8);
        Floats v = u0;
        blur1(w, h, 1, 1, 0, v.data(), 0, nullptr, Floats(u0.size(), 0.0f).data(), 1);
        const Floats &bl = h % 2 ? u0 : v; // the bottom-left corner is red for odd h
        EXPECT_EQ(v[0], (u0[5] + u0[9] + u0[1] + u0[w]) * 0.25f);
        EXPECT_EQ(v[9], (v[5] + v[8] + v[0] + v[w + 9]) * 0.25f);
        EXPECT_EQ(v[b * w], float(double(bl[b * w + 9] + bl[b * w + 1] + bl[b * w - w]) * 0.3333));
    }
}

// Exact halvings; width, height or both resampled (3-cell footprints, ratios up to 2.9); n = 1
// (20 sweeps of the image alone); the last three with levels of more than 4096 pixels, whose
// sweeps, residuals and transfers run in bands. A zero right-hand side gives 1 everywhere.
TEST(Multigrid, MatchesThePlainVCyclesAtOneThreeAndEightThreads)
{
    const int cases[][4] = {{32, 24, 2, 0}, {32, 24, 3, 1},   {37, 24, 2, 0},  {32, 27, 2, 1},
                            {45, 29, 3, 0}, {23, 16, 3, 0},   {40, 40, 1, 1},  {64, 48, 3, 0},
                            {67, 50, 3, 1}, {160, 120, 3, 0}, {131, 97, 3, 1}, {97, 131, 1, 0}};
    for (auto [W, H, n, wrap] : cases) {
        const Floats f = pattern(size_t(W * H), uint32_t(W + H), -0.05f, 0.05f);
        const Floats ref = ref_solve(W, H, n, wrap, f);
        for (int nbProc : {1, 3, 8})
            EXPECT_EQ(solve(W, H, n, wrap, f, nbProc), std::pair(H, ref))
                << W << "x" << H << " n " << n << " wrap " << wrap << ", " << nbProc;
        EXPECT_EQ(solve(W, H, n, wrap, Floats(f.size(), 0.0f), 8).second, Floats(f.size(), 1));
    }
}

// f made from a smooth u*: every cycle lowers the residual; four recover u* (up to the constant
// the equation leaves free) to about 1 %, where the same sweeps on the image alone leave 75 %.
TEST(Multigrid, RecoversAManufacturedSolution)
{
    for (auto [W, H] : {std::pair{96, 64}, {101, 67}}) {
        Floats exact(size_t(W * H)), f;
        for (int i = 0; i < W * H; ++i)
            exact[size_t(i)] = float(std::cos(12.0 * (i % W) / W) * std::sin(9.0 * (i / W) / H));
        f = ref_residual(exact.data(), Floats(exact.size(), 0.0f).data(), W, H, 0, 1);
        std::transform(f.begin(), f.end(), f.begin(), [](float x) { return -x; });
        auto error = [&](int n, int cycles, double *residual) {
            Floats u = solve(W, H, n, 0, f, 8, 0, cycles).second;
            std::transform(u.begin(), u.end(), u.begin(), [](float x) { return std::log(x); });
            *residual = rms(ref_residual(u.data(), f.data(), W, H, 0, 1));
            double mean = 0;
            for (size_t i = 0; i < u.size(); ++i)
                mean += (u[i] - exact[i]) / double(u.size());
            for (size_t i = 0; i < u.size(); ++i)
                u[i] = float(u[i] - exact[i] - mean);
            return rms(u);
        };
        double last = 1e9, residual;
        for (int cycles = 0; cycles <= 4; ++cycles) {
            const double e = error(4, cycles, &residual);
            EXPECT_LT(residual, last) << W << "x" << H << ", cycle " << cycles;
            last = residual;
            if (cycles == 4) {
                EXPECT_TRUE(e < 0.02 * rms(exact) && e < 0.1 * error(1, 4, &residual)) << e;
            }
        }
    }
}

// 3000 x 20 in light mode with the finest smoothing asks for 5 halvings; 20 rows allow 3. Along
// 4353 the rounded start of the last resampled footprint lies one cell too far. The buffer
// holds exactly what tm_dim asks for (the sanitizer build sees any access beyond).
TEST(Multigrid, ElongatedImagesUseTheHalvingsTheyHave)
{
    float p[kTmParamCount] = {};
    for (auto [W, H] : {std::pair{3000, 20}, {20, 3000}, {4353, 20}, {20, 4353}}) {
        tm_dims d{};
        ASSERT_EQ(tm_dim(W, H, p, &d), 5);
        const Floats f = pattern(size_t(W * H), 8, -0.1f, 0.1f);
        const auto five = solve(W, H, 5, 0, f, 8, d.v[kTdTotalA]);
        EXPECT_EQ(five, solve(W, H, 3, 0, f, 8, d.v[kTdTotalA]));
        EXPECT_NE(five, solve(W, H, 2, 0, f, 8, d.v[kTdTotalA]));
        EXPECT_EQ(five.first, H);
        EXPECT_TRUE(std::all_of(five.second.begin(), five.second.end(),
                                [](float x) { return std::isfinite(x) && x > 0; }));
    }
}

TEST(Multigrid, RefusesBadArgumentsAndShortMemory)
{
    Floats work(6144, 0.5f);
    auto run = [&](int n, int W, int H, int64_t T, float *buf) {
        return calc_tm2old(0, 0, T, n, 0, buf, {{W, H}}, {1, 0, {}});
    };
    EXPECT_EQ(run(0, 64, 48, 6144, work.data()), -2);
    EXPECT_EQ(run(3, 64, 48, 6144, nullptr), -3);
    EXPECT_EQ(run(3, 1, 48, 6144, work.data()), -3);
    EXPECT_EQ(run(3, 64, 1, 6144, work.data()), -3);
    EXPECT_EQ(run(3, 64, 48, 64 * 48, work.data()), -3); // no room for the coarse levels
    EXPECT_EQ(work, Floats(6144, 0.5f));
    // Each allocation fails in turn until the run needs no more; the sanitizer build's leak
    // check sees anything lost.
    for (long n = 1;; ++n) {
        tmtest::fail_allocation_at(n);
        const int rc = run(3, 64, 48, 6144, work.data());
        const long seen = tmtest::allocations_seen();
        tmtest::fail_allocation_at(0);
        EXPECT_EQ(rc, seen < n ? 48 : -4) << n;
        if (seen < n)
            break;
    }
}
