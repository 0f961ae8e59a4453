// The light-mode Poisson solve (four multigrid V-cycles) on right-hand sides of 0.1 to 24
// megapixels (3:2), with the level count tm_dim gives at the default light smoothing, at 1 and 8
// worker threads; megapixels per second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

#include "tonemap/multigrid.h"
#include "tonemap/tm_dim.h"
#include "tonemap/tm_params.h"

namespace {

// A smooth field with fine texture, about the size of attenuated log-luminance divergences.
const std::vector<float> &rhs(int w, int h)
{
    static std::map<int, std::vector<float>> cache;
    std::vector<float> &v = cache[w];
    if (v.empty()) {
        v.resize(size_t(w) * h);
        for (int r = 0; r < h; ++r)
            for (int c = 0; c < w; ++c)
                v[size_t(r) * w + c] =
                    0.01f * std::sin(0.011f * float(c)) * std::cos(0.007f * float(r)) +
                    0.002f * float((r * 7 + c * 13) % 17 - 8);
    }
    return v;
}

void BM_Multigrid(benchmark::State &state)
{
    // Width for the megapixels given in tenths, 3:2.
    const int w = int(std::lround(std::sqrt(double(state.range(1)) * 1e5 * 1.5)));
    const int h = w * 2 / 3;
    float p[kTmParamCount];
    tmparam_default(kMethodDeredid, 0, p);
    p[kDeSmoothingMode] = 0; // light mode, smoothing slot at its default
    tm_dims d{};
    const int n = tm_dim(w, h, p, &d);
    std::vector<float> work(size_t(d.v[kTdTotalA]));
    const dim_param dim{{w, h, 3, 8, 16, 0, w * 3, 0}};
    const optim_param_struct opt{int(state.range(0)), 0, {}};
    const std::vector<float> &f = rhs(w, h);
    for (auto _ : state) {
        state.PauseTiming();
        std::copy(f.begin(), f.end(), work.begin());
        state.ResumeTiming();
        const int rc = calc_tm2old(int(d.v[kTdCoarseWidthA]), int(d.v[kTdCoarseHeightA]),
                                   d.v[kTdTotalA], n, 0, work.data(), dim, opt);
        if (rc != h) {
            state.SkipWithError("solve failed");
            break;
        }
        benchmark::DoNotOptimize(work.data());
    }
    state.counters["MP/s"] = benchmark::Counter(double(w) * h / 1e6 * double(state.iterations()),
                                                benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(BM_Multigrid)
    ->ArgNames({"threads", "MPx10"})
    ->ArgsProduct({{1, 8}, {1, 19, 59, 120, 240}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
