// The small pixel operations of the pyramid noise filter: colour conversions, the similarity
// weights of the filter, the sharpening and the reconstruction, the difference passes and the
// pyramid size. Pixels are 3 floats (R, G, B) in 8-bit units.
#pragma once

#include <cmath>

#include "denoise/nr_params.h"

namespace denoise::detail {

inline constexpr float kLumaR = 0.299f, kLumaG = 0.587f, kLumaB = 0.114f;
inline constexpr float kInvLumaG = 1.7035775f;            // 1 / 0.587
inline constexpr float kReconSimilarityThreshold = 10.0f; // reconSimilarityThreshold
inline constexpr float kReconSimilarityRolloff = 50.0f;   // reconSimilarityRolloff

// 5 x 5 spatial kernel of the filter and the sharpening, centre excluded.
struct KernelTap {
    int dx, dy;
    float k;
};
inline constexpr KernelTap kKernel[24] = {
    {-2, -2, 0.1f}, {-1, -2, 0.3f}, {0, -2, 0.5f}, {1, -2, 0.3f}, {2, -2, 0.1f}, {-2, -1, 0.3f},
    {-1, -1, 0.7f}, {0, -1, 1.0f},  {1, -1, 0.7f}, {2, -1, 0.3f}, {-2, 0, 0.5f}, {-1, 0, 1.0f},
    {1, 0, 1.0f},   {2, 0, 0.5f},   {-2, 1, 0.3f}, {-1, 1, 0.7f}, {0, 1, 1.0f},  {1, 1, 0.7f},
    {2, 1, 0.3f},   {-2, 2, 0.1f},  {-1, 2, 0.3f}, {0, 2, 0.5f},  {1, 2, 0.3f},  {2, 2, 0.1f}};

inline void RGBtoYCbCr(const float *rgb, float *ycc)
{
    const float y = kLumaR * rgb[0] + kLumaG * rgb[1] + kLumaB * rgb[2];
    ycc[0] = y;
    ycc[1] = rgb[2] - y;
    ycc[2] = rgb[0] - y;
}

inline void YCbCrToRGB(const float *ycc, float *rgb)
{
    rgb[0] = ycc[2] + ycc[0];
    rgb[2] = ycc[1] + ycc[0];
    rgb[1] = (ycc[0] - kLumaR * rgb[0] - kLumaB * rgb[2]) * kInvLumaG;
}

// Brightness factor of the filter at a pixel of colour sum s (clamped to 0..765) applied to
// the rolloff and the threshold.
inline void noiseTransferFunction(float s, float highnoiseLevelReduce, float *rolloff,
                                  float *threshold)
{
    s = s < 0.0f ? 0.0f : (s > 765.0f ? 765.0f : s);
    const float f = 1.0f - s / 765.0f * highnoiseLevelReduce;
    *rolloff *= f;
    *threshold *= f;
}

// One filter neighbour q of p: its luma/chroma distance against threshold and rolloff decides
// the weight (k, falling linearly to 0 over the rolloff); adds it to wsum and the weighted
// colour difference q - p to csum (the weighted mean is then p + csum / wsum).
inline void zk_NRgetSimilarity(const float *yccP, const float *yccQ, const float *rgbP,
                               const float *rgbQ, float k, float threshold, float rolloff,
                               float slope, float *wsum, float *csum)
{
    const float d = static_cast<float>(2.0 * std::fabs(double(yccP[0]) - yccQ[0]) +
                                       0.5 * std::fabs(double(yccP[1]) - yccQ[1]) +
                                       0.5 * std::fabs(double(yccP[2]) - yccQ[2]));
    if (d > threshold + rolloff)
        return;
    const float w = d <= threshold ? k : k * (1.0f - (d - threshold) * slope);
    *wsum += w;
    csum[0] += w * (rgbQ[0] - rgbP[0]);
    csum[1] += w * (rgbQ[1] - rgbP[1]);
    csum[2] += w * (rgbQ[2] - rgbP[2]);
}

inline float getDistance(const float *a, const float *b)
{
    return std::fabs(a[0] - b[0]) + std::fabs(a[1] - b[1]) + std::fabs(a[2] - b[2]);
}

// One sharpening neighbour at colour distance dn: weight rising as k dn / T up to T, then
// falling as k + (T - dn) 4k / T to 0 at 1.25 T. rise = 1 / T, fallSlope = 4 / T and
// fallIntercept = 1 + 4 (the falling weight over k is fallIntercept - dn fallSlope).
inline void sharpSimilarityFromSimPixel(float dn, const float *rgbQ, float k, float T, float rise,
                                        float fallSlope, float fallIntercept, float *wsum,
                                        float *csum)
{
    float w;
    if (dn <= T)
        w = k * dn * rise;
    else if (dn < 1.25f * T)
        w = k * (fallIntercept - dn * fallSlope);
    else
        return;
    *wsum += w;
    csum[0] += w * rgbQ[0];
    csum[1] += w * rgbQ[1];
    csum[2] += w * rgbQ[2];
}

// Similarity of two colours for the edge-aware upsampling: 1 within the threshold, 0 beyond
// threshold + rolloff, linear between.
inline float reconDistanceSimilarity(const float *a, const float *b)
{
    const float d = getDistance(a, b);
    if (d <= kReconSimilarityThreshold)
        return 1.0f;
    if (d > kReconSimilarityThreshold + kReconSimilarityRolloff)
        return 0.0f;
    return 1.0f - (d - kReconSimilarityThreshold) / kReconSimilarityRolloff;
}

// The final mix of one pixel: the filtered luma (of dst, 3 samples) taken by lumaMix in the
// shadows and faded out along the highlight ramp, the filtered chroma taken by chromaMix and the
// source's (src) by the complement; green rebuilt from the mixed luma, red and blue. rampScale
// brings the filtered luma to the ramp's 8-bit units. out: R, G, B before rounding and clamping.
inline void mix_pixel(const float *src, const float *dst, const NrDerived &p, float rampScale,
                      float *out)
{
    const float Ys = kLumaR * src[0] + kLumaG * src[1] + kLumaB * src[2];
    const float Yd = kLumaR * dst[0] + kLumaG * dst[1] + kLumaB * dst[2];
    const float Yr = Yd * rampScale;
    float f;
    if (Yr <= p.highlightNRlowThreshold)
        f = p.highlightNRbelowThreshold;
    else if (Yr >= p.highlightNRhighThreshold)
        f = p.highlightNRaboveThreshold;
    else
        f = p.highlightNRslope * Yr + p.highlightNRintercept;
    const float Y = Yd * f * p.lumaMix + (1.0f - f * p.lumaMix) * Ys;
    out[0] = (dst[0] - Yd) * p.chromaMix + (src[0] - Ys) * (1.0f - p.chromaMix) + Y;
    out[2] = (dst[2] - Yd) * p.chromaMix + (src[2] - Ys) * (1.0f - p.chromaMix) + Y;
    out[1] = (Y - kLumaR * out[0] - kLumaB * out[2]) * kInvLumaG;
}

// Decimation of a w x h level into the (w + 1) / 2 x (h + 1) / 2 level coarse: every second
// pixel of every second row. Returns the coarse height.
int similarityLift(int w, int h, const float *fine, float *coarse);

// out = second - first over w x h pixels; returns w x h.
int differencePass(int w, int h, const float *first, const float *second, float *out);
// out = first - second over w x h pixels; returns w x h.
int unDifferencePass(int w, int h, const float *first, const float *second, float *out);

// Pixel count of a w x h level and n coarser ones, each side halved rounding up.
long long len_pyram(int w, int h, int n);

// Edge score through a pixel for the opposing neighbours B and E with their side neighbours
// A, C and D, F (3-float colours): |B - E| - (1 + n / 150)(|A - B| + |B - C| + |D - E| + |E - F|),
// floored at 0.
float edgeSmoothCompareOpposingPoints(const float *A, const float *B, const float *C,
                                      const float *D, const float *E, const float *F, float n);
// Sum of that score over the four directions through pixel (x, y) of a w-wide level (x and y at
// least 2 from every border): above-left against below-right, above against below, above-right
// against below-left, right against left, each with its two side neighbours.
float edgeSmoothInverseSimSum(const float *level, int w, int x, int y, float n);

} // namespace denoise::detail
