// The global operator: log-luminance statistics from a bounded sample, then one curve for every
// pixel, with brightness, compression, contrast, clipping, white balance by colour temperature
// (daylight-locus white, von Kries-like gains in XYZ) and saturation in HSL.
#include "tonemap/rodo.h"

#include <array>
#include <cmath>
#include <limits>
#include <new>
#include <vector>

#include "imagecore/float_clamp.h"
#include "tonemap/tm_color.h"

namespace {

constexpr int kMaxSamples = 40000;
constexpr int kBins = 65536;

// D65, the white the temperature gains are taken against.
constexpr double kD65X = 0.950456, kD65Z = 1.088754;

// sRGB (IEC 61966-2-1) linear RGB -> XYZ and its inverse as the standard rounds it.
constexpr double kRgbToXyz[3][3] = {
    {0.4124, 0.3576, 0.1805}, {0.2126, 0.7152, 0.0722}, {0.0193, 0.1192, 0.9505}};
constexpr double kXyzToRgb[3][3] = {
    {3.2406, -1.5372, -0.4986}, {-0.9689, 1.8758, 0.0415}, {0.0557, -0.2040, 1.0570}};

// First bin whose running count exceeds target, as a log value.
float histogram_quantile(const std::vector<int> &hist, int64_t target, float lo, float hi,
                         float fallback)
{
    int64_t run = 0;
    for (int b = 0; b < kBins; ++b) {
        run += hist[b];
        if (run > target)
            return static_cast<float>(lo + b * (static_cast<double>(hi) - lo) / 65536.0);
    }
    return fallback;
}

// Everything the per-pixel loop needs, computed once per band.
struct Operator {
    double V;        // top output value
    double r;        // exposure scale bringing the median to the key
    double alpha, A; // adaptation and its average term
    double m;        // curve exponent
    double f;        // brightness factor
    double lo, gain; // black point and the gain to the white point
    bool useTemp = false;
    double T[3][3];
    bool useSat = false;
    float sigma = 1;
};

double phi(const Operator &op, double W)
{
    return op.V * W / (W + 1e-20 + std::pow((op.alpha * W + op.A) * op.f, op.m));
}

// A uniform luminance (no spread at all, or every pixel at the minimum: the mean is the
// minimum) or no light at all.
bool flat_luminance(const float *l)
{
    return l[0] >= l[1] || l[2] <= l[0];
}

void make_operator(const float *p, const float *l, int bits, Operator &op)
{
    op.V = bits == 16 ? 65535.0 : 255.0;
    float d = l[4] - l[3];
    float a = d <= 4 ? -1.5f : static_cast<float>((d * -0.5 - 1.5) + 2.0);
    float r =
        static_cast<float>(std::exp(static_cast<double>(a)) / std::exp(static_cast<double>(l[3])));
    op.r = r;
    double logr = std::log(static_cast<double>(r));
    double lmin = l[0] + logr, lmax = l[1] + logr, lmed = l[3] + logr, l995 = l[4] + logr;

    const double p0 = p[kRoBrightness], p1 = p[kRoCompression], p2 = p[kRoContrast];
    if (p2 > 0 && p1 > 0) {
        double q = 0.1 * p1 + 1.0;
        op.alpha = (p2 + 10.0 * q) / (20.0 * q);
    } else {
        op.alpha = (p2 + 10.0) / 20.0;
    }
    op.A = (1.0 - op.alpha) * std::exp(static_cast<double>(l[3])) * r;

    // A flat image has no upper tail: the exponent's tail term is 0.
    const bool flat = flat_luminance(l);
    double m = flat ? 0.3 : 0.3 + 0.6 * std::pow((l995 - lmed) / (lmax - lmin), 1.4);
    if (p1 < 0)
        m = ((p1 + 10.0) / 10.0) * (m - 0.01) + 0.01;
    else if (p1 > 0)
        m = 0.9 - ((10.0 - p1) / 10.0) * (0.9 - m);
    op.m = m;

    double g;
    if (p0 > 0)
        g = p0 * (0.4 - 0.01 * p0);
    else if (p0 > -6)
        g = 0.5 * p0;
    else
        g = p0 * (0.5 + 0.1 * (-6.0 - p0));
    op.f = std::exp(-g);

    if (imagecore::clamp_to_int(p[kRoColorTemperature]) != 0) {
        int kelvin = imagecore::clamp_to_int(6500.0 - 200.0 * p[kRoColorTemperature]);
        float xyz[3] = {static_cast<float>(kD65X), 1.0f, static_cast<float>(kD65Z)};
        kelvin2XYZ(kelvin, xyz);
        const double gain[3] = {xyz[0] / kD65X, 1.0, xyz[2] / kD65Z};
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                double s = 0;
                for (int k = 0; k < 3; ++k)
                    s += kXyzToRgb[i][k] * gain[k] * kRgbToXyz[k][j];
                op.T[i][j] = s;
            }
        op.useTemp = true;
    }
    if (imagecore::clamp_to_int(p[kRoSaturation]) != 0) {
        op.sigma = 0.1f * p[kRoSaturation] + 1.0f;
        op.useSat = true;
    }

    if (flat) {
        // One luminance has no range to stretch to black and white: it keeps the grey the
        // curve gives it (and the clips have nothing to clip).
        op.lo = 0;
        op.gain = 1;
        return;
    }
    double hi = phi(op, std::exp(lmax));
    double lo0 = phi(op, std::exp(lmin));
    double span = hi - lo0;
    op.lo = lo0 + 0.02 * p[kRoBlackClip] * span;
    // Large clip settings can bring this denominator to 0 or below; the stores saturate.
    op.gain = op.V / ((hi - 0.03 * p[kRoWhiteClip] * span) - op.lo);
}

template <class Out>
void map_band(const Operator &op, const float *table, const uint8_t *rgbe, Out *out, int w,
              int rows, int spp, int rowLength, int order)
{
    const int offR = order ? spp - 1 : 0, offG = (spp - 1) / 2, offB = order ? 0 : spp - 1;
    const int top = static_cast<int>(op.V);
    const float scale = static_cast<float>(op.V);
    const size_t plane = static_cast<size_t>(w);
    for (int y = 0; y < rows; ++y) {
        const uint8_t *R = rgbe + static_cast<size_t>(y) * 4 * plane;
        const uint8_t *G = R + plane, *B = G + plane, *E = B + plane;
        Out *o = out + static_cast<size_t>(y) * static_cast<size_t>(rowLength);
        for (int x = 0; x < w; ++x, o += spp) {
            const uint8_t e = E[x];
            if (e == 0) {
                o[offR] = o[offG] = o[offB] = 0;
                continue;
            }
            double c[3] = {static_cast<double>(R[x]), static_cast<double>(G[x]),
                           static_cast<double>(B[x])};
            double Y = 0.2126 * c[0] + 0.7152 * c[1] + 0.0722 * c[2];
            if (op.useTemp) {
                double t[3];
                for (int i = 0; i < 3; ++i)
                    t[i] = op.T[i][0] * c[0] + op.T[i][1] * c[1] + op.T[i][2] * c[2];
                c[0] = t[0];
                c[1] = t[1];
                c[2] = t[2];
            }
            double s = op.r * table[e];
            double P = std::pow((Y * s * op.alpha + op.A) * op.f, op.m);
            float v[3];
            for (int i = 0; i < 3; ++i) {
                double xs = c[i] * s;
                v[i] = static_cast<float>((op.V * xs / (xs + 1e-20 + P) - op.lo) * op.gain);
            }
            if (op.useSat) {
                float hsl[3] = {0, 0, 0};
                rgb2hsl(v, hsl, scale);
                hsl[1] *= op.sigma;
                if (hsl[1] > 1)
                    hsl[1] = 1;
                hsl2rgb(hsl, v, scale);
            }
            o[offR] = static_cast<Out>(imagecore::clamp_to_int(v[0], 0, top));
            o[offG] = static_cast<Out>(imagecore::clamp_to_int(v[1], 0, top));
            o[offB] = static_cast<Out>(imagecore::clamp_to_int(v[2], 0, top));
        }
    }
}

bool layout_ok(const dim_param &dims)
{
    const int w = dims.v[kDimWidth], spp = dims.v[kDimSpp];
    return w >= 1 && spp >= 1 &&
           static_cast<int64_t>(dims.v[kDimOutRowLen]) >= static_cast<int64_t>(w) * spp;
}

} // namespace

int logMinMaxMoy(int w, int h, const float *table, const uint8_t *rgbe, float *lumParam, int nbProc)
{
    if (h < 1 || w < 1)
        return 0;
    const int64_t step = static_cast<int64_t>(w) * h / kMaxSamples + 1;
    // Pixel i is a sample when i is a multiple of step: slot i / step, NaN where the pixel is
    // skipped, so the bands fill their own slots and the samples keep the pixel order.
    std::vector<float> slots;
    std::vector<int> hist;
    std::vector<double> rowSums; // each row's sum of logs, added in row order
    struct Partial {
        int64_t n = 0;
        float mx = 0, mn = 1e11f;
    };
    std::array<Partial, imagecore::kMaxBands> partials{};
    try {
        slots.assign(kMaxSamples, std::numeric_limits<float>::quiet_NaN());
        hist.resize(kBins);
        rowSums.resize(static_cast<size_t>(h));
        const size_t plane = static_cast<size_t>(w);
        const imagecore::BandReport report =
            imagecore::run_banded(nbProc, h, [&](const imagecore::Band &b) {
                // Counted in locals, stored once: neighbouring bands' partials share a cache
                // line.
                Partial part;
                for (int y = b.begin; y < b.end; ++y) {
                    const uint8_t *R = rgbe + static_cast<size_t>(y) * 4 * plane;
                    const uint8_t *G = R + plane, *B = G + plane, *E = B + plane;
                    double sum = 0;
                    for (int x = 0; x < w; ++x) {
                        const uint8_t e = E[x];
                        if (e == 0)
                            continue;
                        double L = 0.2125 * R[x] + 0.7154 * G[x] + 0.0721 * B[x];
                        if (!(static_cast<float>(L) > 0))
                            continue;
                        float l = std::log(static_cast<float>(L * table[e]));
                        ++part.n;
                        sum += l;
                        if (l > part.mx)
                            part.mx = l;
                        if (l < part.mn)
                            part.mn = l;
                        int64_t i = static_cast<int64_t>(y) * w + x;
                        if (i % step == 0)
                            slots[static_cast<size_t>(i / step)] = l;
                    }
                    rowSums[static_cast<size_t>(y)] = sum;
                }
                partials[b.index] = part;
            });
        if (!report.complete())
            return -4;
    } catch (const std::bad_alloc &) {
        return -4;
    }
    int64_t n = 0;
    double sum = 0;
    float mx = 0, mn = 1e11f;
    for (const Partial &part : partials) {
        n += part.n;
        mx = part.mx > mx ? part.mx : mx;
        mn = part.mn < mn ? part.mn : mn;
    }
    for (double rowSum : rowSums)
        sum += rowSum;
    lumParam[0] = mn;
    lumParam[1] = mx;
    lumParam[2] = n > 0 ? static_cast<float>(sum / static_cast<double>(n)) : 0.0f;
    lumParam[3] = lumParam[2];
    lumParam[4] = lumParam[1];
    if (mn >= mx)
        return h;

    const double range = static_cast<double>(mx) - mn;
    int64_t k = 0;
    for (float l : slots)
        if (!std::isnan(l)) {
            ++hist[imagecore::clamp_to_int((l - mn) * 65535.0 / range, 0, kBins - 1)];
            ++k;
        }
    lumParam[3] = histogram_quantile(hist, static_cast<int64_t>(k * 0.5), mn, mx, lumParam[3]);
    lumParam[4] = histogram_quantile(hist, static_cast<int64_t>(k * 0.995), mn, mx, lumParam[4]);
    return h;
}

int tm_simple_orig(const float *p, const float *lumParam, const float *table, const uint8_t *rgbe,
                   void *out, dim_param dims)
{
    const int rows = dims.v[kDimHeight], bits = dims.v[kDimOutBits];
    if (rows < 1 || !layout_ok(dims))
        return 0;
    if (bits != 8 && bits != 16)
        return 0;
    Operator op;
    make_operator(p, lumParam, bits, op);
    const int w = dims.v[kDimWidth], spp = dims.v[kDimSpp], rowLength = dims.v[kDimOutRowLen];
    const int order = dims.v[kDimChannelOrder];
    if (bits == 8)
        map_band(op, table, rgbe, static_cast<uint8_t *>(out), w, rows, spp, rowLength, order);
    else
        map_band(op, table, rgbe, static_cast<uint16_t *>(out), w, rows, spp, rowLength, order);
    return rows;
}

int tm_simple_threaded(const tm_simple_args &args, const imagecore::Band &band)
{
    const int w = args.dims.v[kDimWidth];
    const size_t outBytes = args.dims.v[kDimOutBits] == 16 ? 2 : 1;
    dim_param dims = args.dims;
    dims.v[kDimHeight] = band.end - band.begin;
    const uint8_t *rgbe = args.rgbe + static_cast<size_t>(band.begin) * 4 * static_cast<size_t>(w);
    uint8_t *out =
        static_cast<uint8_t *>(args.out) +
        static_cast<size_t>(band.begin) * static_cast<size_t>(dims.v[kDimOutRowLen]) * outBytes;
    return tm_simple_orig(args.p, args.lumParam, args.table, rgbe, out, dims);
}

int tm_simple(const float *p, const float *lumParam, const float *table, const uint8_t *rgbe,
              void *out, dim_param dims, optim_param_struct opt)
{
    const int h = dims.v[kDimHeight];
    if (h < 1 || !layout_ok(dims))
        return 0;
    if (opt.nbProc < 2)
        return tm_simple_orig(p, lumParam, table, rgbe, out, dims);

    const tm_simple_args args{p, lumParam, table, rgbe, out, dims};
    std::array<int, imagecore::kMaxBands> results{};
    imagecore::BandReport report = imagecore::run_banded(
        opt.nbProc, h,
        [&](const imagecore::Band &band) { results[band.index] = tm_simple_threaded(args, band); },
        imagecore::BandFallback::Report);
    if (!report.complete())
        return -2;
    return results[report.count - 1];
}

void kelvin2XYZ(int kelvin, float *xyz)
{
    const float T = static_cast<float>(kelvin);
    if (!(T > 0))
        return;
    const double t = T, t2 = t * t, t3 = t2 * t;
    double x;
    if (T <= 7000)
        x = -4.6070e9 / t3 + 2.9678e6 / t2 + 0.09911e3 / t + 0.244063;
    else
        x = -2.0064e9 / t3 + 1.9018e6 / t2 + 0.24748e3 / t + 0.23704;
    const double y = -3.0 * x * x + 2.87 * x - 0.275;
    if (y == 0)
        return;
    const double X = x / y, Z = (1.0 - x - y) / y;
    if (!std::isfinite(X) || !std::isfinite(Z) || !std::isfinite(static_cast<float>(X)) ||
        !std::isfinite(static_cast<float>(Z)))
        return;
    xyz[0] = static_cast<float>(X);
    xyz[1] = 1.0f;
    xyz[2] = static_cast<float>(Z);
}
