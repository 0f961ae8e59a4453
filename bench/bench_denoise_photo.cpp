// Noise reduction of a dark 24-megapixel 8-bit RGB photo (6000 x 4000) with seeded noise of
// sigma 4, at 1 and 8 threads, reported in megapixels per second ("MPix/s"); BM_DenoiseQuality
// also reports the PSNR against the clean photo before and after (sigma 4 and 8).
// With DENOISE_DUMP_DIR set, the clean and noisy photos are written there as PPM files
// (clean.ppm, noisy4.ppm, noisy8.ppm) for bench/compare_denoise.sh.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "denoise/denoise.h"
#include "tests/support/bracket_generator.h"
#include "tests/support/noise.h"

namespace {

constexpr int kWidth = 6000, kHeight = 4000;
constexpr float kDarkExposure = 0.125f; // three stops under: the darkest photo of a bracket

const std::vector<uint8_t> &clean()
{
    static const std::vector<uint8_t> photo = [] {
        const auto map = testsupport::make_radiance_map(kWidth, kHeight);
        return testsupport::render_photo(map, kDarkExposure, 8, 3);
    }();
    return photo;
}

void write_ppm(const std::string &path, const std::vector<uint8_t> &rgb)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return;
    std::fprintf(f, "P6\n%d %d\n255\n", kWidth, kHeight);
    std::fwrite(rgb.data(), 1, rgb.size(), f);
    std::fclose(f);
}

const std::vector<uint8_t> &noisy(int sigma)
{
    static std::map<int, std::vector<uint8_t>> photos;
    auto it = photos.find(sigma);
    if (it == photos.end()) {
        std::vector<uint8_t> p = clean();
        testsupport::add_seeded_noise(p, 8, sigma, 1000 + uint64_t(sigma));
        it = photos.emplace(sigma, std::move(p)).first;
        if (const char *dir = std::getenv("DENOISE_DUMP_DIR")) {
            write_ppm(std::string(dir) + "/clean.ppm", clean());
            write_ppm(std::string(dir) + "/noisy" + std::to_string(sigma) + ".ppm", it->second);
        }
    }
    return it->second;
}

int run_once(const std::vector<uint8_t> &src, std::vector<uint8_t> &out, std::vector<float> &work,
             int threads)
{
    float param[kNrParamCount];
    nr_def(param);
    return denoise2(kWidth, kHeight, 3, kWidth * 3, 8, 2048, threads, param, work.data(),
                    src.data(), out.data());
}

void BM_Denoise2(benchmark::State &state)
{
    const int threads = int(state.range(0));
    const auto &src = noisy(4);
    std::vector<uint8_t> out(src.size());
    std::vector<float> work(size_t(mem4denoise(kWidth, kHeight, 2048)) / sizeof(float));
    for (auto _ : state) {
        if (run_once(src, out, work, threads) != 1)
            state.SkipWithError("denoise2 failed");
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.counters["MPix/s"] = benchmark::Counter(double(kWidth) * kHeight / 1e6,
                                                  benchmark::Counter::kIsIterationInvariantRate);
}

void BM_DenoiseQuality(benchmark::State &state)
{
    const int sigma = int(state.range(0));
    const auto &src = noisy(sigma);
    std::vector<uint8_t> out(src.size());
    std::vector<float> work(size_t(mem4denoise(kWidth, kHeight, 2048)) / sizeof(float));
    for (auto _ : state) {
        if (run_once(src, out, work, 8) != 1)
            state.SkipWithError("denoise2 failed");
    }
    state.counters["PSNR_noisy"] = testsupport::psnr8(clean().data(), src.data(), src.size());
    state.counters["PSNR_denoised"] = testsupport::psnr8(clean().data(), out.data(), out.size());
}

} // namespace

BENCHMARK(BM_Denoise2)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DenoiseQuality)
    ->Arg(4)
    ->Arg(8)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
