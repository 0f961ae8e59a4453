// Throughput of the combination methods on generated 8-bit RGB brackets of 3 photos two stops
// apart, 16-bit output as the driver asks: the mean, the highlights-and-shadows light and the
// two-photo blend on 12 megapixels (4000 x 3000); the intensive blend (radius 40, Strength 0) on
// 2 megapixels (1600 x 1200) at sampling steps 2 to 8, whose cost falls with the square of the
// step. Reported in megapixels per second ("MPix/s").
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "fusion/combination.h"
#include "tests/support/bracket_generator.h"
#include "tonemap/tm_params.h"

namespace {

void run(benchmark::State &state, int method, int w, int h, const float *p)
{
    const std::vector<uint8_t> stack =
        testsupport::render_bracket(testsupport::make_radiance_map(w, h), {0.25f, 1, 4}, 8, 3);
    std::vector<uint16_t> out(size_t(w) * size_t(h) * 3);
    for (auto _ : state) {
        if (combine_photos(method, p, 3, w, h, 3 * w, 3, 8, 16, stack.data(),
                           reinterpret_cast<uint8_t *>(out.data())) != h)
            state.SkipWithError("combination failed");
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.counters["MPix/s"] =
        benchmark::Counter(double(w) * h / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Combination(benchmark::State &state)
{
    float p[kTmParamCount] = {};
    p[kTwoPhotoA] = 0, p[kTwoPhotoB] = 2;
    run(state, int(state.range(0)), 4000, 3000, p);
}

void BM_Intensive(benchmark::State &state)
{
    float p[kTmParamCount] = {};
    tmparam_default(kMethodFusionIntensive, 0, p);
    p[kInStep] = float(state.range(0));
    run(state, kMethodFusionIntensive, 1600, 1200, p);
}

} // namespace

BENCHMARK(BM_Combination)
    ->ArgName("method")
    ->Arg(kMethodHighlightsShadows)
    ->Arg(kMethodTwoPhotos)
    ->Arg(kMethodMean)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Intensive)->ArgName("step")->DenseRange(2, 8, 2)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
