// The exposure-fusion driver. One weight buffer serves every map and the weight pyramid (only one
// photo's weight pyramid exists at a time, the last photo's map is computed straight into the
// pyramid slot), and out doubles as each photo's pyramid, so a fusion needs the stack,
// (n - 1) x w x h + lenPyram weight samples and two pyramid-sized buffers. Out of core the maps
// wait on file once weighed, and only one weight pyramid stays in memory for the blend.
#include "fusion/exposure_fusion.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <sys/types.h>
#include <vector>

#include "fusion/detail/stack_file.h"
#include "fusion/pyramid_blend.h"
#include "fusion/reconstruct.h"
#include "fusion/weight_maps.h"
#include "imagecore/banded.h"
#include "imagecore/preview.h"
#include "platform/checked_size.h"
#include "platform/file_holder.h"
#include "platform/temp_file.h"

namespace {

// Photo k's samples entered into level 0 of a photo pyramid: 15 bits for the 16-bit pyramid;
// for the float pyramid the same values at the output's scale, which the finishing reads as
// they are.
template <class TIn, class TF>
void enter_photo(const TIn *photo, size_t samples, int bpsOut, TF *level0)
{
    for (size_t i = 0; i < samples; ++i) {
        const int v15 = sizeof(TIn) == 1 ? photo[i] << 7 : photo[i] >> 1;
        if constexpr (sizeof(TF) == 2)
            level0[i] = static_cast<TF>(v15);
        else
            level0[i] = bpsOut == 8 ? static_cast<float>(v15) / 128.0f : float(v15) * 2.0f;
    }
}

// enter_photo for 8- or 16-bit samples.
template <class TF>
void enter_samples(const void *photo, int bpsIn, size_t samples, int bpsOut, TF *level0)
{
    if (bpsIn == 8)
        enter_photo(static_cast<const uint8_t *>(photo), samples, bpsOut, level0);
    else
        enter_photo(static_cast<const uint16_t *>(photo), samples, bpsOut, level0);
}

int bytes_of(int bits)
{
    return bits / 8;
}

constexpr int kTraceFusion = 0;

bool seek(const platform::TempFile &f, size_t at)
{
    return ::fseeko(f.get(), off_t(at), SEEK_SET) == 0;
}

// The temporary files of the out-of-core mode: the stack, the weight maps and one photo's weight
// pyramid, and a buffer for a row of every photo or a row of weights. Removed on every return.
struct OutOfCore {
    platform::TempFile source, poids, pyramid;
    std::vector<uint8_t> row;
    size_t sampleBytes = 0, weightBytes = 0, rowSamples = 0;

    bool on() const { return source.ok(); }

    // Makes the files (on() stays false when one cannot be made). Returns 0; -4 out of memory.
    int open(const optim_param_struct &optim, int n, int w, int spp, size_t sample, size_t weight)
    {
        sampleBytes = sample, weightBytes = weight, rowSamples = size_t(w) * size_t(spp);
        try {
            source = platform::TempFile::create(optim.tmpPath[0]);
            poids = platform::TempFile::create(optim.tmpPath[1]);
            pyramid = platform::TempFile::create(optim.tmpPath[2]);
            if (source.ok() && poids.ok() && pyramid.ok())
                row.resize(std::max(size_t(n) * rowSamples * sampleBytes, size_t(w) * weightBytes));
            else
                close();
        } catch (const std::bad_alloc &) {
            return -4;
        }
        return 0;
    }
    void close()
    {
        source.remove();
        poids.remove();
        pyramid.remove();
    }

    // Map i (P weights) from the maps' file into dst. Returns 0; -3 a failed seek or short read.
    int read_map(int i, size_t P, uint8_t *dst)
    {
        const size_t got = seek(poids, size_t(i) * P * weightBytes)
                               ? std::fread(dst, weightBytes, P, poids.get())
                               : 0;
        if (got == P)
            return 0;
        if (kTraceFusion)
            std::fprintf(stderr, "could not read fpPoids - returned %d instead of %d\n", int(got),
                         int(P));
        return -3;
    }

    bool write_pyramid(const uint8_t *weights, size_t count)
    {
        return seek(pyramid, 0) && std::fwrite(weights, weightBytes, count, pyramid.get()) == count;
    }

    // The rows of photo i (of h rows) from the stack's file, each handed to enter(row, y).
    // Returns 0; -3 a failed seek or short read.
    template <class Fn> int enter_rows(int i, int h, Fn &&enter)
    {
        for (int y = 0; y < h; ++y) {
            if (!fusion::detail::read_stack_row(source.get(), i, h, y, rowSamples, sampleBytes,
                                                row.data()))
                return -3;
            enter(row.data(), size_t(y));
        }
        return 0;
    }
};

} // namespace

int kv_fusion(progressCallback callback, const float *tmParam, int n, int w, int h, int rowLen,
              optim_param_struct optim, int bgrOrder, int spp, int bpsIn, int bpsOut,
              int bitDepthPoids, int bitDepthFusion, int lenPyram, int is360, const float *,
              const void *imagesBuffer, const int *indexFixedExpo, const uint8_t *ghostMask,
              void *reserved, void *out, float)
{
    if (bpsIn == 32 && (bpsOut != 32 || bitDepthFusion != 32))
        return -2;
    if (!tmParam || !imagesBuffer || !out || n < 1 || w < 1 || h < 1 || (spp != 1 && spp != 3))
        return -3;
    // Float sources have no weight curve to index, and the finishing writes no 32-bit output:
    // either would end in success without an image.
    if ((bpsIn != 8 && bpsIn != 16) || (bpsOut != 8 && bpsOut != 16))
        return -3;
    if ((bitDepthPoids != 8 && bitDepthPoids != 16 && bitDepthPoids != 32) ||
        (bitDepthFusion != 16 && bitDepthFusion != 32))
        return -3;
    // Without a pyramid level the collapse writes nothing.
    const int L = pyram_levels(w, h);
    const int needed = pyram_len(w, h);
    if (L < 1 || needed < 0 || lenPyram < needed)
        return -3;
    const int64_t lastRow = int64_t(rowLen) * (h - 1);
    const std::optional<size_t> outBytes =
        platform::checked_product({spp, lenPyram, bytes_of(bitDepthFusion)});
    if (int64_t(rowLen) < int64_t(spp) * w || !outBytes ||
        (lastRow + int64_t(spp) * w) * bytes_of(bpsOut) > int64_t(*outBytes))
        return -3;

    const size_t P = size_t(w) * size_t(h), S = P * size_t(spp);
    const float f0 = bitDepthFusion == 32 ? 0.1f : 0.3f;
    const std::optional<size_t> poidsBytes = platform::checked_product(
        {int64_t(n - 1) * int64_t(P) + lenPyram, bytes_of(bitDepthPoids)});
    const std::optional<size_t> fusionBytes =
        platform::checked_product({spp, lenPyram, bytes_of(bitDepthFusion)});
    if (!poidsBytes || !fusionBytes)
        return -4;
    const size_t weightBytes = size_t(bytes_of(bitDepthPoids)), sampleBytes = size_t(bpsIn / 8);

    // Out of core the stack, the weight maps and each photo's weight pyramid go to temporary
    // files and come back a row or a level at a time; a file that cannot be made, or a stack
    // that cannot be written, leaves the fusion in memory.
    OutOfCore disk;
    int weightThreads = optim.nbProc;
    if (optim.readFromDisk && !(bpsIn < 16 && n < 3)) {
        if (const int rc = disk.open(optim, n, w, spp, sampleBytes, weightBytes); rc < 0)
            return rc;
        if (disk.on() && std::fwrite(imagesBuffer, sampleBytes, size_t(n) * S, disk.source.get()) !=
                             size_t(n) * S) {
            disk.close();
            weightThreads = 1;
        }
    }

    platform::CBuffer<uint8_t> poids = platform::calloc_buffer<uint8_t>(*poidsBytes);
    if (!poids)
        return -4;
    const int weights =
        fusion1(disk.on() ? 1 : weightThreads, tmParam, n, w, h, spp, bpsIn, bitDepthPoids,
                bpsOut == 32, nullptr, disk.on(), disk.source.get(), disk.row.data(), imagesBuffer,
                indexFixedExpo, ghostMask, out, poids.get());
    if (weights < 0)
        return weights;
    if (disk.on()) {
        // The maps wait on file; one weight pyramid stays in memory.
        if (std::fwrite(poids.get(), weightBytes, size_t(n) * P, disk.poids.get()) != size_t(n) * P)
            return -2;
        poids.reset();
        poids = platform::calloc_buffer<uint8_t>(size_t(lenPyram) * weightBytes);
        if (!poids)
            return -4;
    }
    progress(callback, f0);

    platform::CBuffer<uint8_t> fusionPyramid = platform::calloc_buffer<uint8_t>(*fusionBytes);
    if (!fusionPyramid)
        return -4;
    // The band levels start at band value zero; the coarsest level's low-pass sums at 0. Filled
    // in chunks over the threads: the first touch of the pyramid's fresh pages is most of it.
    if (bitDepthFusion == 16) {
        size_t bandPixels = 0;
        for (int k = 0, lw = w, lh = h; k < L; ++k, lw = lw / 2 + lw % 2, lh = lh / 2 + lh % 2)
            bandPixels += size_t(lw) * size_t(lh);
        uint16_t *b = reinterpret_cast<uint16_t *>(fusionPyramid.get());
        const size_t samples = size_t(spp);
        imagecore::run_chunked(optim.nbProc, int(bandPixels), [&](const imagecore::Band &c) {
            std::fill(b + size_t(c.begin) * samples, b + size_t(c.end) * samples, uint16_t(32767));
        });
    }

    uint8_t *pyramPoids = poids.get() + (disk.on() ? 0 : size_t(n - 1) * P * weightBytes);
    for (int k = 0; k < n; ++k) {
        const int i = n - 1 - k;
        if (disk.on()) {
            if (const int rc = disk.read_map(i, P, pyramPoids); rc < 0)
                return rc;
        } else if (i != n - 1) {
            imagecore::copy_banded(optim.nbProc, pyramPoids,
                                   poids.get() + size_t(i) * P * weightBytes, P * weightBytes);
        }
        if (int r = fusion21(L, w, h, bitDepthPoids, is360, pyramPoids, optim.nbProc); r < 0)
            return r;
        if (disk.on() && !disk.write_pyramid(pyramPoids, size_t(lenPyram)))
            return -2;
        auto enter = [&](auto *level0) {
            if (disk.on()) // row by row from the stack's file
                return disk.enter_rows(i, h, [&](const void *row, size_t y) {
                    enter_samples(row, bpsIn, disk.rowSamples, bpsOut,
                                  level0 + y * disk.rowSamples);
                });
            // Sample by sample: chunks in bands.
            const uint8_t *photo =
                static_cast<const uint8_t *>(imagesBuffer) + size_t(i) * S * sampleBytes;
            imagecore::run_banded(optim.nbProc, h, [&](const imagecore::Band &b) {
                const size_t row = size_t(w) * size_t(spp), at = size_t(b.begin) * row;
                enter_samples(photo + at * sampleBytes, bpsIn, size_t(b.end - b.begin) * row,
                              bpsOut, level0 + at);
            });
            return 0;
        };
        const int entered = bitDepthFusion == 16 ? enter(static_cast<uint16_t *>(out))
                                                 : enter(static_cast<float *>(out));
        if (entered < 0)
            return entered;
        if (int r = fusion22(L, w, h, spp, bpsOut, bitDepthFusion, bitDepthPoids, is360,
                             disk.on() ? nullptr : pyramPoids, disk.pyramid.get(), disk.row.data(),
                             out, fusionPyramid.get(), optim.nbProc);
            r < 0)
            return r;
        progress(callback, f0 + (1 - (f0 + 0.2f)) * float(k + 1) / float(n));
    }
    poids.reset();

    const int result = fusion3(tmParam, L, w, h, spp, bpsOut, bitDepthFusion, rowLen, bgrOrder,
                               is360, fusionPyramid.get(), reserved, out, optim.nbProc);
    progress(callback, 0.95f);
    return result;
}
