// The conjugate-gradient kernels of the local operator (Laplacian tm20m, dot product tm20d,
// scaled sum tm20a) on one pyramid level from 1,000 to 24,000,000 elements, at 1 and 8 threads:
// where banding pays for its call. Elements per second and memory traffic. And one iteration of
// the solver with its passes separate and fused (tm20md, tm20aad).
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "tonemap/cg_kernels.h"

namespace {

// A level of about n elements with the sides of a 3:2 photo.
struct Level {
    int w, h;
    explicit Level(int64_t n)
        : w(int(std::lround(std::sqrt(1.5 * double(n))))), h(int(std::lround(double(n) / w)))
    {
    }
    int n() const { return w * h; }
};

std::vector<float> values(int n)
{
    std::vector<float> v(static_cast<size_t>(n));
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = float(std::sin(0.37 * double(i)));
    return v;
}

void count(benchmark::State &state, int n, int bytesPerElement)
{
    state.SetItemsProcessed(int64_t(state.iterations()) * n);
    state.SetBytesProcessed(int64_t(state.iterations()) * n * bytesPerElement);
}

void BM_Tm20m(benchmark::State &state)
{
    const Level level(state.range(0));
    const ThreadCount threads(int(state.range(1)));
    const std::vector<float> x = values(level.n());
    std::vector<float> y(x.size());
    for (auto _ : state) {
        tm20m(threads, level.w, level.h, 0, x.data(), y.data());
        benchmark::DoNotOptimize(y.data());
    }
    count(state, level.n(), 8); // read x, write y
}

void BM_Tm20d(benchmark::State &state)
{
    const int n = int(state.range(0));
    const ThreadCount threads(int(state.range(1)));
    const std::vector<float> x = values(n), y = values(n);
    float r = 0;
    for (auto _ : state) {
        tm20d(threads, n, x.data(), y.data(), &r);
        benchmark::DoNotOptimize(r);
    }
    count(state, n, 8); // read x and y
}

void BM_Tm20a(benchmark::State &state)
{
    const int n = int(state.range(0));
    const ThreadCount threads(int(state.range(1)));
    std::vector<float> x = values(n);
    const std::vector<float> y = values(n);
    for (auto _ : state) {
        tm20a(threads, n, x.data(), y.data(), x.data(), 1e-7f); // in place, as the solver does
        benchmark::DoNotOptimize(x.data());
    }
    count(state, n, 12); // read x and y, write x
}

// One iteration's passes over a level as the solver ran them before they were fused (range 2
// = 0: Laplacian, dot product, two scaled sums, dot product) and fused (1: tm20md, tm20aad);
// the same values either way.
void BM_CgIteration(benchmark::State &state)
{
    const Level level(state.range(0));
    const ThreadCount threads(int(state.range(1)));
    const bool fused = state.range(2) != 0;
    const int n = int(level.n());
    std::vector<float> p = values(n), t(static_cast<size_t>(n)), x = values(n), r = values(n);
    float d = 0, rr = 0;
    for (auto _ : state) {
        if (fused) {
            tm20md(threads, level.w, level.h, 0, p.data(), t.data(), &d);
            tm20aad(threads, n, 1e-7f, p.data(), t.data(), x.data(), r.data(), &rr);
        } else {
            tm20m(threads, level.w, level.h, 0, p.data(), t.data());
            tm20d(threads, n, p.data(), t.data(), &d);
            tm20a(threads, n, x.data(), p.data(), x.data(), 1e-7f);
            tm20a(threads, n, r.data(), t.data(), r.data(), -1e-7f);
            tm20d(threads, n, r.data(), r.data(), &rr);
        }
        benchmark::DoNotOptimize(d + rr);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * n);
}

void sizes(benchmark::internal::Benchmark *b)
{
    b->ArgNames({"n", "threads"});
    for (int64_t n : {1000, 1200, 4000, 16000, 100000, 1000000, 6000000, 24000000})
        for (int threads : {1, 8})
            b->Args({n, threads});
    b->UseRealTime()->Unit(benchmark::kMicrosecond);
}

} // namespace

BENCHMARK(BM_Tm20m)->Apply(sizes);
BENCHMARK(BM_Tm20d)->Apply(sizes);
BENCHMARK(BM_Tm20a)->Apply(sizes);
BENCHMARK(BM_CgIteration)
    ->ArgNames({"n", "threads", "fused"})
    ->ArgsProduct({{1000000, 6000000, 24000000}, {1, 8}, {0, 1}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
