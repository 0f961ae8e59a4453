// Busy, reproducible sample values for tests that need images with detail, from the shared
// seeded random source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tests/support/warp.h"

namespace testsupport {

// n values in 0 .. modulo - 1, the same for the same seed.
template <class T> std::vector<T> seeded_samples(size_t n, uint64_t seed, int modulo = 256)
{
    SeededRandom random(seed);
    std::vector<T> v(n);
    for (auto &s : v)
        s = T(random.below(modulo));
    return v;
}

} // namespace testsupport
