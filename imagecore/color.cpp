// ICC tone-curve gamma and the small colour conversions. Matrices: JFIF for luma/chroma, IEC
// 61966-2-1 for sRGB (the D50-adapted one for companded input), the CIE daylight locus for white
// points.
#include "imagecore/color.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "imagecore/byte_order.h"
#include "imagecore/float_clamp.h"
#include "platform/checked_size.h"

namespace {

// Statistics of Lab2XYZ_16 on standard error.
constexpr int kTraceLab = 0;

constexpr double kDefaultGamma = 2.2;

bool is_trc_signature(const uint8_t *p)
{
    return (p[0] == 'r' || p[0] == 'g' || p[0] == 'b') && std::memcmp(p + 1, "TRC", 3) == 0;
}

void xyz_to_linear_srgb(const float in[3], double rgb[3])
{
    const double x = in[0], y = in[1], z = in[2];
    rgb[0] = 3.241 * x - 1.5374 * y - 0.4986 * z;
    rgb[1] = -0.9692 * x + 1.876 * y + 0.0416 * z;
    rgb[2] = 0.0556 * x - 0.204 * y + 1.057 * z;
}

double srgb_to_linear(double v)
{
    return v < 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

// The CIE Lab inverse companding of one f value, before the white-point factor.
double lab_finv(double f)
{
    const double f3 = f * f * f;
    return f3 > 0.008856 ? f3 : (116.0 * f - 16.0) * 0.001107051968574524;
}

uint16_t to_u16_even(double v)
{
    v = v < 0.0 ? 0.0 : (v > 1.0 ? 1.0 : v);
    return static_cast<uint16_t>(std::nearbyint(v * 65535.0));
}

} // namespace

int trc_from_profile(const uint8_t *profile, size_t length, float *gamma)
{
    if (profile == nullptr || gamma == nullptr || length < 4)
        return -1;
    const uint32_t size = imagecore::read_be32(profile);
    if (size != length)
        return -1;
    const int64_t n = int64_t(size) - 12;
    if (n <= 0) {
        *gamma = float(kDefaultGamma);
        return 0;
    }
    // Positions below size - 12 leave room for the signature and the offset after it.
    for (int64_t pos = 0; pos < n; ++pos) {
        if (!is_trc_signature(profile + pos))
            continue;
        const uint32_t offset = imagecore::read_be32(profile + pos + 4);
        double g = kDefaultGamma;
        if (platform::range_inside(offset, 14, size) &&
            imagecore::read_be32(profile + offset + 8) == 1)
            g = profile[offset + 12] + profile[offset + 13] / 256.0;
        *gamma = float(g);
        return static_cast<int>(pos + 1);
    }
    *gamma = float(kDefaultGamma);
    return static_cast<int>(n);
}

int rgb2ybr(const float rgb[3], float ybr[3])
{
    const double r = rgb[0], g = rgb[1], b = rgb[2];
    ybr[0] = float(0.299 * r + 0.587 * g + 0.114 * b);
    ybr[1] = float(-0.1687 * r - 0.3313 * g + 0.5 * b);
    ybr[2] = float(0.5 * r - 0.4187 * g - 0.0813 * b);
    return 1;
}

int ybr2rgb(const float ybr[3], float rgb[3])
{
    const double y = ybr[0], cb = ybr[1], cr = ybr[2];
    const double c[3] = {y + 1.402 * cr, y - 0.34414 * cb - 0.71414 * cr, y + 1.772 * cb};
    for (int k = 0; k < 3; ++k)
        rgb[k] = float(c[k] < 0.0 ? 0.0 : c[k]);
    return 1;
}

void sRGBlin2XYZ(const float in[3], float out[3])
{
    const double r = in[0], g = in[1], b = in[2];
    out[0] = float(0.4124 * r + 0.3576 * g + 0.1805 * b);
    out[1] = float(0.2126 * r + 0.7152 * g + 0.0722 * b);
    out[2] = float(0.0193 * r + 0.1192 * g + 0.9505 * b);
}

void sRGB2XYZ(const float in[3], float out[3])
{
    const double r = srgb_to_linear(in[0]), g = srgb_to_linear(in[1]), b = srgb_to_linear(in[2]);
    out[0] = float(0.4361 * r + 0.3851 * g + 0.1431 * b);
    out[1] = float(0.2225 * r + 0.7169 * g + 0.0606 * b);
    out[2] = float(0.0139 * r + 0.0971 * g + 0.7141 * b);
}

void XYZ2sRGBlin(const float in[3], float out[3])
{
    double rgb[3];
    xyz_to_linear_srgb(in, rgb);
    for (int k = 0; k < 3; ++k)
        out[k] = float(rgb[k]);
}

void XYZ2sRGB8(const float xyz[3], uint8_t out[3])
{
    double rgb[3];
    xyz_to_linear_srgb(xyz, rgb);
    for (int k = 0; k < 3; ++k) {
        const float lin = float(rgb[k]);
        out[k] = imagecore::clamp_to_u8(std::pow(double(lin), 0.4545) * 255.0);
    }
}

void kelvin2rgbScaling(int kelvin, float out[3])
{
    if (kelvin < 1) {
        out[0] = out[1] = out[2] = 1.0f;
        return;
    }
    const double t = float(kelvin);
    const double t2 = t * t, t3 = t2 * t;
    const double x = kelvin <= 7000 ? -4.607e9 / t3 + 2.9678e6 / t2 + 99.11 / t + 0.244063
                                    : -2.0064e9 / t3 + 1.9018e6 / t2 + 247.48 / t + 0.23704;
    const double y = -3.0 * x * x + 2.87 * x - 0.275;
    const float xyz[3] = {float(x / y), 1.0f, float((1.0 - x - y) / y)};
    double rgb[3];
    xyz_to_linear_srgb(xyz, rgb);
    for (int k = 0; k < 3; ++k)
        out[k] = float(1.0 / rgb[k]);
}

int Lab2XYZ_16(int count, uint16_t *buf)
{
    if (buf == nullptr && count > 0)
        return -3;
    // Only whole triples are converted: a trailing partial triple lies outside the count.
    const int64_t triples = count > 0 ? count / 3 : 0;
    if (kTraceLab && triples > 0) {
        int lmax = 0, amax = 0, bmax = 0;
        double ls = 0, as = 0, bs = 0;
        for (int64_t t = 0; t < triples; ++t) {
            const uint16_t *p = buf + 3 * t;
            lmax = p[0] > lmax ? p[0] : lmax;
            amax = p[1] > amax ? p[1] : amax;
            bmax = p[2] > bmax ? p[2] : bmax;
            ls += p[0];
            as += p[1];
            bs += p[2];
        }
        std::fprintf(stderr, "lmax:%d amax:%d bmax:%d\n", lmax, amax, bmax);
        std::fprintf(stderr, "lmoy:%1.2f amoy:%1.2f bmoy:%1.2f\n", ls / double(triples),
                     as / double(triples), bs / double(triples));
    }
    const double fa = 7.782101e-6f, fb = 1.9455252e-5f;
    int rmax = 0, gmax = 0, bmax = 0;
    for (int64_t t = 0; t < triples; ++t) {
        uint16_t *p = buf + 3 * t;
        if (p[0] == 0) {
            p[1] = p[2] = 0;
            continue;
        }
        const double ls = p[0] * double(0.0030517578125f);
        const double fy = (ls + 16.0) / 116.0;
        const double fx = fy + (int(p[1]) - 32896) * fa;
        const double fz = fy - (int(p[2]) - 32896) * fb;
        const double fy3 = fy * fy * fy;
        const double y = fy3 > 0.008856 ? fy3 : ls * 0.001107052;
        const double x = 0.9642 * lab_finv(fx);
        const double z = 0.8249 * lab_finv(fz);
        p[0] = to_u16_even(x);
        p[1] = to_u16_even(y);
        p[2] = to_u16_even(z);
        rmax = p[0] > rmax ? p[0] : rmax;
        gmax = p[1] > gmax ? p[1] : gmax;
        bmax = p[2] > bmax ? p[2] : bmax;
    }
    char line[64];
    const int len = std::snprintf(line, sizeof line, "rmax:%d gmax:%d bmax:%d\n", rmax, gmax, bmax);
    if (kTraceLab)
        return std::fputs(line, stderr) < 0 ? -1 : len;
    return len;
}
