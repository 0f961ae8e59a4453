// Seeded pseudo-random sample values for tests that need busy, reproducible images.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testsupport {

// n values below modulo from a linear congruential sequence started at seed.
template <class T> std::vector<T> seeded_samples(size_t n, uint32_t seed, uint32_t modulo = 256)
{
    std::vector<T> v(n);
    for (auto &s : v) {
        seed = seed * 1664525u + 1013904223u;
        s = T((seed >> 8) % modulo);
    }
    return v;
}

} // namespace testsupport
