// Geometry and noise for the alignment tests: photos moved by a known projective transform or
// shift, and a seeded random source for noise and synthetic point pairs.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace testsupport {

// A projective transform in the aligner's layout: (x, y) -> ((a x + b y + c) / q,
// (d x + e y + f) / q), q = (g x + h y) / 100000 + 1.
using Transform8 = std::array<double, 8>;

Transform8 identity8();
Transform8 shift8(double dx, double dy);
// Rotation by degrees about (cx, cy), scaled by s, then shifted by (dx, dy); g and h as given.
Transform8 similarity8(double degrees, double s, double cx, double cy, double dx, double dy,
                       double g = 0, double h = 0);
void apply8(const Transform8 &t, double x, double y, double *X, double *Y);
// The inverse mapping in the same layout; false when t is singular.
bool invert8(const Transform8 &t, Transform8 *inverse);

// The photo a camera moved by t would have taken: out(t(p)) = in(p), so the aligner's
// transform from in to out is t. Interleaved 8-bit samples, spp a pixel, bilinear sampling;
// pixels whose source lies outside take fill.
std::vector<uint8_t> warp_photo(const std::vector<uint8_t> &in, int w, int h, int spp,
                                const Transform8 &t, uint8_t fill = 0);

// splitmix64: a fixed sequence per seed on every platform.
class SeededRandom {
public:
    explicit SeededRandom(uint64_t seed) : m_state(seed) {}
    uint64_t next();
    double uniform();            // [0, 1)
    int below(int n);            // 0 .. n - 1
    double normal(double sigma); // Gaussian, mean 0
private:
    uint64_t m_state;
};

// Adds Gaussian noise of sigma codes to every sample, rounded and clamped to 0..255.
void add_noise(std::vector<uint8_t> &samples, double sigma, uint64_t seed);

// A grey 8-bit texture of w x h: n soft discs of random radius (3..12 pixels) and contrast on a
// mid-grey ground, placed from the seed; corner-rich enough for feature detection everywhere.
std::vector<uint8_t> speckle_photo(int w, int h, int n, uint64_t seed);

} // namespace testsupport
