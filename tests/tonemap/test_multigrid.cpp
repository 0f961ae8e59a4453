// The light-mode Poisson solve and its red-black sweeps against plain transcriptions of their
// definitions (a scalar red-black sweep, a residual, a V-cycle without bands or clamps), plus a
// manufactured solution, thread-count independence and very elongated images.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <tuple>
#include <utility>
#include <vector>

#include "imagecore/banded.h"
#include "tests/tonemap/tm_test_util.h"
#include "tonemap/multigrid.h"
#include "tonemap/relax_sweeps.h"
#include "tonemap/tm_dim.h"

namespace {

using Floats = std::vector<float>;

Floats pattern(size_t n, uint32_t seed, float lo, float hi) // fixed values from a seeded LCG
{
    Floats v(n);
    for (float &x : v) {
        seed = seed * 1664525u + 1013904223u;
        x = lo + (hi - lo) * float(seed >> 8) / float(1u << 24);
    }
    return v;
}

// One cell of the relaxation table: its neighbours in the order they are summed, then the weight
// (0.3333 through double precision for three neighbours).
float ref_cell(const float *u, float f, int w, int h, int r, int c, bool wrap, float s)
{
    auto U = [&](int rr, int cc) { return u[rr * w + cc]; };
    const bool top = r == 0, bot = r == h - 1, left = c == 0, right = c == w - 1;
    Floats nb;
    if (!top && !bot)
        nb = left    ? (wrap ? Floats{U(r - 1, c), U(r + 1, c), U(r, w - 1), U(r, 1)}
                             : Floats{U(r - 1, c), U(r + 1, c), U(r, 1)})
             : right ? (wrap ? Floats{U(r - 1, c), U(r + 1, c), U(r, c - 1), U(r, 0)}
                             : Floats{U(r - 1, c), U(r + 1, c), U(r, c - 1)})
                     : Floats{U(r - 1, c), U(r + 1, c), U(r, c - 1), U(r, c + 1)};
    else if (top)
        nb = left    ? (wrap ? Floats{U(0, w / 2), U(0, w - 1), U(0, 1), U(1, 0)}
                             : Floats{U(0, 1), U(1, 0)})
             : right ? (wrap ? Floats{U(0, w / 2), U(0, c - 1), U(0, 0), U(1, c)}
                             : Floats{U(0, c - 1), U(1, c)})
                     : (wrap ? Floats{U(0, w / 2), U(0, c - 1), U(0, c + 1), U(1, c)}
                             : Floats{U(0, c - 1), U(0, c + 1), U(1, c)});
    else
        nb = left
                 ? (wrap ? Floats{U(r, w - 1), U(r, 1), U(r - 1, 0)} : Floats{U(r, 1), U(r - 1, 0)})
             : right ? (wrap ? Floats{U(r, c - 1), U(r, 0), U(r - 1, c)}
                             : Floats{U(r, c - 1), U(r - 1, c)})
                     : Floats{U(r, c - 1), U(r, c + 1), U(r - 1, c)};
    float sum = 0;
    for (float x : nb)
        sum += x;
    const float d = sum - s * f;
    return nb.size() == 3 ? float(double(d) * 0.3333) : d * (nb.size() == 4 ? 0.25f : 0.5f);
}

void ref_sweeps(float *u, const float *f, int w, int h, bool wrap, float s, int sweeps)
{
    for (int i = 0; i < sweeps; ++i)
        for (int colour = 0; colour < 2; ++colour)
            for (int r = 0; r < h; ++r)
                for (int c = 0; c < w; ++c)
                    if ((r + c) % 2 == colour)
                        u[r * w + c] = ref_cell(u, f[r * w + c], w, h, r, c, wrap, s);
}

// f + G / s, G = 4u - neighbours (fewer at the borders, the corners plain even when wrapped).
Floats ref_residual(const float *u, const float *f, int w, int h, bool wrap, float s)
{
    Floats res(size_t(w) * size_t(h));
    auto U = [&](int r, int c) { return double(u[r * w + c]); };
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c) {
            double g = 0;
            int count = 0;
            auto add = [&](bool in, int rr, int cc) { g -= in ? U(rr, cc) : 0, count += in; };
            const bool corner = (r == 0 || r == h - 1) && (c == 0 || c == w - 1);
            add(r > 0, r - 1, c);
            add(r == 0 && wrap && !corner, 0, w / 2);
            add(r < h - 1, r + 1, c);
            add(c > 0 || (wrap && !corner), r, c > 0 ? c - 1 : w - 1);
            add(c < w - 1 || (wrap && !corner), r, c < w - 1 ? c + 1 : 0);
            res[size_t(r * w + c)] = float((g + count * U(r, c)) * double(1.0f / s) + f[r * w + c]);
        }
    return res;
}

// Resampled footprint of coarse index i: first fine index and the weights of 3 fine cells.
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
    std::vector<int> w{W}, h{H}, off{0};
    for (int k = 1; k <= n; ++k) {
        w.push_back((rs ? W / D * D : W) >> k), h.push_back((rs ? H / D * D : H) >> k);
        off.push_back(off[size_t(k) - 1] + w[size_t(k) - 1] * h[size_t(k) - 1]);
    }
    Floats f(size_t(off[size_t(n)] + w[size_t(n)] * h[size_t(n)])), u(f.size());
    std::copy(f0.begin(), f0.end(), f.begin());
    auto s = [&](size_t k) { return float(int64_t(W - 1) * (H - 1) / ((w[k] - 1) * (h[k] - 1))); };
    auto relax = [&](size_t k, int sw) {
        ref_sweeps(&u[off[k]], &f[off[k]], w[k], h[k], wrap, s(k), sw);
    };
    const float rx = float(W) / float(w[1]), ry = float(H) / float(h[1]);
    for (int cycle = 0; cycle < 4; ++cycle) {
        for (size_t k = 0; int(k) + 2 <= n; ++k) {
            relax(k, 3);
            const Floats res = ref_residual(&u[off[k]], &f[off[k]], w[k], h[k], wrap, s(k));
            for (int i = 0; i < h[k + 1]; ++i)
                for (int j = 0; j < w[k + 1]; ++j) {
                    float v = 0, wy[3], wx[3];
                    if (k == 0 && rs) {
                        const int y = ref_weights(i, ry, wy), x = ref_weights(j, rx, wx);
                        for (int a = 0; a < sy; ++a)
                            for (int b = 0; b < sx; ++b)
                                v += wy[a] * wx[b] * res[size_t((y + a) * W + x + b)];
                    } else {
                        const int p = 2 * i * w[k] + 2 * j;
                        v = 0.25f * (res[p] + res[p + 1] + res[p + w[k]] + res[p + w[k] + 1]);
                    }
                    f[size_t(off[k + 1] + i * w[k + 1] + j)] = v;
                    u[size_t(off[k + 1] + i * w[k + 1] + j)] = 0;
                }
        }
        relax(size_t(n) - 1, 5);
        for (int k = n - 2; k >= 0; --k) {
            const Floats saved(u.begin(), u.begin() + W * H);
            for (int i = 0; i < h[k + 1]; ++i)
                for (int j = 0; j < w[k + 1]; ++j) {
                    const float v = u[size_t(off[k + 1] + i * w[k + 1] + j)];
                    float wy[3], wx[3];
                    if (k == 0 && rs) {
                        const int y = ref_weights(i, ry, wy), x = ref_weights(j, rx, wx);
                        for (int a = 0; a < sy; ++a)
                            for (int b = 0; b < sx; ++b)
                                u[size_t((y + a) * W + x + b)] = v;
                    } else {
                        for (int a = 0; a < 4; ++a)
                            u[size_t(off[k] + (2 * i + a / 2) * w[k] + 2 * j + a % 2)] += v;
                    }
                }
            for (int i = 0; k == 0 && rs && i < W * H; ++i)
                u[size_t(i)] += saved[size_t(i)];
            relax(size_t(k), 2);
        }
    }
    Floats out(size_t(W) * size_t(H));
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = std::exp(u[i]);
    return out;
}

// calc_tm2old (or the given cycles) on a copy of f in a buffer of exactly T floats.
struct Solve {
    int rc;
    Floats out;
};
Solve solve(int W, int H, int n, bool wrap, const Floats &f, int nbProc, int64_t T = 0,
            int cycles = 4)
{
    T = T ? T : int64_t(W) * H * 2;
    Floats work(static_cast<size_t>(T));
    std::copy(f.begin(), f.end(), work.begin());
    const int rc =
        multigrid_solve(cycles, 0, 0, T, n, wrap, work.data(), {{W, H}}, {nbProc, 0, {}});
    work.resize(size_t(W) * size_t(H));
    return {rc, work};
}

double rms(const Floats &v)
{
    double s = 0;
    for (float x : v)
        s += double(x) * x;
    return std::sqrt(s / double(v.size()));
}

} // namespace

TEST(RelaxSweeps, Blur1MatchesThePlainSweepOnEveryBorderCase)
{
    const int shapes[][2] = {{2, 2}, {3, 2}, {2, 3}, {5, 4}, {6, 5}, {7, 7}, {33, 17}, {16, 40}};
    for (auto [w, h] : shapes)
        for (bool wrap : {false, true})
            for (int sweeps : {1, 3}) {
                const int o = 11, cells = w * h;
                const Floats f = pattern(size_t(cells + 2 * o), 7, -2, 2);
                Floats u = pattern(size_t(cells + 2 * o), 3, -1, 1),
                       ref(u.begin() + o, u.end() - o);
                ref_sweeps(ref.data(), f.data() + o, w, h, wrap, 1.5f, sweeps);
                const Floats before = u;
                EXPECT_EQ(blur1(w, h, sweeps, wrap, o, u.data(), 0, nullptr, f.data(), 1.5f),
                          sweeps);
                EXPECT_EQ(Floats(u.begin() + o, u.end() - o), ref) << w << "x" << h << " " << wrap;
                // Nothing outside the level moves.
                EXPECT_TRUE(std::equal(u.begin(), u.begin() + o, before.begin()));
                EXPECT_TRUE(std::equal(u.end() - o, u.end(), before.end() - o));
            }
}

// Bands of 1, 2, 7 and 32 threads (also more threads than rows, and threads that fail to start)
// give the values of the single-thread sweep.
TEST(RelaxSweeps, Blur2EqualsBlur1ForAnyBandSplit)
{
    static int starts = 0;
    auto every_third_fails = [](pthread_t *t, const pthread_attr_t *a, void *(*fn)(void *),
                                void *arg) {
        return ++starts % 3 == 0 ? 11 : pthread_create(t, a, fn, arg);
    };
    for (int w : {36, 37})
        for (int h : {40, 5})
            for (bool wrap : {false, true})
                for (int nbProc : {1, 2, 7, 32, -32}) { // -32: 32 bands, every third fails
                    if (nbProc < 0)
                        imagecore::set_thread_start_for_testing(every_third_fails);
                    const Floats f = pattern(size_t(w * h), 5, -3, 3);
                    Floats u1 = pattern(size_t(w * h), 9, -1, 1), u2 = u1;
                    blur1(w, h, 3, wrap, 0, u1.data(), 0, nullptr, f.data(), 4.0f);
                    EXPECT_EQ(blur2(std::abs(nbProc), w, h, 3, wrap, 0, u2.data(), f.data(), 4.0f),
                              1);
                    imagecore::set_thread_start_for_testing(nullptr);
                    EXPECT_EQ(u2, u1) << w << "x" << h << " wrap " << wrap << ", " << nbProc;
                }
}

TEST(RelaxSweeps, NoSweepsBadLevelsAndStreaming)
{
    const Floats f(64, 1.0f);
    Floats u = pattern(64, 1, -1, 1);
    const Floats before = u;
    EXPECT_EQ(blur1(8, 8, 0, 0, 0, u.data(), 0, nullptr, f.data(), 1), 0);
    EXPECT_EQ(blur2(8, 8, 8, 0, 0, 0, u.data(), f.data(), 1), 1);
    EXPECT_EQ(blur0(8, 40, 40, -1, 0, 0, u.data(), 0, nullptr, f.data(), 1), 1);
    blur2i(4, 0, 8, 2, 0, 0, u.data(), f.data(), 1); // two rows: no interior row
    EXPECT_EQ(blur1(1, 8, 1, 0, 0, u.data(), 0, nullptr, f.data(), 1), -3);
    EXPECT_EQ(blur2(2, 8, 1, 1, 0, 0, u.data(), f.data(), 1), -3);
    EXPECT_EQ(blur1(8, 8, 1, 0, -1, u.data(), 0, nullptr, f.data(), 1), -3);
    EXPECT_EQ(blur2(2, 8, 8, 1, 0, 0, nullptr, f.data(), 1), -3);
    EXPECT_EQ(blur1(8, 8, 1, 0, 0, u.data(), 1, nullptr, f.data(), 1), -1); // no streaming yet
    EXPECT_EQ(blur0(8, 8, 8, 1, 0, 0, u.data(), 1, nullptr, f.data(), 1), -1);
    EXPECT_EQ(u, before);
}

// f = 0, u = 1: the red cells of three neighbours hold 0.9999, the others keep 1.
TEST(RelaxSweeps, ThreeNeighbourCellsTakeTheFactor09999)
{
    const int w = 8, h = 7;
    const Floats f(w * h, 0.0f);
    Floats u(w * h, 1.0f);
    blur1(w, h, 1, 0, 0, u.data(), 0, nullptr, f.data(), 1);
    for (int r = 0; r < h; r += 1)
        for (int c = (r % 2); c < w; c += 2) {
            const int edges = (r == 0 || r == h - 1) + (c == 0 || c == w - 1);
            EXPECT_EQ(u[size_t(r * w + c)], edges == 1 ? 0.9999f : 1.0f) << r << "," << c;
        }
}

// In 360 mode a top corner reads the middle of the top row and the far end of its row, a bottom
// corner the far end of its row, for both colours. A red corner reads the values before the
// sweep; a black one reads red cells, which hold their final values by then.
TEST(RelaxSweeps, WrappedCornersReadTheFarSide)
{
    for (int h : {7, 6}) {
        const int w = 10;
        const Floats f(size_t(w * h), 0.0f);
        const Floats u0 = pattern(size_t(w * h), 2, 0, 8);
        Floats u = u0;
        blur1(w, h, 1, 1, 0, u.data(), 0, nullptr, f.data(), 1);
        const int b = h - 1;
        const Floats &v = h % 2 ? u0 : u; // red bottom-left for odd h, black for even
        auto at = [&](const Floats &x, int r, int c) { return x[size_t(r * w + c)]; };
        EXPECT_EQ(at(u, 0, 0), (at(u0, 0, 5) + at(u0, 0, 9) + at(u0, 0, 1) + at(u0, 1, 0)) * 0.25f);
        EXPECT_EQ(at(u, 0, 9), (at(u, 0, 5) + at(u, 0, 8) + at(u, 0, 0) + at(u, 1, 9)) * 0.25f);
        EXPECT_EQ(at(u, b, 0), float(double(at(v, b, 9) + at(v, b, 1) + at(v, b - 1, 0)) * 0.3333));
    }
}

TEST(Multigrid, MatchesThePlainVCycles)
{
    // Exact halvings; width, height or both resampled (3-cell footprints, ratios up to 2.9); n = 1
    // is 20 sweeps of the image alone.
    const int cases[][4] = {{32, 24, 2, 0}, {32, 24, 3, 1}, {37, 24, 2, 0}, {32, 27, 2, 1},
                            {45, 29, 3, 0}, {45, 29, 2, 1}, {23, 16, 3, 0}, {40, 40, 1, 1},
                            {64, 48, 3, 0}, {67, 50, 3, 1}};
    for (auto [W, H, n, wrap] : cases) {
        const Floats f = pattern(size_t(W * H), uint32_t(W + H), -0.05f, 0.05f);
        const Floats ref = ref_solve(W, H, n, wrap, f);
        for (int nbProc : {1, 8}) {
            const Solve got = solve(W, H, n, wrap, f, nbProc);
            EXPECT_EQ(got.rc, H);
            EXPECT_EQ(got.out, ref) << W << "x" << H << " n " << n << " wrap " << wrap;
        }
    }
}

TEST(Multigrid, ZeroRightHandSideGivesOneAndThreadsAgree)
{
    for (auto [W, H, wrap] :
         {std::tuple{160, 120, 0}, {161, 120, 1}, {160, 123, 0}, {171, 133, 1}}) {
        const Solve zero = solve(W, H, 4, wrap, Floats(size_t(W * H), 0.0f), 8);
        EXPECT_EQ(zero.rc, H);
        EXPECT_EQ(zero.out, Floats(size_t(W * H), 1.0f));
        // Large enough for banded sweeps on the way down as well as up.
        const Floats f = pattern(size_t(W * H), 4, -0.1f, 0.1f);
        EXPECT_EQ(solve(W, H, 4, wrap, f, 1).out, solve(W, H, 4, wrap, f, 8).out) << W << "x" << H;
    }
}

// f made from a smooth u*: every cycle lowers the residual, and the levels recover u* (up to the
// constant the equation leaves free) far better than the same sweeps on the image alone.
TEST(Multigrid, RecoversAManufacturedSolution)
{
    for (auto [W, H] : {std::pair{96, 64}, {101, 67}}) {
        Floats exact(size_t(W * H));
        for (int r = 0; r < H; ++r)
            for (int c = 0; c < W; ++c)
                exact[size_t(r * W + c)] = float(std::cos(12.0 * c / W) * std::sin(9.0 * r / H));
        const Floats zero(exact.size(), 0.0f),
            f = ref_residual(exact.data(), zero.data(), W, H, 0, 1);
        Floats minusF(f.size());
        std::transform(f.begin(), f.end(), minusF.begin(), [](float x) { return -x; });
        auto error = [&](const Floats &out, double *residual) {
            Floats u(out.size()), e(out.size());
            std::transform(out.begin(), out.end(), u.begin(), [](float x) { return std::log(x); });
            *residual = rms(ref_residual(u.data(), minusF.data(), W, H, 0, 1));
            double mean = 0;
            for (size_t i = 0; i < u.size(); ++i)
                mean += (u[i] - exact[i]) / double(u.size());
            for (size_t i = 0; i < u.size(); ++i)
                e[i] = float(u[i] - exact[i] - mean);
            return rms(e);
        };
        double last = 1e9, residual, smoothed;
        for (int cycles = 0; cycles <= 4; ++cycles) {
            const double e = error(solve(W, H, 4, 0, minusF, 8, 0, cycles).out, &residual);
            EXPECT_LT(residual, last) << W << "x" << H << ", cycle " << cycles;
            last = residual;
            if (cycles == 4) {
                // About 1 % is left after four cycles; the sweeps alone leave about 75 %.
                EXPECT_LT(e, 0.02 * rms(exact)) << W << "x" << H;
                EXPECT_LT(e, 0.1 * error(solve(W, H, 1, 0, minusF, 8).out, &smoothed));
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
        const Solve five = solve(W, H, 5, 0, f, 8, d.v[kTdTotalA]);
        EXPECT_EQ(five.rc, H);
        EXPECT_EQ(five.out, solve(W, H, 3, 0, f, 8, d.v[kTdTotalA]).out);
        EXPECT_NE(five.out, solve(W, H, 2, 0, f, 8, d.v[kTdTotalA]).out);
        EXPECT_TRUE(std::all_of(five.out.begin(), five.out.end(),
                                [](float x) { return std::isfinite(x) && x > 0; }));
    }
}

TEST(Multigrid, RefusesBadArgumentsAndShortMemory)
{
    const Floats f(64 * 48, 0.5f);
    Floats work(64 * 48 * 2, 0.5f);
    auto run = [&](int n, int W, int H, int64_t T, float *buf, int disk = 0) {
        return calc_tm2old(0, 0, T, n, 0, buf, {{W, H}}, {1, disk, {}});
    };
    EXPECT_EQ(run(0, 64, 48, 6144, work.data()), -2);
    EXPECT_EQ(run(3, 64, 48, 6144, nullptr), -3);
    EXPECT_EQ(run(3, 1, 48, 6144, work.data()), -3);
    EXPECT_EQ(run(3, 64, 1, 6144, work.data()), -3);
    EXPECT_EQ(run(3, 64, 48, 64 * 48, work.data()), -3); // no room for the coarse levels
    EXPECT_EQ(run(3, 64, 48, 6144, work.data(), 1), -1); // out-of-core mode not offered
    EXPECT_EQ(Floats(work.begin(), work.begin() + 64 * 48), f);
    // Each allocation fails in turn (the level table, the solution pyramid, the scratch) until the
    // run needs no more; the sanitizer build's leak check sees anything lost.
    for (long n = 1;; ++n) {
        tmtest::t_failAt = n, tmtest::t_seen = 0;
        const int rc = run(3, 64, 48, 6144, work.data());
        const long seen = tmtest::t_seen;
        tmtest::t_failAt = 0;
        EXPECT_EQ(rc, seen < n ? 48 : -4) << n;
        if (seen < n) {
            EXPECT_EQ(n, 4);
            break;
        }
    }
}
