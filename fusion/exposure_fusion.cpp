// The exposure-fusion driver. One weight buffer serves every map and the weight pyramid (only one
// photo's weight pyramid exists at a time, the last photo's map is computed straight into the
// pyramid slot), and out doubles as each photo's pyramid, so a fusion needs the stack,
// (n - 1) x w x h + lenPyram weight samples and two pyramid-sized buffers.
#include "fusion/exposure_fusion.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "fusion/pyramid_blend.h"
#include "fusion/reconstruct.h"
#include "fusion/weight_maps.h"
#include "imagecore/preview.h"
#include "platform/checked_size.h"
#include "platform/file_holder.h"

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

int bytes_of(int bits)
{
    return bits / 8;
}

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

    platform::CBuffer<uint8_t> poids = platform::calloc_buffer<uint8_t>(*poidsBytes);
    if (!poids)
        return -4;
    const int weights =
        fusion1(optim.nbProc, tmParam, n, w, h, spp, bpsIn, bitDepthPoids, bpsOut == 32, nullptr, 0,
                nullptr, nullptr, imagesBuffer, indexFixedExpo, ghostMask, out, poids.get());
    if (weights < 0)
        return weights;
    progress(callback, f0);

    platform::CBuffer<uint8_t> fusionPyramid = platform::calloc_buffer<uint8_t>(*fusionBytes);
    if (!fusionPyramid)
        return -4;
    // The band levels start at band value zero; the coarsest level's low-pass sums at 0.
    if (bitDepthFusion == 16) {
        size_t bandPixels = 0;
        for (int k = 0, lw = w, lh = h; k < L; ++k, lw = lw / 2 + lw % 2, lh = lh / 2 + lh % 2)
            bandPixels += size_t(lw) * size_t(lh);
        uint16_t *b = reinterpret_cast<uint16_t *>(fusionPyramid.get());
        std::fill(b, b + bandPixels * size_t(spp), uint16_t(32767));
    }

    const size_t weightBytes = size_t(bytes_of(bitDepthPoids));
    uint8_t *pyramPoids = poids.get() + size_t(n - 1) * P * weightBytes;
    for (int k = 0; k < n; ++k) {
        const int i = n - 1 - k;
        if (i != n - 1)
            std::memcpy(pyramPoids, poids.get() + size_t(i) * P * weightBytes, P * weightBytes);
        if (int r = fusion21(L, w, h, bitDepthPoids, is360, pyramPoids); r < 0)
            return r;
        auto enter = [&](auto *level0) {
            if (bpsIn == 8)
                enter_photo(static_cast<const uint8_t *>(imagesBuffer) + size_t(i) * S, S, bpsOut,
                            level0);
            else
                enter_photo(static_cast<const uint16_t *>(imagesBuffer) + size_t(i) * S, S, bpsOut,
                            level0);
        };
        if (bitDepthFusion == 16)
            enter(static_cast<uint16_t *>(out));
        else
            enter(static_cast<float *>(out));
        if (int r = fusion22(L, w, h, spp, bpsOut, bitDepthFusion, bitDepthPoids, is360, pyramPoids,
                             nullptr, nullptr, out, fusionPyramid.get());
            r < 0)
            return r;
        progress(callback, f0 + (1 - (f0 + 0.2f)) * float(k + 1) / float(n));
    }
    poids.reset();

    const int result = fusion3(tmParam, L, w, h, spp, bpsOut, bitDepthFusion, rowLen, bgrOrder,
                               is360, fusionPyramid.get(), reserved, out);
    progress(callback, 0.95f);
    return result;
}
