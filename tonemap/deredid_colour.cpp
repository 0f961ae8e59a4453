// Colour reconstruction of the local operator: each channel keeps its ratio to the pixel's
// luminance raised to a saturation exponent and takes the new luminance, a blend of the solved
// one and a global logarithmic curve whose base adapts to the brightness, with the finishing
// touches of the slider record.
#include "tonemap/deredid_colour.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <new>
#include <type_traits>
#include <vector>

#include "imagecore/float_clamp.h"
#include "tonemap/cubic_coeffs.h"
#include "tonemap/detail/radiance_rows.h"
#include "tonemap/range_map.h"
#include "tonemap/rodo.h"
#include "tonemap/tm_color.h"

namespace {

constexpr float kD65X = 0.950456f, kD65Z = 1.088754f;
constexpr float kClipFloor = 0.02f; // tone of clipped shadows
// Largest over smallest luminance up to which a scene counts as uniform: the statistics are
// single precision, so one luminance can come back a few units in the last place apart, while
// two distinct luminances of an 8-bit, 16-bit or RGBE source differ by far more.
constexpr double kFlatRatio = 1 + 16 * double(FLT_EPSILON);
constexpr int kTraceColour = 0;

// The smooth step 3t^2 - 2t^3 from x0 (0) to x1 (1), x1 on either side of x0, as two cubic
// pieces that meet at the midpoint, each in coordinates local to its flat end so the
// coefficients keep their precision far from 0. The clamps come first: at or past x1 it is 1
// (also when x1 = x0), at or before x0 it is 0.
class SmoothStep {
public:
    SmoothStep() = default;
    SmoothStep(float x0, float x1) : m_x0(x0), m_x1(x1), m_xm((x0 + x1) * 0.5f)
    {
        coeffPoly3(&m_c[0][0], &m_c[0][1], &m_c[0][2], &m_c[0][3], 0.0f, 0.0f, m_xm - x0, 0.5f);
        coeffPoly3(&m_c[1][0], &m_c[1][1], &m_c[1][2], &m_c[1][3], 0.0f, 1.0f, m_xm - x1, 0.5f);
        // A span too short for a cubic leaves zero coefficients: a plain step then.
        m_step = m_c[1][3] == 0.0f;
    }
    float operator()(float x) const
    {
        const bool up = m_x1 >= m_x0;
        if (m_step || (up ? x >= m_x1 : x <= m_x1))
            return 1.0f;
        if (up ? x <= m_x0 : x >= m_x0)
            return 0.0f;
        const bool first = up ? x <= m_xm : x >= m_xm;
        const float *c = m_c[first ? 0 : 1];
        const float t = x - (first ? m_x0 : m_x1);
        return ((c[0] * t + c[1]) * t + c[2]) * t + c[3];
    }

private:
    float m_x0 = 0, m_x1 = 0, m_xm = 0;
    float m_c[2][4] = {};
    bool m_step = true;
};

struct Layout {
    int spp, r, g, b; // sample offsets of red, green, blue
    int64_t srcRow;   // samples of a 16- or 8-bit source row
    int64_t outRow;
    bool out16;
};

Layout layout(const dim_param &dim)
{
    const int spp = dim.v[kDimSpp];
    const int r = 0, g = (spp - 1) / 2, b = spp - 1;
    const bool swap = dim.v[kDimChannelOrder] != 0;
    const int64_t srcRow = dim.v[kDimSrcRowLen] > 0 ? dim.v[kDimSrcRowLen] : dim.v[kDimOutRowLen];
    return {
        spp, swap ? b : r, g, swap ? r : b, srcRow, dim.v[kDimOutRowLen], dim.v[kDimOutBits] == 16};
}

template <class Sample> void put(void *out, int64_t i, float v, float M)
{
    static_cast<Sample *>(out)[i] = static_cast<Sample>(imagecore::clamp_to_int(v * M, 0, int(M)));
}

// What every row of a band reads, worked out once for the band.
struct RowContext {
    RowContext(const Tm31Constants &k_, const float *p_, const float *lum_, const float *table_,
               const float *curve_, const Layout &lay_)
        : k(k_), p(p_), lum(lum_), table(table_), curve(curve_), lay(lay_),
          global(k.wg > 0 || p[kDeShadowsClipping] > 0), clip(p[kDeShadowsClipping] > 0),
          perTone(p[kDeSaturationHighlights] != 0 || p[kDeSaturationShadows] != 0),
          smoothing(p[kDeHighlightsSmoothing] > 0 || p[kDeShadowsSmoothing] > 0),
          fHigh(p[kDeHighlightsSmoothing] / 100), fLow(p[kDeShadowsSmoothing] / 200),
          clipStep(k.t0, k.t1), highStep(lum[3], lum[5]), lowStep(lum[3], lum[4]), invA(1.0f / k.A),
          flatTone(std::pow(0.18f, 0.45f))
    {
        if (k.flat)
            global = clip = perTone = smoothing = false;
        for (int e = 0; e < 256; ++e)
            scaled[size_t(e)] = table ? table[e] / k.A : 0.0f;
    }
    const Tm31Constants &k;
    const float *p, *lum, *table, *curve;
    Layout lay;
    bool global, clip, perTone, smoothing;
    float fHigh, fLow;
    SmoothStep clipStep, highStep, lowStep;
    std::array<float, 256> scaled{}; // the exponent table over the log-average luminance
    float invA;
    // Middle grey (18 % of white) through the global curve's display exponent 0.45: 0.46 of
    // white, about where the operator puts the mid-grey areas of photographs (0.43 to 0.45 on
    // the generated test scene's 18 % grey at 1 to 6 megapixels, 0.31 to 0.51 at the log-average
    // luminance of the real test brackets).
    float flatTone;
};

// One row for one source kind: source row `row` (an rgbeBuf row, or interleaved samples: Src is
// uint8_t for rgbeBuf and 8-bit sources, uint16_t for 16-bit ones), luminance l, output samples
// from orow of out.
template <int Doc, class OutSample>
void colour_row(const RowContext &ctx, const void *row, const float *l, int w, void *out,
                int64_t orow)
{
    using Src = std::conditional_t<Doc == kDocRgb16, uint16_t, uint8_t>;
    const Tm31Constants &k = ctx.k;
    const Layout &lay = ctx.lay;
    [[maybe_unused]] const float *p = ctx.p, *lum = ctx.lum, *table = ctx.table, *curve = ctx.curve;
    const bool global = ctx.global, clip = ctx.clip, perTone = ctx.perTone,
               smoothing = ctx.smoothing;
    const float fHigh = ctx.fHigh, fLow = ctx.fLow, invA = ctx.invA;
    const SmoothStep &clipStep = ctx.clipStep, &highStep = ctx.highStep, &lowStep = ctx.lowStep;
    const std::array<float, 256> &scaled = ctx.scaled;
    const Src *srow = static_cast<const Src *>(row);
    for (int x = 0; x < w; ++x) {
        const int64_t o = orow + int64_t(x) * lay.spp;
        float V[3];
        int e = 0;
        if constexpr (Doc == kDocRgbe) {
            e = srow[3 * w + x];
            V[0] = srow[x];
            V[1] = srow[w + x];
            V[2] = srow[2 * w + x];
        } else {
            const Src *s = srow + int64_t(x) * lay.spp;
            V[0] = curve[s[lay.r]];
            V[1] = curve[s[lay.g]];
            V[2] = curve[s[lay.b]];
        }
        const float Y = 0.2126f * V[0] + 0.7152f * V[1] + 0.0722f * V[2];
        if ((Doc == kDocRgbe && e == 0) || !(Y > 0)) {
            put<OutSample>(out, o + lay.r, 0, k.M);
            put<OutSample>(out, o + lay.g, 0, k.M);
            put<OutSample>(out, o + lay.b, 0, k.M);
            continue;
        }
        const float lY = Doc == kDocRgbe ? std::log(Y * table[e]) : std::log(Y);
        float L = k.flat ? ctx.flatTone : l[x];
        if (global) {
            const float yn = Doc == kDocRgbe ? Y * scaled[size_t(e)] : Y * invA;
            const float gc =
                (std::log(yn + 1) * k.c10) / std::log(8 * std::pow(yn * k.invB, 0.23f) + 2);
            L = std::pow(gc, k.eg) * k.wg + (1 - k.wg) * L;
            if (clip && lY < k.t1) {
                if (lY < k.t0) {
                    L = kClipFloor;
                } else {
                    const float wgt = std::clamp(1 - clipStep(lY), 0.0f, 1.0f);
                    L = L * (1 - wgt) + kClipFloor * wgt;
                }
            }
        }
        if (k.g != 1)
            L = std::pow(L, k.g);
        if (k.temperature) {
            const float X = k.kx * (0.4124f * V[0] + 0.3576f * V[1] + 0.1805f * V[2]);
            const float Z = k.kz * (0.0193f * V[0] + 0.1192f * V[1] + 0.9505f * V[2]);
            V[0] = std::max(0.0f, 3.2406f * X - 1.5372f * Y - 0.4986f * Z);
            V[1] = std::max(0.0f, -0.9689f * X + 1.8758f * Y + 0.0415f * Z);
            V[2] = std::max(0.0f, 0.0557f * X - 0.204f * Y + 1.057f * Z);
        }
        float s = k.sb;
        if (perTone) {
            if (lY >= lum[3] && p[kDeSaturationHighlights] != 0)
                s += k.dh * highStep(lY);
            else if (lY < lum[3] && p[kDeSaturationShadows] != 0)
                s += k.ds * lowStep(lY);
        }
        s = std::clamp(s, 0.0f, 1.0f);
        const float invY = 1.0f / Y;
        float Out[3];
        for (int c = 0; c < 3; ++c)
            Out[c] = std::pow(V[c] * invY, s) * L;
        if (smoothing) {
            const float kq = Doc == kDocRgbe ? k.hs * table[e] : k.hs;
            float Q[3];
            for (int c = 0; c < 3; ++c)
                Q[c] = std::pow(V[c] * kq, 0.45f);
            const float Yq = 0.2f * Q[0] + 0.7f * Q[1] + 0.1f * Q[2];
            float f = -1;
            if (fHigh > 0 && Yq > L)
                f = fHigh;
            else if (fLow > 0 && Yq < L)
                f = fLow;
            if (f >= 0) {
                if (k.step != 0) {
                    float hsl[3];
                    rgb2hsl_norm(Q, hsl);
                    hsl[1] = std::min(hsl[1] * k.stepFactor, 1.0f);
                    hsl2rgb_norm(hsl, Q);
                }
                for (int c = 0; c < 3; ++c)
                    Out[c] = f * Q[c] + (1 - f) * Out[c];
            }
        }
        put<OutSample>(out, o + lay.r, Out[0], k.M);
        put<OutSample>(out, o + lay.g, Out[1], k.M);
        put<OutSample>(out, o + lay.b, Out[2], k.M);
    }
}

template <int Doc, class OutSample>
int colour_rows(const RowContext &c, const void *source, int w, int h, const float *luminance,
                void *out)
{
    using Src = std::conditional_t<Doc == kDocRgb16, uint16_t, uint8_t>;
    const int64_t rowSamples = Doc == kDocRgbe ? 4 * int64_t(w) : c.lay.srcRow;
    for (int y = 0; y < h; ++y)
        colour_row<Doc, OutSample>(c, static_cast<const Src *>(source) + y * rowSamples,
                                   luminance + int64_t(y) * w, w, out, y * c.lay.outRow);
    return h;
}

// The rgbeBuf rows from the Radiance file at path instead of memory. Returns h; -1 the file
// cannot be opened; -2 it does not hold a w x h image whole; -4 out of memory.
template <class OutSample>
int colour_rows_from_file(const RowContext &c, const char *path, int w, int h,
                          const float *luminance, void *out)
{
    tonemap::detail::RadianceRows rows;
    const int rc = rows.open(path, w, h);
    if (rc < 0)
        return rc == -1 || rc == -4 ? rc : -2;
    std::vector<uint8_t> row(4 * size_t(w));
    for (int y = 0; y < h; ++y) {
        if (rows.next(row.data()) < 0) {
            if (kTraceColour)
                std::printf("tm3 could not read from input file at %d\n", y);
            return -2;
        }
        colour_row<kDocRgbe, OutSample>(c, row.data(), luminance + int64_t(y) * w, w, out,
                                        y * c.lay.outRow);
    }
    return h;
}

template <class Out>
int colour_rows_of(int docType, const RowContext &c, const void *source, int w, int h,
                   const float *luminance, void *out)
{
    switch (docType) {
    case kDocRgbe:
        return colour_rows<kDocRgbe, Out>(c, source, w, h, luminance, out);
    case kDocRgb16:
        return colour_rows<kDocRgb16, Out>(c, source, w, h, luminance, out);
    default:
        return colour_rows<kDocRgb8, Out>(c, source, w, h, luminance, out);
    }
}

} // namespace

Tm31Constants tm31_constants(int docType, const float *p, const float *lum, int outBits)
{
    Tm31Constants k{};
    const float g = static_cast<float>(std::pow(2.0, (50.0 - p[kDeGamma]) / 50.0));
    k.g = g > 0.24f && g < 2.01f ? g : 1.0f;
    const float p2 = p[kDeColorSaturation];
    k.eg = p2 <= 50 ? 0.45f : (p2 - 50) * 0.011f - 0.1f + 0.45f;
    k.sb = p2 / 100;
    k.step = (p2 < 40 || p2 > 50) ? imagecore::clamp_to_int((p2 - 50) / 5, -1000, 1000) : 0;
    k.stepFactor = 1 + 0.1f * static_cast<float>(k.step);
    const float S = std::max(1.0f, p[kDeStrength]);
    if (docType == kDocRgbe)
        k.wg = (100 - S) * 0.009f;
    else
        k.wg = S > 40 ? (129.4f - S) * 0.0051f : (100 - S) * 0.0076f;
    k.M = outBits == 16 ? 65535.0f : 255.0f;
    k.A = lum[0] > 0 ? lum[0] : 1.0f;
    const float B = lum[1];
    k.invB = B > 0 ? 1 / B : 1.0f;
    k.c10 = B > 0 ? std::log(10.0f) / std::log(B + 1) : 1.0f;
    const float p3 = p[kDeWhiteClip];
    const float wl = p3 >= 0 && p3 <= 10 ? p3 : 0.25f;
    k.hs = p[kDeHighlightsSmoothing] > 0 ? ((100 - (wl + 0.001f)) / 100) / std::exp(lum[6]) : 1.0f;
    k.temperature = p[kDeColorTemperature] != 0;
    k.kx = k.kz = 1;
    if (k.temperature) {
        float xyz[3] = {kD65X, 1, kD65Z}; // kept when the temperature has no daylight white
        kelvin2XYZ(imagecore::clamp_to_int(6500 - 260 * p[kDeColorTemperature]), xyz);
        k.kx = xyz[0] / kD65X;
        k.kz = xyz[2] / kD65Z;
    }
    const float a = std::log(lum[2]);
    k.t1 = a + (lum[3] - a) * p[kDeShadowsClipping] * 0.01f;
    k.t0 = k.t1 - (std::log(lum[0] * lum[1]) - lum[3]) * 0.4f;
    const float p13 = p[kDeSaturationHighlights], p14 = p[kDeSaturationShadows];
    k.dh = (p13 / 10) * (p13 <= 0 ? k.sb : 1 - k.sb);
    k.ds = (p14 / 10) * (p14 <= 0 ? k.sb : 1 - k.sb);
    k.flat = lum[2] > 0 && double(lum[0]) * double(lum[1]) <= double(lum[2]) * kFlatRatio;
    return k;
}

int tm31(int docType, const float *tmParam, const float *lumParam, const float *table,
         const float *curve, const void *source, dim_param dim, optim_param_struct opt,
         const float *luminance, void *out)
{
    const bool outOfCore = opt.readFromDisk != 0;
    if (!tmParam || !lumParam || !luminance || !out || !(docType == kDocRgbe ? table : curve) ||
        (outOfCore ? docType != kDocRgbe || !opt.tmpPath[0] : !source))
        return -3;
    const int w = dim.v[kDimWidth], h = dim.v[kDimHeight];
    if (w < 1 || h < 1)
        return 0;
    const Tm31Constants k = tm31_constants(docType, tmParam, lumParam, dim.v[kDimOutBits]);
    const Layout lay = layout(dim);
    try {
        const RowContext c(k, tmParam, lumParam, table, curve, lay);
        if (outOfCore)
            return lay.out16
                       ? colour_rows_from_file<uint16_t>(c, opt.tmpPath[0], w, h, luminance, out)
                       : colour_rows_from_file<uint8_t>(c, opt.tmpPath[0], w, h, luminance, out);
        return lay.out16 ? colour_rows_of<uint16_t>(docType, c, source, w, h, luminance, out)
                         : colour_rows_of<uint8_t>(docType, c, source, w, h, luminance, out);
    } catch (const std::bad_alloc &) {
        return -4;
    }
}

int tm3_threaded(const tm3_args &a, const imagecore::Band &band)
{
    const Layout lay = layout(a.dim);
    const int64_t y0 = band.begin, w = a.dim.v[kDimWidth];
    const int64_t srcOffset = a.docType == kDocRgbe    ? 4 * w * y0
                              : a.docType == kDocRgb16 ? 2 * lay.srcRow * y0
                                                       : lay.srcRow * y0;
    const int64_t outOffset = lay.outRow * y0 * (lay.out16 ? 2 : 1);
    dim_param dim = a.dim;
    dim.v[kDimHeight] = band.end - band.begin;
    return tm31(a.docType, a.tmParam, a.lumParam, a.table, a.curve,
                static_cast<const uint8_t *>(a.source) + srcOffset, dim, a.opt,
                a.luminance + w * y0, static_cast<uint8_t *>(a.out) + outOffset);
}

int calc_tm3(int docType, const float *tmParam, const float *lumParam, const float *table,
             const float *curve, void *source, dim_param dim, optim_param_struct opt,
             float *luminance, void *out)
{
    if (!tmParam || !lumParam || !luminance || !out || (!source && !opt.readFromDisk))
        return -3;
    if (docType < kDocRgbe || docType > kDocRgb8 || !(docType == kDocRgbe ? table : curve))
        return -3;
    // Out of core the source is the Radiance file of path slot 0: an rgbeBuf.
    if (opt.readFromDisk && (docType != kDocRgbe || !opt.tmpPath[0]))
        return -3;
    const int w = dim.v[kDimWidth], h = dim.v[kDimHeight];
    const Layout lay = layout(dim);
    const int64_t rowSamples = int64_t(lay.spp) * w;
    if (lay.spp < 1 || lay.outRow < rowSamples || (docType != kDocRgbe && lay.srcRow < rowSamples))
        return -3;
    const int rc = tm30(tmParam, luminance, dim, opt.readFromDisk ? 0 : opt.nbProc);
    if (rc < 0)
        return rc;
    // Fewer rows than workers: every row in one band, as the last band would hold them. Out of
    // core the rows come from the file, on the calling thread.
    if (opt.readFromDisk || opt.nbProc < 2 || h < opt.nbProc)
        return tm31(docType, tmParam, lumParam, table, curve, source, dim, opt, luminance, out);

    const tm3_args args{docType, dim, tmParam, lumParam, table, curve, opt, source, luminance, out};
    std::array<int, imagecore::kMaxBands> results{};
    const imagecore::BandReport report = imagecore::run_banded(
        opt.nbProc, h,
        [&](const imagecore::Band &band) {
            results[size_t(band.index)] = tm3_threaded(args, band);
        },
        imagecore::BandFallback::Report);
    if (!report.complete())
        return -2;
    return results[size_t(report.count - 1)];
}
