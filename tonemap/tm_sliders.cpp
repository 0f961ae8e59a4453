// Slider mappings and histograms of previews and float values.
#include "tonemap/tm_sliders.h"

#include <climits>
#include <cmath>

#include "imagecore/float_clamp.h"
#include "platform/checked_size.h"

namespace {

// Truncation, plus one when the fraction exceeds one half.
int round_half_down(double v)
{
    double t = std::trunc(v);
    if (v - t > 0.5)
        t += 1.0;
    return imagecore::clamp_to_int(t);
}

} // namespace

int slider2param(int slider, double exponent)
{
    return round_half_down(200000.0 * std::pow(slider / 100.0, exponent));
}

int param2slider(float parameter, double exponent)
{
    return round_half_down(100.0 * std::pow(parameter / 200000.0, exponent));
}

int paramf2slider(float parameter, double exponent)
{
    return round_half_down(100.0 * std::pow(parameter / 10.0, exponent));
}

int histo4preview(int w, int h, int spp, const uint8_t *pixels, int *hist)
{
    if (pixels == nullptr || hist == nullptr || spp < 1)
        return -3;
    if (w < 1 || h < 1)
        return 0;
    const auto n = platform::checked_product({w, h});
    if (!n || *n > size_t(INT_MAX) || !platform::checked_product({w, h, spp}))
        return -3;
    const size_t step = size_t(spp), g = size_t(spp - 1) / 2, b = size_t(spp - 1);
    const uint8_t *p = pixels;
    for (size_t i = 0; i < *n; ++i, p += step) {
        const int R = p[0], G = p[g], B = p[b];
        ++hist[(54 * R + 183 * G + 19 * B) >> 8];
        ++hist[256 + R];
        ++hist[512 + G];
        ++hist[768 + B];
    }
    return int(*n);
}

int getHistoMax(const int *hist)
{
    if (hist == nullptr)
        return -3;
    long long sum = 0;
    int best = 1;
    for (int i = 0; i < 256; ++i) {
        sum += hist[i];
        if (hist[i] > best)
            best = hist[i];
    }
    return sum < 1 ? 1 : best;
}

long log_histo(long n, int nbins, const float *values, int *hist, float min, float max)
{
    if (!(min < max))
        return -1;
    if (n < 1)
        return 0;
    if (values == nullptr || hist == nullptr || nbins < 1)
        return -3;
    const float top = float(nbins - 1), range = max - min;
    for (long i = 0; i < n; ++i) {
        const float v = values[i];
        // The end bins are decided by comparison: (max - min) x top / (max - min) may round
        // below top, and the clamp keeps the truncation defined for any value.
        int bin;
        if (v >= max)
            bin = nbins - 1;
        else
            bin = imagecore::clamp_to_int((v - min) * top / range, 0, nbins - 1);
        ++hist[bin];
    }
    return n;
}
