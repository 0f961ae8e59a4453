// The light-mode Poisson solve (four multigrid V-cycles) on a 24-megapixel right-hand side, with
// the level count tm_dim gives at the default light smoothing, at 1 and 8 worker threads;
// megapixels per second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "tonemap/multigrid.h"
#include "tonemap/tm_dim.h"
#include "tonemap/tm_params.h"

namespace {

constexpr int kWidth = 6000, kHeight = 4000;

// A smooth field with fine texture, about the size of attenuated log-luminance divergences.
const std::vector<float> &rhs()
{
    static const std::vector<float> f = [] {
        std::vector<float> v(size_t(kWidth) * kHeight);
        for (int r = 0; r < kHeight; ++r)
            for (int c = 0; c < kWidth; ++c)
                v[size_t(r) * kWidth + c] =
                    0.01f * std::sin(0.011f * float(c)) * std::cos(0.007f * float(r)) +
                    0.002f * float((r * 7 + c * 13) % 17 - 8);
        return v;
    }();
    return f;
}

void BM_Multigrid(benchmark::State &state)
{
    float p[kTmParamCount];
    tmparam_default(kMethodDeredid, 0, p);
    p[kDeSmoothingMode] = 0; // light mode, smoothing slot at its default
    tm_dims d{};
    const int n = tm_dim(kWidth, kHeight, p, &d);
    std::vector<float> work(size_t(d.v[kTdTotalA]));
    const dim_param dim{{kWidth, kHeight, 3, 8, 16, 0, kWidth * 3, 0}};
    const optim_param_struct opt{int(state.range(0)), 0, {}};
    for (auto _ : state) {
        state.PauseTiming();
        std::copy(rhs().begin(), rhs().end(), work.begin());
        state.ResumeTiming();
        const int rc = calc_tm2old(int(d.v[kTdCoarseWidthA]), int(d.v[kTdCoarseHeightA]),
                                   d.v[kTdTotalA], n, 0, work.data(), dim, opt);
        if (rc != kHeight) {
            state.SkipWithError("solve failed");
            break;
        }
        benchmark::DoNotOptimize(work.data());
    }
    state.counters["MP/s"] = benchmark::Counter(
        double(kWidth) * kHeight / 1e6 * double(state.iterations()), benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(BM_Multigrid)
    ->ArgNames({"threads"})
    ->Arg(1)
    ->Arg(8)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
