// Helper of bench/compare_peers.sh: writes the benchmark's HDR scene as a portable float map,
// so a peer tone mapper reads the very values the local operator gets, and runs the local
// operator's job on such a file with its time and peak memory.
//   bench_tonemap_pfm write W H OUT.pfm         the textured scene, through its RGBE encoding
//   bench_tonemap_pfm enhance IN.pfm THREADS OUT.ppm
//       prints "enhancer SECONDS s, peak MB, bytes/pixel" and writes the result as 8-bit PPM
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "imagecore/pixel_buffers.h"
#include "platform/data.h"
#include "tests/tonemap/tm_test_util.h"
#include "tonemap/tone_map.h"

namespace {

using File = std::unique_ptr<FILE, int (*)(FILE *)>;

// Resident memory now, in bytes.
long resident_bytes()
{
    long pages = 0, resident = 0;
    File f(std::fopen("/proc/self/statm", "r"), std::fclose);
    if (f && std::fscanf(f.get(), "%ld %ld", &pages, &resident) == 2)
        return resident * 4096;
    return 0;
}

int write_scene(int w, int h, const char *path)
{
    const std::vector<uint8_t> rgbe = tmtest::encode_rgbe(w, h, 0.2);
    float table[256];
    exp_lut(table, -8);
    std::vector<float> rgb(size_t(w) * 3);
    File f(std::fopen(path, "wb"), std::fclose);
    if (!f)
        return 1;
    std::fprintf(f.get(), "PF\n%d %d\n-1.0\n", w, h);
    // Float maps run bottom to top.
    for (int y = h - 1; y >= 0; --y) {
        const uint8_t *row = rgbe.data() + size_t(y) * 4 * size_t(w);
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                rgb[size_t(x) * 3 + size_t(c)] = row[size_t(c * w + x)] * table[row[3 * w + x]];
        if (std::fwrite(rgb.data(), 4, rgb.size(), f.get()) != rgb.size())
            return 1;
    }
    return 0;
}

int enhance(const char *in, int threads, const char *out)
{
    File f(std::fopen(in, "rb"), std::fclose);
    int w = 0, h = 0;
    float scale = 0;
    if (!f || std::fscanf(f.get(), "PF %d %d %f", &w, &h, &scale) != 3 || w < 1 || h < 1 ||
        scale >= 0 || std::fgetc(f.get()) == EOF)
        return 1;
    std::vector<uint8_t> rgbe(size_t(w) * size_t(h) * 4);
    std::vector<float> rgb(size_t(w) * 3);
    for (int y = h - 1; y >= 0; --y) {
        if (std::fread(rgb.data(), 4, rgb.size(), f.get()) != rgb.size())
            return 1;
        for (int x = 0; x < w; ++x)
            imagecore::put_rgbe(rgbe.data() + size_t(y) * 4 * size_t(w), w, x, rgb[size_t(x) * 3],
                                rgb[size_t(x) * 3 + 1], rgb[size_t(x) * 3 + 2]);
    }
    const platform::DataPtr src = platform::Data::copy(rgbe.data(), rgbe.size());
    std::vector<uint8_t>().swap(rgbe);
    std::vector<float>().swap(rgb);
    const long before = resident_bytes();

    ToneMap job;
    job.setParamToDefault();
    const int32_t dims[13] = {w, h, 3, 8, 16};
    job.setImageDimsFrom(platform::Data::copy(dims, sizeof dims));
    job.setNbProc(threads);
    const auto t0 = std::chrono::steady_clock::now();
    const platform::DataPtr result = job.enhancerToneMap(0, src);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (!result)
        return 1;
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    const double peak = double(ru.ru_maxrss) * 1024 - double(before);
    std::printf("enhancer %.3f s, peak %.0f MB above the source, %.1f bytes/pixel\n", seconds,
                peak / 1e6, peak / (double(w) * h));

    File o(std::fopen(out, "wb"), std::fclose);
    if (!o)
        return 1;
    std::fprintf(o.get(), "P6\n%d %d\n255\n", w, h);
    const auto *px = reinterpret_cast<const uint16_t *>(result->bytes());
    std::vector<uint8_t> row(size_t(w) * 3);
    for (int y = 0; y < h; ++y) {
        for (size_t i = 0; i < row.size(); ++i)
            row[i] = uint8_t(px[size_t(y) * row.size() + i] >> 8);
        if (std::fwrite(row.data(), 1, row.size(), o.get()) != row.size())
            return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 5 && std::strcmp(argv[1], "write") == 0)
        return write_scene(std::atoi(argv[2]), std::atoi(argv[3]), argv[4]);
    if (argc == 5 && std::strcmp(argv[1], "enhance") == 0)
        return enhance(argv[2], std::atoi(argv[3]), argv[4]);
    std::fprintf(stderr, "usage: %s write W H OUT.pfm | enhance IN.pfm THREADS OUT.ppm\n", argv[0]);
    return 2;
}
