// rgbeBuf encoding of 8- and 16-bit photos (clipped pixels become neutral greys at the image's
// extremes) and the HSL conversions of the tone mappers.
#include "tonemap/tm_color.h"

#include <cstddef>

#include "imagecore/pixel_buffers.h"

namespace {

template <class Sample>
void first_pass(int w, int h, int spp, int rowLength, int swap, const float *curve,
                const Sample *src, uint8_t *out, double &lo, double &hi)
{
    const int offR = swap ? spp - 1 : 0, offG = (spp - 1) / 2, offB = swap ? 0 : spp - 1;
    const int shift = sizeof(Sample) == 2 ? 8 : 0; // luma from the high bytes
    for (int y = 0; y < h; ++y) {
        const Sample *s = src + static_cast<size_t>(y) * static_cast<size_t>(rowLength);
        uint8_t *row = out + static_cast<size_t>(y) * 4 * static_cast<size_t>(w);
        for (int x = 0; x < w; ++x, s += spp) {
            unsigned R = s[offR], G = s[offG], B = s[offB];
            unsigned luma = (54 * (R >> shift) + 183 * (G >> shift) + 19 * (B >> shift)) >> 8;
            if (luma <= 4 || luma >= 254) {
                const uint8_t v = luma <= 4 ? 0 : 255;
                imagecore::put_rgbe(row, w, x, {v, v, v, v});
                continue;
            }
            float r = curve[R], g = curve[G], b = curve[B];
            double lum = 0.3 * r + 0.6 * g + 0.1 * b;
            if (lum > 0 && lum < lo)
                lo = lum;
            if (lum > hi)
                hi = lum;
            imagecore::put_rgbe(row, w, x, r, g, b);
        }
    }
}

} // namespace

int convert_to_rgbe(int bitsIn, int w, int h, int spp, int rowLength, int swap, const float *curve,
                    const void *source, uint8_t *out)
{
    if (h < 1 || w < 1 || spp < 1 || (bitsIn != 8 && bitsIn != 16))
        return 0;
    if (static_cast<int64_t>(rowLength) < static_cast<int64_t>(w) * spp)
        return 0;
    double lo = 1e11, hi = 0;
    if (bitsIn == 8)
        first_pass(w, h, spp, rowLength, swap, curve, static_cast<const uint8_t *>(source), out, lo,
                   hi);
    else
        first_pass(w, h, spp, rowLength, swap, curve, static_cast<const uint16_t *>(source), out,
                   lo, hi);

    // Clipped pixels carry no colour: they become neutral greys at the extremes of the image.
    // Without a mid-range pixel there is no extreme to borrow, so black stays black and a
    // saturated pixel takes the curve's top value.
    double darkGrey = lo, brightGrey = hi;
    if (!(hi > 0)) {
        darkGrey = 0;
        brightGrey = curve[bitsIn == 8 ? 255 : 65535];
    }
    const imagecore::Rgbe dark = imagecore::encode_rgbe(darkGrey, darkGrey, darkGrey);
    const imagecore::Rgbe bright = imagecore::encode_rgbe(brightGrey, brightGrey, brightGrey);
    for (int y = 0; y < h; ++y) {
        uint8_t *row = out + static_cast<size_t>(y) * 4 * static_cast<size_t>(w);
        const uint8_t *exponents = row + 3 * static_cast<size_t>(w);
        for (int x = 0; x < w; ++x) {
            if (exponents[x] == 255)
                imagecore::put_rgbe(row, w, x, bright);
            else if (exponents[x] == 0)
                imagecore::put_rgbe(row, w, x, dark);
        }
    }
    return h;
}

int rgb2hsl_norm(const float *rgb, float *hsl)
{
    float r = rgb[0], g = rgb[1], b = rgb[2];
    float mx = r > g ? r : g;
    if (b > mx)
        mx = b;
    float mn = r < g ? r : g;
    if (b < mn)
        mn = b;
    float l = (mx + mn) * 0.5f;
    if (mx == mn) {
        hsl[0] = hsl[1] = 0;
        hsl[2] = l;
        return 1;
    }
    float d = mx - mn;
    float s = l < 0.5f ? static_cast<float>(static_cast<double>(d) / (mx + mn))
                       : static_cast<float>(static_cast<double>(d) / (2.0 - mx - mn));
    float hue;
    if (mx == r)
        hue = (g - b) / d;
    else if (mx != g)
        hue = (r - g) / d + 4.0f;
    else
        hue = (b - r) / d + 2.0f;
    hue /= 6.0f;
    if (hue < 0)
        hue += 1.0f;
    if (hue > 1)
        hue -= 1.0f;
    hsl[0] = hue;
    hsl[1] = s;
    hsl[2] = l;
    return 1;
}

void rgb2hsl(const float *rgb, float *hsl, float scale)
{
    if (!(scale >= 1))
        return;
    const float unit[3] = {rgb[0] / scale, rgb[1] / scale, rgb[2] / scale};
    rgb2hsl_norm(unit, hsl);
}

float hue2rgb(float p, float q, float t)
{
    if (t < 0)
        t += 1.0f;
    if (t > 1)
        t -= 1.0f;
    if (6.0f * t < 1)
        return p + (q - p) * 6.0f * t;
    if (2.0f * t < 1)
        return q;
    if (3.0f * t < 2)
        return static_cast<float>(p + static_cast<double>(q - p) * (4.0 - 6.0 * t));
    return p;
}

int hsl2rgb_norm(const float *hsl, float *rgb)
{
    float hue = hsl[0], s = hsl[1], l = hsl[2];
    if (s == 0) {
        rgb[0] = rgb[1] = rgb[2] = l;
        return 1;
    }
    float q = l > 0.5f ? static_cast<float>(static_cast<double>(l) + s - static_cast<double>(l) * s)
                       : static_cast<float>((static_cast<double>(s) + 1.0) * l);
    float p = 2.0f * l - q;
    rgb[0] = hue2rgb(p, q, static_cast<float>(hue + 0.333333333333));
    rgb[1] = hue2rgb(p, q, hue);
    rgb[2] = hue2rgb(p, q, static_cast<float>(hue - 0.3333333333333));
    return 1;
}

void hsl2rgb(const float *hsl, float *rgb, float scale)
{
    hsl2rgb_norm(hsl, rgb);
    rgb[0] *= scale;
    rgb[1] *= scale;
    rgb[2] *= scale;
}
