// align_stack: aligns photos as the driver does and saves the aligned stack, so that the
// alignment can be measured from outside (bench/README.md) and timed against peers.
//
//   align_stack [--keep-size] [-j N] features|translation OUTDIR PHOTO...
//
// The photos (JPEG or TIFF, one size) are decoded into the 8-bit stack, aligned by rt_align
// (maxShift a tenth of each side) or tr_align, and saved as 8-bit TIFF files OUTDIR/1.tif,
// 2.tif, ... in the order given. Standard output gets the time of the alignment call alone.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "align/feature_align.h"
#include "align/translation_align.h"
#include "platform/bitmap.h"
#include "tests/support/fixtures.h"

namespace {

int usage()
{
    std::fputs("usage: align_stack [--keep-size] [-j N] features|translation OUTDIR PHOTO...\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    bool keepSize = false;
    int threads = int(std::thread::hardware_concurrency());
    int a = 1;
    for (; a < argc && argv[a][0] == '-'; ++a) {
        if (!std::strcmp(argv[a], "--keep-size"))
            keepSize = true;
        else if (!std::strcmp(argv[a], "-j") && a + 1 < argc)
            threads = std::atoi(argv[++a]);
        else
            return usage();
    }
    if (argc - a < 3)
        return usage();
    const std::string method = argv[a], outDir = argv[a + 1];
    if (method != "features" && method != "translation")
        return usage();
    const int n = argc - a - 2;

    int w = 0, h = 0, spp = 0;
    std::vector<unsigned char> stack;
    for (int k = 0; k < n; ++k) {
        const char *path = argv[a + 2 + k];
        const auto bmp = platform::BitmapImageRep::imageRepWithContentsOfFile(path);
        if (!bmp) {
            std::fprintf(stderr, "%s: cannot be decoded\n", path);
            return 1;
        }
        if (k == 0) {
            w = bmp->pixelsWide(), h = bmp->pixelsHigh(), spp = bmp->samplesPerPixel();
            stack.resize(size_t(n) * size_t(w) * size_t(h) * size_t(spp));
        } else if (bmp->pixelsWide() != w || bmp->pixelsHigh() != h ||
                   bmp->samplesPerPixel() != spp) {
            std::fprintf(stderr, "%s: another size or layout than the first photo\n", path);
            return 1;
        }
        // 16-bit photos keep their high bytes, as in the driver's stack.
        const int shift = bmp->bitsPerSample() == 16 ? 8 : 0;
        unsigned char *dst = stack.data() + size_t(k) * size_t(w) * size_t(h) * size_t(spp);
        for (int y = 0; y < h; ++y) {
            const unsigned char *row = bmp->bitmapData() + size_t(y) * size_t(bmp->bytesPerRow());
            for (size_t i = 0; i < size_t(w) * size_t(spp); ++i)
                *dst++ = shift ? static_cast<unsigned char>(
                                     reinterpret_cast<const uint16_t *>(row)[i] >> shift)
                               : row[i];
        }
    }

    int dims[2] = {keepSize ? 1 : 0, 0};
    const auto start = std::chrono::steady_clock::now();
    const int rc = method == "features" ? rt_align(threads, int(w * 0.1), int(h * 0.1), n, w, h,
                                                   spp, 8, dims, stack.data(), nullptr)
                                        : tr_align(n, w, h, spp, 8, dims, stack.data());
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (rc < 0) {
        std::fprintf(stderr, "alignment failed: %d\n", rc);
        return 1;
    }
    std::printf("%s: %d photos of %d x %d aligned in %.3f s, kept %d x %d\n", method.c_str(), n, w,
                h, seconds, dims[0], dims[1]);
    const size_t photo = size_t(dims[0]) * size_t(dims[1]) * size_t(spp);
    for (int k = 0; k < n; ++k) {
        const std::string path = outDir + "/" + std::to_string(k + 1) + ".tif";
        if (!testsupport::write_libtiff(path, stack.data() + size_t(k) * photo, dims[0], dims[1],
                                        spp)) {
            std::fprintf(stderr, "%s: cannot be written\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
