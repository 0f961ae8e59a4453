// Seeded noise and PSNR; the generator is fixed so tests hold the same pixels on every run.
#include "tests/support/noise.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace testsupport {

double NoiseSource::uniform()
{
    m_state += 0x9E3779B97F4A7C15ull;
    uint64_t z = m_state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return (double(z >> 11) + 0.5) / 9007199254740992.0; // 2^53
}

double NoiseSource::gaussian()
{
    if (m_hasSpare) {
        m_hasSpare = false;
        return m_spare;
    }
    const double r = std::sqrt(-2.0 * std::log(uniform()));
    const double a = 2.0 * M_PI * uniform();
    m_spare = r * std::sin(a);
    m_hasSpare = true;
    return r * std::cos(a);
}

void add_seeded_noise(std::vector<uint8_t> &photo, int bits, double sigma, uint64_t seed)
{
    NoiseSource rng(seed);
    if (bits == 16) {
        for (std::size_t i = 0; i + 1 < photo.size(); i += 2) {
            uint16_t v;
            std::memcpy(&v, &photo[i], 2);
            const double n = std::floor(v + rng.gaussian() * sigma * 257.0 + 0.5);
            v = uint16_t(std::clamp(n, 0.0, 65535.0));
            std::memcpy(&photo[i], &v, 2);
        }
        return;
    }
    for (uint8_t &s : photo)
        s = uint8_t(std::clamp(std::floor(s + rng.gaussian() * sigma + 0.5), 0.0, 255.0));
}

std::vector<uint8_t> render_noisy_photo(const RadianceMap &map, float exposure, int bits,
                                        double sigma, uint64_t seed)
{
    std::vector<uint8_t> photo = render_photo(map, exposure, bits, 3);
    add_seeded_noise(photo, bits, sigma, seed);
    return photo;
}

double psnr8(const uint8_t *a, const uint8_t *b, std::size_t n)
{
    double se = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double d = double(a[i]) - b[i];
        se += d * d;
    }
    if (n == 0 || se == 0)
        return 99.0;
    return 10.0 * std::log10(255.0 * 255.0 / (se / double(n)));
}

} // namespace testsupport
