// The global operator's job (statistics, then the mapping in row bands) on a 24-megapixel HDR
// image, at 1 and 8 worker threads, into 8- and 16-bit output; megapixels per second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "platform/data.h"
#include "tests/tonemap/tm_test_util.h"
#include "tonemap/tone_map.h"

namespace {

constexpr int kWidth = 6000, kHeight = 4000;

const platform::DataPtr &source()
{
    static const platform::DataPtr data = [] {
        // The test scene, encoded as the tone-mapping tests encode theirs.
        const std::vector<uint8_t> rgbe = tmtest::encode_rgbe(kWidth, kHeight);
        return platform::Data::copy(rgbe.data(), rgbe.size());
    }();
    return data;
}

void BM_Compressor(benchmark::State &state)
{
    const int threads = int(state.range(0)), bits = int(state.range(1));
    const int32_t dims[13] = {kWidth, kHeight, 3, 8, bits};
    const platform::DataPtr &src = source();
    for (auto _ : state) {
        ToneMap job;
        job.setParamToDefault();
        job.setImageDimsFrom(platform::Data::copy(dims, sizeof dims));
        job.setNbProc(threads);
        platform::DataPtr out = job.compressorToneMap(0, src);
        if (!out) {
            state.SkipWithError("compressor failed");
            break;
        }
        benchmark::DoNotOptimize(out->bytes());
    }
    state.counters["MP/s"] = benchmark::Counter(
        double(kWidth) * kHeight / 1e6 * double(state.iterations()), benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(BM_Compressor)
    ->ArgNames({"threads", "bits"})
    ->Args({1, 8})
    ->Args({8, 8})
    ->Args({1, 16})
    ->Args({8, 16})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
