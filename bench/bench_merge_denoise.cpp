// Throughput of the HDR denoise driver on a 24-megapixel rgbeBuf (6000 x 4000, the test scene):
// level 80 runs the chroma step only, 100 and 130 the chroma and luminance steps. Reported in
// megapixels per second ("MPix/s").
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "merge/hdr_denoise.h"
#include "tests/tonemap/tm_test_util.h"

namespace {

constexpr int kWidth = 6000, kHeight = 4000;

const std::vector<uint8_t> &scene()
{
    static const std::vector<uint8_t> rgbe = tmtest::encode_rgbe(kWidth, kHeight);
    return rgbe;
}

void BM_Denoise1(benchmark::State &state)
{
    const int level = int(state.range(0));
    std::vector<uint8_t> src, dst(scene().size());
    for (auto _ : state) {
        state.PauseTiming();
        src = scene(); // from level 100 up the driver leaves the chroma result in its source
        state.ResumeTiming();
        if (denoise1(level, kWidth, kHeight, 32, src.data(), dst.data()) != kHeight)
            state.SkipWithError("denoise failed");
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.counters["MPix/s"] = benchmark::Counter(double(kWidth) * kHeight / 1e6,
                                                  benchmark::Counter::kIsIterationInvariantRate);
}

} // namespace

BENCHMARK(BM_Denoise1)->Arg(80)->Arg(100)->Arg(130)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
