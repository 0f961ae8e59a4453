// Sizes and starts of the levels of a fusion pyramid: level 0 is w x h, each next level the
// halved size (rounding up) of the one before, stored one after another.
#pragma once

#include <array>
#include <cstdint>

#include "imagecore/preview.h"

namespace fusion::detail {

struct Level {
    int w = 0, h = 0;
    int64_t start = 0; // first pixel of the level
};

// Levels 0 .. count - 1 of a pyramid; no pyramid of int-sized sides has more than 32.
struct Levels {
    int count = 0;
    std::array<Level, 32> at{};
};

// Levels 0 .. L of a w x h pyramid of spp samples a pixel, when they make sense: w, h and spp at
// least 1, L from 0 to pyram_levels(w, h) (so every reduced level has sides of 2 or more and the
// whole fits the buffer pyram_len sizes), and every sample offset within int. Otherwise count 0.
inline Levels pyramid_levels(int w, int h, int L, int spp)
{
    Levels p;
    if (w < 1 || h < 1 || spp < 1 || L < 0 || (L > 0 && L > pyram_levels(w, h)))
        return p;
    int64_t start = 0;
    for (int k = 0; k <= L; ++k) {
        p.at[k] = {w, h, start};
        start += int64_t(w) * h;
        w = w / 2 + w % 2;
        h = h / 2 + h % 2;
    }
    if (start * spp > INT32_MAX)
        return p;
    p.count = L + 1;
    return p;
}

} // namespace fusion::detail
