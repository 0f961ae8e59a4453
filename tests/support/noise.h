// Seeded Gaussian noise for the noise-reduction tests and benchmarks, and the peak
// signal-to-noise ratio that judges a denoised photo against the clean one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tests/support/bracket_generator.h"

namespace testsupport {

// splitmix64 with Box-Muller: the same sequence for a seed on every platform.
class NoiseSource {
public:
    explicit NoiseSource(uint64_t seed) : m_state(seed) {}
    double uniform();  // (0, 1)
    double gaussian(); // mean 0, deviation 1
private:
    uint64_t m_state;
    double m_spare = 0;
    bool m_hasSpare = false;
};

// Adds Gaussian noise of sigma 8-bit codes to every sample of an interleaved photo (16-bit
// samples, host-order uint16_t inside the bytes, get sigma x 257), rounded and clamped.
void add_seeded_noise(std::vector<uint8_t> &photo, int bits, double sigma, uint64_t seed);

// render_photo of the map with that noise added.
std::vector<uint8_t> render_noisy_photo(const RadianceMap &map, float exposure, int bits,
                                        double sigma, uint64_t seed);

// 10 log10(255^2 / mean squared difference) of n 8-bit samples; 99 when they are equal.
double psnr8(const uint8_t *a, const uint8_t *b, std::size_t n);

} // namespace testsupport
