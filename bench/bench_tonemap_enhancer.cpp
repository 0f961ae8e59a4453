// The local operator (Deredid Edazozed) on a textured HDR scene of 6 and 24 megapixels at 1 and
// 8 worker threads: the whole job (ToneMap::enhancerToneMap: buffers, stages 1 to 3, 16-bit
// output) and each stage on its own, its inputs prepared outside the timed region.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "platform/data.h"
#include "tests/tonemap/tm_test_util.h"
#include "tonemap/deredid_stages.h"
#include "tonemap/tm_dim.h"
#include "tonemap/tone_map.h"

namespace {

struct Scene {
    int w, h;
    std::vector<uint8_t> rgbe;
};

const Scene &scene(int megapixels)
{
    static std::map<int, Scene> cache;
    auto it = cache.find(megapixels);
    if (it == cache.end()) {
        const int w = megapixels == 24 ? 6000 : 3000, h = megapixels == 24 ? 4000 : 2000;
        it = cache.emplace(megapixels, Scene{w, h, tmtest::encode_rgbe(w, h, 0.2)}).first;
    }
    return it->second;
}

void BM_Enhancer(benchmark::State &state)
{
    const Scene &s = scene(int(state.range(1)));
    const int32_t dims[13] = {s.w, s.h, 3, 8, 16};
    const platform::DataPtr src = platform::Data::copy(s.rgbe.data(), s.rgbe.size());
    for (auto _ : state) {
        ToneMap job;
        job.setParamToDefault();
        job.setImageDimsFrom(platform::Data::copy(dims, sizeof dims));
        job.setNbProc(int(state.range(0)));
        platform::DataPtr out = job.enhancerToneMap(0, src);
        if (!out) {
            state.SkipWithError("enhancer failed");
            break;
        }
        benchmark::DoNotOptimize(out->bytes());
    }
    state.counters["MP/s"] = benchmark::Counter(
        double(s.w) * s.h / 1e6 * double(state.iterations()), benchmark::Counter::kIsRate);
}

// Stage k (1, 2 or 3) alone, with the default record: the earlier stages run untimed before
// each timed call.
void BM_Stage(benchmark::State &state)
{
    const int stage = int(state.range(2));
    const Scene &s = scene(int(state.range(1)));
    float p[kTmParamCount];
    tmparam_default(kMethodDeredid, 0, p);
    tm_dims d{};
    tm_dim(s.w, s.h, p, &d);
    const size_t total = size_t(std::max(d.v[kTdTotalA], d.v[kTdTotalB]));
    const dim_param dim{{s.w, s.h, 3, 8, 16, 0, s.w * 3, 0}};
    optim_param_struct opt{int(state.range(0)), 0, {}};
    float table[256];
    exp_lut(table, -8);
    std::vector<uint8_t> scratch(total * 4), out(size_t(s.w) * s.h * 6);
    std::vector<float> work(total);
    float lum[kLumParamCount] = {};
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(scratch.data(), s.rgbe.data(), s.rgbe.size());
        int rc = 0;
        const auto t0 = std::chrono::steady_clock::now();
        auto t1 = t0;
        for (int k = 1; k <= stage && rc >= 0; ++k) {
            if (k == stage)
                t1 = std::chrono::steady_clock::now();
            if (k == 1)
                rc = calc_tm1(0, p, &d, lum, table, nullptr, dim, nullptr, opt, scratch.data(),
                              scratch.size(), work.data());
            else if (k == 2)
                rc = calc_tm2(int(d.v[kTdCoarseWidthA]), int(d.v[kTdCoarseHeightA]), d.v[kTdTotalA],
                              int(d.v[kTdLevelsA]), p, work.data(), dim, opt);
            else
                rc = calc_tm3(0, p, lum, table, nullptr, const_cast<uint8_t *>(s.rgbe.data()), dim,
                              opt, work.data(), out.data()) > 0
                         ? 0
                         : -1;
        }
        const auto t2 = std::chrono::steady_clock::now();
        if (rc < 0) {
            state.SkipWithError("stage failed");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(t2 - t1).count());
        state.ResumeTiming();
    }
}

} // namespace

BENCHMARK(BM_Enhancer)
    ->ArgNames({"threads", "MP"})
    ->ArgsProduct({{1, 8}, {6, 24}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Stage)
    ->ArgNames({"threads", "MP", "stage"})
    ->ArgsProduct({{1, 8}, {6, 24}, {1, 2, 3}})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();

BENCHMARK_MAIN();
