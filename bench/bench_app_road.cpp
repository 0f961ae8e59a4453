// Helper of bench/run_driver.sh and bench/compare_peers.sh: renders the benchmark bracket and
// measures the bounds the road's stages are judged against.
//   bench_app_road write DIR [WIDTH HEIGHT]
//       five JPEGs of the generator's scene two stops apart (default 6000 x 4000), with seeded
//       grain so they compress like camera files; prints "EXPOSURE_SECONDS PATH" a photo
//   bench_app_road bound WIDTH HEIGHT PHOTOS THREADS [REPEATS]
//       median time of moving the merge's bytes with memcpy in THREADS bands: reading the
//       stack (PHOTOS x WIDTH x HEIGHT x 3 bytes) and writing the HDR image (4 bytes a pixel)
//   bench_app_road starts THREADS [REPEATS [PAUSE_US]]
//       median time of one empty call of the banded runner at THREADS bands, the calls back to
//       back or PAUSE_US microseconds apart (long enough for idle workers to sleep)
//   bench_app_road size PHOTO...
//       "WIDTH HEIGHT COUNT" of a bracket, as the driver's checks read it
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/road.h"
#include "imagecore/banded.h"
#include "metadata/jpeg_writer.h"
#include "tests/support/bracket_generator.h"
#include "tests/support/noise.h"
#include "tests/support/shot_records.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int write_bracket(const std::string &dir, int w, int h)
{
    ::mkdir(dir.c_str(), 0755);
    const testsupport::RadianceMap scene = testsupport::make_radiance_map(w, h);
    // 1/1024 .. 1/4 s at f/8, ISO 100: radiance factors 1/64 .. 4, covering the scene's
    // shadows to just under the sun.
    int n = 0;
    for (int den : {1024, 256, 64, 16, 4}) {
        // Grain of 3 codes: files of camera size (smooth renders decode unusually fast).
        const std::vector<uint8_t> px =
            testsupport::render_noisy_photo(scene, 16.0f / float(den), 8, 3.0, uint64_t(den));
        testsupport::ShotRecords r = testsupport::shot_records(w, h, den, 300);
        const std::string path = dir + "/bracket-" + std::to_string(++n) + ".jpg";
        if (KVwritejpg(path.c_str(), 95, r.info, w * 3, nullptr, r.exif, r.gps, 0, nullptr, 0,
                       nullptr, px.data()) != h) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
        std::printf("%.9g %s\n", 1.0 / den, path.c_str());
    }
    return 0;
}

// Each band reads its rows of every photo and writes its rows of the output: the output's bytes
// are copied from the first photo's (and the next's where 4 bytes a pixel pass 3), the rest of
// the stack is copied into a block that stays in cache, so memory sees the merge's reads and
// writes and no more.
int bound(int w, int h, int photos, int threads, int repeats)
{
    const size_t photoBytes = size_t(w) * size_t(h) * 3, outRow = size_t(w) * 4;
    std::vector<uint8_t> stack(photoBytes * size_t(photos), 1), out(size_t(h) * outRow, 0);
    std::vector<double> times;
    for (int r = 0; r < repeats; ++r) {
        const auto t0 = Clock::now();
        imagecore::run_banded(threads, h, [&](const imagecore::Band &b) {
            alignas(64) static thread_local uint8_t block[32768];
            const size_t rows = size_t(b.end - b.begin), inBytes = rows * size_t(w) * 3;
            const size_t extra = rows * size_t(w); // the fourth byte of each output pixel
            uint8_t *dst = out.data() + size_t(b.begin) * outRow;
            auto band_of = [&](int k) {
                return stack.data() + size_t(k) * photoBytes + size_t(b.begin) * size_t(w) * 3;
            };
            // The output from photo 0's rows and the start of photo 1's.
            std::memcpy(dst, band_of(0), inBytes);
            std::memcpy(dst + inBytes, band_of(photos > 1 ? 1 : 0), extra);
            for (int k = 1; k < photos; ++k) {
                const uint8_t *src = band_of(k);
                for (size_t at = k == 1 ? extra : 0; at < inBytes; at += sizeof block)
                    std::memcpy(block, src + at, std::min(sizeof block, inBytes - at));
            }
        });
        times.push_back(seconds_since(t0));
    }
    std::printf("bound %.4f s (%d threads, %.1f MB read, %.1f MB written)\n", median(times),
                threads, double(stack.size()) / 1e6, double(out.size()) / 1e6);
    return 0;
}

int starts(int threads, int repeats, int pauseUs)
{
    std::vector<double> times;
    volatile int sink = 0;
    for (int r = 0; r < repeats; ++r) {
        if (pauseUs > 0)
            std::this_thread::sleep_for(std::chrono::microseconds(pauseUs));
        const auto t0 = Clock::now();
        imagecore::run_banded(threads, 1 << 20, [&](const imagecore::Band &b) { sink = b.index; });
        times.push_back(seconds_since(t0));
    }
    std::sort(times.begin(), times.end());
    auto us = [&](double q) { return 1e6 * times[size_t(q * double(times.size() - 1))]; };
    std::printf("starts %.1f us (%d threads, median of %d, %d us apart; quartiles %.1f and "
                "%.1f us, 90 %% under %.1f us)\n",
                us(0.5), threads, repeats, pauseUs, us(0.25), us(0.75), us(0.9));
    return 0;
}

int size(int count, char **paths)
{
    app::Document doc;
    const app::RoadError e =
        app::check_and_probe(std::vector<std::string>(paths, paths + count), &doc);
    if (e) {
        std::fprintf(stderr, "%s\n", e.message.c_str());
        return 1;
    }
    std::printf("%d %d %d\n", doc.width, doc.height, count);
    return 0;
}

int usage()
{
    std::fprintf(stderr, "usage: bench_app_road write DIR [WIDTH HEIGHT]\n"
                         "       bench_app_road bound WIDTH HEIGHT PHOTOS THREADS [REPEATS]\n"
                         "       bench_app_road starts THREADS [REPEATS [PAUSE_US]]\n"
                         "       bench_app_road size PHOTO...\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "write" && (argc == 3 || argc == 5))
        return write_bracket(argv[2], argc == 5 ? std::atoi(argv[3]) : 6000,
                             argc == 5 ? std::atoi(argv[4]) : 4000);
    if (cmd == "bound" && (argc == 6 || argc == 7))
        return bound(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]),
                     argc == 7 ? std::max(1, std::atoi(argv[6])) : 5);
    if (cmd == "starts" && argc >= 3 && argc <= 5)
        return starts(std::atoi(argv[2]), argc >= 4 ? std::max(1, std::atoi(argv[3])) : 50,
                      argc == 5 ? std::max(0, std::atoi(argv[4])) : 0);
    if (cmd == "size" && argc >= 3)
        return size(argc - 2, argv + 2);
    return usage();
}
