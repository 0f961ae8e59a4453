// What the intensive blends share: the mid-grey distance table, the Gaussian range and spatial
// weights, the photo weights that fall with a neighbourhood sum, the saturation step and the
// three sample positions of a pixel.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fusion::detail {

// The checks every combination method makes (h >= 1 already known): non-null buffers, n, w and
// spp of 1 or more, bpsIn 8 or 16 (and bpsOut 8 or 16 with 8-bit input), rowLen >= w x spp, and
// stack and output sizes that fit size_t.
bool arguments_ok(int n, int w, int h, int rowLen, int spp, int bpsIn, int bpsOut,
                  const uint8_t *stack, const uint8_t *out);

// D[i] = min(255, |trunc((255 i - 32640) / 128)|): 0 at 128, 255 at 0, 253 at 255.
void grey_distance_table(uint8_t *D);

// table[d] = expf(-2 (d / scale)^2) for d = 0 .. count - 1, the quotient a real one in single
// precision (integer quotients would make every weight 1).
void gauss_table(int count, float scale, float *table);

// Weights of n photos whose neighbourhood sums are S (each >= 0), in double: with power set,
// (S_k + 1)^-e taken relative to the largest, ((S_min + 1) / (S_k + 1))^e, so that the best photo
// keeps weight 1 whatever e and S; without, 10^6 / (S_k + 1).
void photo_weights(int n, const float *S, bool power, double e, double *W);

// Multiplies the HSL saturation of rgb (scaled to 0..1 by toUnit) by factor, capped at 1, and
// scales the result back by fromUnit.
void boost_saturation(float *rgb, float factor, float toUnit, float fromUnit);

// Sample positions 0, 1, 2 of a pixel; 0 three times when spp is below 3.
struct Positions {
    int p[3];
};
inline Positions positions_012(int spp)
{
    return spp < 3 ? Positions{{0, 0, 0}} : Positions{{0, 1, 2}};
}

// The weighted mean of the n photos' samples at the three positions of the pixel whose first
// sample is at `at` of photo 0 (photos `photo` samples apart), each sample times scale.
template <class T>
void weighted_mean(int n, const double *W, const T *stack, size_t photo, size_t at,
                   const Positions &pos, double scale, float *rgb)
{
    double sumW = 0, sum[3] = {0, 0, 0};
    for (int k = 0; k < n; ++k) {
        const T *px = stack + size_t(k) * photo + at;
        sumW += W[k];
        for (int c = 0; c < 3; ++c)
            sum[c] += W[k] * (double(px[pos.p[c]]) * scale);
    }
    for (int c = 0; c < 3; ++c)
        rgb[c] = float(sum[c] / sumW);
}

} // namespace fusion::detail
