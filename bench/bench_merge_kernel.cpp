// Throughput of the HDR merge kernel on a 24-megapixel 8-bit RGB bracket (6000 x 4000), 3 and
// 5 photos two stops apart, at 1 to 8 threads, reported in megapixels per second ("MPix/s").
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "merge/hdr_merge.h"
#include "tests/support/bracket_generator.h"

namespace {

constexpr int kWidth = 6000, kHeight = 4000;

// Five photos at exposures 1/16 .. 16; photos 1..3 form the 3-photo bracket 1/4, 1, 4.
const std::vector<uint8_t> &bracket()
{
    static const std::vector<uint8_t> stack = [] {
        const auto map = testsupport::make_radiance_map(kWidth, kHeight);
        return testsupport::render_bracket(map, {0.0625f, 0.25f, 1.0f, 4.0f, 16.0f}, 8, 3);
    }();
    return stack;
}

void BM_MergeKernel(benchmark::State &state)
{
    const int n = int(state.range(0)), threads = int(state.range(1));
    const size_t photoBytes = size_t(kWidth) * kHeight * 3;
    const uint8_t *stack = bracket().data() + (n == 3 ? photoBytes : 0);
    const std::vector<float> all = {0.0625f, 0.25f, 1.0f, 4.0f, 16.0f};
    const std::vector<float> exposures(all.begin() + (n == 3 ? 1 : 0),
                                       all.begin() + (n == 3 ? 4 : 5));
    std::vector<float> lut(256), times;
    std::vector<uint8_t> out(size_t(kWidth) * kHeight * 4);
    float stats[3];
    for (auto _ : state) {
        times = exposures;
        const int rows = kv_hdr_merge(nullptr, 0, n, kWidth, kHeight, 3, 8, 0, lut.data(),
                                      times.data(), stack, stats, out.data(), -1.0f, threads);
        if (rows != kHeight)
            state.SkipWithError("merge failed");
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.counters["MPix/s"] = benchmark::Counter(double(kWidth) * kHeight / 1e6,
                                                  benchmark::Counter::kIsIterationInvariantRate);
}

} // namespace

BENCHMARK(BM_MergeKernel)
    ->ArgNames({"photos", "threads"})
    ->ArgsProduct({{3, 5}, {1, 2, 4, 8}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
