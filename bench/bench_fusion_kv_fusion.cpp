// Throughput of exposure fusion (kv_fusion: weight maps, pyramids and blending, collapse and
// finishing) on generated 8-bit RGB brackets of 12 megapixels (4000 x 3000) and 24 megapixels
// (6000 x 4000), 3 and 5 photos two stops apart, at 1 and 8 workers, 16-bit output as the
// driver asks; reported in megapixels per second ("MPix/s").
#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <vector>

#include "fusion/exposure_fusion.h"
#include "imagecore/preview.h"
#include "tests/support/bracket_generator.h"

namespace {

// Five photos at exposures 1/16 .. 16 of one size; photos 1..3 form the 3-photo bracket.
const std::vector<uint8_t> &bracket(int w, int h)
{
    static std::map<int, std::vector<uint8_t>> stacks;
    auto it = stacks.find(w);
    if (it == stacks.end()) {
        const auto map = testsupport::make_radiance_map(w, h);
        it = stacks.emplace(w, testsupport::render_bracket(map, {0.0625f, 0.25f, 1, 4, 16}, 8, 3))
                 .first;
    }
    return it->second;
}

void BM_KvFusion(benchmark::State &state)
{
    const int n = int(state.range(0)), mp = int(state.range(1)), threads = int(state.range(2));
    const int w = mp == 24 ? 6000 : 4000, h = mp == 24 ? 4000 : 3000;
    const size_t photoBytes = size_t(w) * size_t(h) * 3;
    const uint8_t *stack = bracket(w, h).data() + (n == 3 ? photoBytes : 0);
    const int len = pyram_len(w, h);
    std::vector<uint16_t> out(size_t(len) * 3);
    const std::vector<int> fixed(size_t(n), -1);
    const float param[kTmParamCount] = {};
    optim_param_struct optim;
    init_optim_param(&optim);
    optim.nbProc = threads;
    for (auto _ : state) {
        const int rc = kv_fusion(nullptr, param, n, w, h, 3 * w, optim, 0, 3, 8, 16, 16, 16, len, 0,
                                 nullptr, stack, fixed.data(), nullptr, nullptr, out.data(), 0);
        if (rc != w * h * 3)
            state.SkipWithError("fusion failed");
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.counters["MPix/s"] =
        benchmark::Counter(double(w) * h / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

} // namespace

BENCHMARK(BM_KvFusion)
    ->ArgNames({"photos", "MP", "threads"})
    ->ArgsProduct({{3, 5}, {12, 24}, {1, 8}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
