// Stand-alone up-sampling of a pyramid level, by the interpolation of the fusion collapse.
#include "fusion/upsample.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "fusion/detail/expand.h"

int adjust22b(int fineW, int fineH, int coarseW, int, int spp, int bps, int is360, int initFine,
              int initCoarse, const void *source, void *destination)
{
    if (bps != 8 && bps != 16 && bps != 32)
        return 0;
    if (!source || !destination || fineW < 1 || fineH < 1 || spp < 1)
        return -3;
    if (coarseW != fineW / 2 + fineW % 2 || initFine < 0 || initCoarse < 0)
        return -3;
    auto run = [&](auto *dst) {
        using T = std::remove_pointer_t<decltype(dst)>;
        T *fine = dst + initFine;
        fusion::detail::expand_level(
            fineW, fineH, coarseW, spp, is360 != 0, static_cast<const T *>(source) + initCoarse,
            [&](size_t, size_t s, auto u) { fine[s] = static_cast<T>(u); });
    };
    if (bps == 8)
        run(static_cast<uint8_t *>(destination));
    else if (bps == 16)
        run(static_cast<uint16_t *>(destination));
    else
        run(static_cast<float *>(destination));
    return fineH % 2 ? fineH : fineH - 1;
}
