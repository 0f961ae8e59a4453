// The fusion weight stage: statistics and tables first, then the weights of every pixel over
// bands of rows on the banded runner.
#include "fusion/weight_maps.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstddef>
#include <new>
#include <type_traits>
#include <vector>

#include "fusion/detail/stack_file.h"
#include "fusion/detail/weight_tables.h"
#include "imagecore/banded.h"
#include "imagecore/brightness.h"
#include "imagecore/float_clamp.h"
#include "tonemap/tm_params.h"

namespace fusion::detail {

double accent_exponent(float accentuation)
{
    const double p0 = accentuation;
    return std::pow(2.0, p0 >= 0 ? p0 / 5 + 0.5 : p0 / 10 + 0.5);
}

void shadow_exponents(float shadows, float saturatedFraction, double *expA, double *expB)
{
    const double p2 = shadows, f = saturatedFraction;
    *expA = f < 0.2 ? p2 + 1 : (p2 - 1) * 0.5 + 2;
    if (f < 0.05)
        *expB = 2;
    else if (f > 0.2)
        *expB = p2 + 1;
    else
        *expB = f * ((p2 - 1) / 0.15) + (p2 - 1) * 0.05 / -0.15 + 2;
}

void weight_curve(int S, float shadows, float saturatedFraction, float *curve)
{
    const int mid = S / 2;
    for (int v = 0; v < S; ++v) {
        const float d = static_cast<float>(v - mid) / static_cast<float>(S);
        curve[v] = std::exp(-12.499999f * d * d);
    }
    if (!(shadows > 0))
        return;
    double expA, expB;
    shadow_exponents(shadows, saturatedFraction, &expA, &expB);
    const double factor = 1 / std::pow(0.640625, expA);
    for (int v = 0; v < S; ++v) {
        const double t = 2.0 * v / S;
        const double w = v < mid ? 1 - std::pow(double(static_cast<float>(1 - t)), expB)
                                 : 1 - std::pow(double(static_cast<float>(t - 1)), expA) * factor;
        curve[v] = static_cast<float>(std::max(0.0, w));
    }
}

void blend_factors(int n, float blendingPoint, const int *photoOrder, float *factors)
{
    std::fill(factors, factors + n, 0.0f);
    const int m = n / 2;
    if (imagecore::clamp_to_int(blendingPoint) == 0 || m == 0)
        return;
    for (int j = 0; j < n; ++j) {
        const float q = static_cast<float>(m - j) / static_cast<float>(m);
        double b = std::pow(2.0, double(q) * double(blendingPoint) * 0.25);
        b *= b;
        factors[photoOrder[j]] = static_cast<float>(b < 0.1 ? 0.1 : b);
    }
}

void accent_curve(bool is32, double e, float *curve)
{
    // Past the settings' range (from Accentuation 10.7 on) the curve is held at 1e30: it would
    // overflow single precision from 12.5 on, and a pixel's weights turn NaN; sums of many
    // photos of 1e30 stay finite.
    constexpr double kAccentMax = 1e30;
    for (int i = 0; i < 65536; ++i) {
        if (is32) {
            curve[i] = static_cast<float>(i / 65536.0);
        } else {
            const float base = static_cast<float>(std::max(0.0, 1 - i / 65536.0) + 0.000001);
            curve[i] = static_cast<float>(std::min(std::pow(double(base), -e), kAccentMax));
        }
    }
}

} // namespace fusion::detail

namespace {

bool weight_depth(int bits)
{
    return bits == 8 || bits == 16 || bits == 32;
}

// The normalised weight of a raw weight: nearest integer of raw x 2^bits / sum, halves down.
// A quotient that is not a number (settings far out of range) is no weight: no NaN reaches the
// pyramids.
template <class TW> TW normalised(float raw, float sum)
{
    if constexpr (std::is_floating_point_v<TW>) {
        const float r = raw / sum;
        return r == r ? r : 0;
    } else {
        constexpr double scale = sizeof(TW) == 1 ? 256.0 : 65536.0;
        constexpr int top = sizeof(TW) == 1 ? 255 : 65535;
        const double q = double(raw) * scale / double(sum);
        if (!(q > 0))
            return 0;
        if (q >= top)
            return top;
        int v = static_cast<int>(q);
        if (q - v > 0.5)
            ++v;
        return static_cast<TW>(v);
    }
}

struct BandArgs {
    int n, w, rows, spp;
    size_t photoStride, mapStride, planeBits; // samples between photos and maps; bits a plane
    const float *curves;
    size_t curveSize;
    const float *accent, *factors;
    const int *notMerged; // per photo its ghost plane, or -1; null without ghost handling
    const uint8_t *mask;
    int maskFirstBit;
};

template <class TIn, class TW> void band_weights(const BandArgs &a, const TIn *photos, TW *poids)
{
    const size_t spp = size_t(a.spp), g = size_t((a.spp - 1) / 2), b = spp - 1;
    std::array<float, 64> small;
    std::vector<float> large;
    float *raw = small.data();
    if (size_t(a.n) > small.size()) {
        large.resize(size_t(a.n));
        raw = large.data();
    }
    const size_t pixels = size_t(a.w) * size_t(a.rows);
    for (size_t i = 0; i < pixels; ++i) {
        for (int k = 0; k < a.n; ++k) {
            const TIn *p = photos + size_t(k) * a.photoStride + i * spp;
            const float *c = a.curves + size_t(k) * a.curveSize;
            const double mix = c[p[0]] * 13107.2 + c[p[g]] * 45875.2 + c[p[b]] * 6553.6;
            const int x = mix >= 65535.0 ? 65535 : static_cast<int>(mix);
            float r = a.accent[x];
            if (a.factors[k] > 0)
                r *= a.factors[k];
            raw[k] = r;
        }
        if (a.notMerged) {
            for (int k = 0; k < a.n; ++k) {
                const int plane = a.notMerged[k];
                if (plane < 0)
                    continue;
                const size_t bit = size_t(a.maskFirstBit) + size_t(plane) * a.planeBits + i;
                if (a.mask[bit >> 3] & (0x80 >> (bit & 7))) {
                    for (int j = 0; j < a.n; ++j)
                        raw[j] = j == k ? 1.0f : 0.0f;
                    break;
                }
            }
        }
        float sum = 0;
        for (int k = 0; k < a.n; ++k)
            sum += raw[k];
        for (int k = 0; k < a.n; ++k)
            poids[size_t(k) * a.mapStride + i] = sum > 0 ? normalised<TW>(raw[k], sum) : TW(0);
    }
}

} // namespace

int stats_order_photos(int n, int w, int h, int spp, int bps, const void *imagesBuffer,
                       int *surexNivo, int *medianKey, int *photoOrder, int nThreads)
{
    if (n < 1)
        return 0;
    if (!imagesBuffer || !surexNivo || !medianKey || !photoOrder || w < 1 || h < 1 || spp < 1 ||
        (bps != 8 && bps != 16))
        return -3;
    const size_t pixels = size_t(w) * size_t(h), s = size_t(spp);
    const int saturation = bps == 8 ? 250 : 64000;
    try {
        std::vector<int> keys(static_cast<size_t>(n));
        uint64_t saturated = 0; // counts past the int range are stored as INT_MAX
        for (int k = 0; k < n; ++k) {
            imagecore::LumaHistogram hist{};
            const void *photo = static_cast<const uint8_t *>(imagesBuffer) +
                                size_t(k) * pixels * s * size_t(bps / 8);
            saturated +=
                imagecore::add_luma_histogram(photo, pixels, spp, bps, saturation, hist, nThreads);
            surexNivo[k] = int(std::min<uint64_t>(saturated, INT_MAX));
            keys[size_t(k)] = medianKey[k] = imagecore::brightness_key(hist, pixels);
        }
        imagecore::brightness_order(n, keys.data(), photoOrder);
    } catch (const std::bad_alloc &) {
        return -4;
    }
    return n;
}

int adj1b_orig(int n, int w, int rows, int fullHeight, int spp, int bpsIn, int bitDepthPoids,
               const float *weightCurve, const float *accentCurve, const float *blendFactor,
               int readFromDisk, FILE *fp, void *rowBuffer, const void *photos,
               const int *indexFixedExpo, const uint8_t *ghostMask, void *poids, int maskFirstBit)
{
    if (rows < 1)
        return 0;
    if (readFromDisk ? !fp || !rowBuffer : !photos)
        return -3;
    if (!weightCurve || !accentCurve || !blendFactor || !poids || n < 1 || w < 1 ||
        fullHeight < rows || (spp != 1 && spp != 3) || (bpsIn != 8 && bpsIn != 16) ||
        !weight_depth(bitDepthPoids) || maskFirstBit < 0)
        return -3;
    const size_t plane = size_t(w) * size_t(fullHeight);
    BandArgs a{n,
               w,
               rows,
               spp,
               plane * size_t(spp),
               plane,
               plane,
               weightCurve,
               size_t(fusion::detail::sample_range(bpsIn)),
               accentCurve,
               blendFactor,
               nullptr,
               ghostMask,
               maskFirstBit};
    std::vector<int> notMerged;
    if (indexFixedExpo && indexFixedExpo[0] >= 0 && ghostMask) {
        try {
            notMerged.assign(size_t(n), -1);
        } catch (const std::bad_alloc &) {
            return -4;
        }
        for (int j = 0; j < n; ++j)
            if (indexFixedExpo[j] >= 0 && indexFixedExpo[j] < n)
                notMerged[size_t(indexFixedExpo[j])] = j;
        a.notMerged = notMerged.data();
    }
    auto weigh = [&](const BandArgs &args, auto *in, void *out) {
        switch (bitDepthPoids) {
        case 8:
            band_weights(args, in, static_cast<uint8_t *>(out));
            break;
        case 16:
            band_weights(args, in, static_cast<uint16_t *>(out));
            break;
        default:
            band_weights(args, in, static_cast<float *>(out));
        }
    };
    auto run = [&](const BandArgs &args, const void *in, void *out) {
        if (bpsIn == 8)
            weigh(args, static_cast<const uint8_t *>(in), out);
        else
            weigh(args, static_cast<const uint16_t *>(in), out);
    };
    try {
        if (!readFromDisk) {
            run(a, photos, poids);
            return rows;
        }
        // Out of core: row y of every photo read from the stack's file (photo k at sample
        // k x w x fullHeight x spp) into rowBuffer, one photo's row after another, then weighed.
        const size_t bytes = bpsIn == 8 ? 1 : 2, rowSamples = size_t(w) * size_t(spp);
        BandArgs row = a;
        row.rows = 1;
        row.photoStride = rowSamples;
        for (int y = 0; y < rows; ++y) {
            uint8_t *buffer = static_cast<uint8_t *>(rowBuffer);
            for (int k = 0; k < n; ++k)
                if (!fusion::detail::read_stack_row(fp, k, fullHeight, y, rowSamples, bytes,
                                                    buffer + size_t(k) * rowSamples * bytes))
                    return -3;
            row.maskFirstBit = a.maskFirstBit + y * w;
            run(row, rowBuffer,
                static_cast<uint8_t *>(poids) + size_t(y) * size_t(w) * size_t(bitDepthPoids / 8));
        }
    } catch (const std::bad_alloc &) { // more than 64 photos need a heap scratch
        return -4;
    }
    return rows;
}

void adj1b_threaded(WeightBandRecord *r)
{
    const imagecore::Band band = imagecore::band_rows(r->threadIndex, r->nbProc, r->height);
    const size_t first = size_t(band.begin) * size_t(r->width);
    const size_t bytesIn = r->bpsIn == 8 ? 1 : 2;
    const size_t bytesW = r->bitDepthPoids == 8 ? 1 : (r->bitDepthPoids == 16 ? 2 : 4);
    const uint8_t *photos =
        static_cast<const uint8_t *>(r->imagesBuffer) + first * size_t(r->spp) * bytesIn;
    uint8_t *poids = static_cast<uint8_t *>(r->poids) + first * bytesW;
    const uint8_t *mask = r->ghostMask ? r->ghostMask + first / 8 : nullptr;
    r->result =
        adj1b_orig(r->n, r->width, band.end - band.begin, r->height, r->spp, r->bpsIn,
                   r->bitDepthPoids, r->weightCurve, r->accentCurve, r->blendFactor, 0, nullptr,
                   nullptr, photos, r->indexFixedExpo, mask, poids, int(first % 8));
}

int fusion1(int nbProc, const float *tmParam, int n, int w, int h, int spp, int bpsIn,
            int bitDepthPoids, int is32, const float *, int readFromDisk, FILE *fpSource,
            void *rowBuffer, const void *imagesBuffer, const int *indexFixedExpo,
            const uint8_t *ghostMask, void *, void *poids)
{
    if (readFromDisk && (!fpSource || !rowBuffer))
        return -3;
    if (!tmParam || !imagesBuffer || !poids || n < 1 || w < 1 || h < 1 || (spp != 1 && spp != 3) ||
        (bpsIn != 8 && bpsIn != 16) || !weight_depth(bitDepthPoids))
        return -3;
    namespace fd = fusion::detail;
    auto setting = [&](int slot) { return tmParam[slot] == tmParam[slot] ? tmParam[slot] : 0.0f; };
    const double e = fd::accent_exponent(setting(kFuAccentuation));
    float blendingPoint = setting(kFuBlendingPoint);
    const float shadows = setting(kFuShadows);
    const int S = fd::sample_range(bpsIn);
    try {
        std::vector<int> surexNivo(static_cast<size_t>(n)), medianKey(surexNivo),
            photoOrder(surexNivo);
        // Without statistics there is no order to favour by: BlendingPoint is then ignored.
        if (stats_order_photos(n, w, h, spp, bpsIn, imagesBuffer, surexNivo.data(),
                               medianKey.data(), photoOrder.data(), nbProc) <= 0)
            blendingPoint = 0;

        const double pixels = double(w) * double(h);
        std::vector<float> curves(size_t(n) * size_t(S));
        for (int k = 0; k < n; ++k)
            fd::weight_curve(S, shadows,
                             static_cast<float>(surexNivo[size_t(k)]) / static_cast<float>(pixels),
                             curves.data() + size_t(k) * size_t(S));
        std::vector<float> factors(static_cast<size_t>(n));
        fd::blend_factors(n, blendingPoint, photoOrder.data(), factors.data());
        std::vector<float> accent(65536);
        fd::accent_curve(is32 != 0, e, accent.data());

        // Out of core the rows come from the stack's file: one band on the calling thread.
        if (readFromDisk)
            return adj1b_orig(n, w, h, h, spp, bpsIn, bitDepthPoids, curves.data(), accent.data(),
                              factors.data(), 1, fpSource, rowBuffer, imagesBuffer, indexFixedExpo,
                              ghostMask, poids);
        const int bands = imagecore::band_count(nbProc, h);
        std::vector<WeightBandRecord> records(static_cast<size_t>(bands));
        for (int t = 0; t < bands; ++t) {
            WeightBandRecord &r = records[size_t(t)];
            r.width = w, r.height = h, r.spp = spp, r.bpsIn = bpsIn;
            r.bitDepthPoids = bitDepthPoids, r.n = n, r.indexFixedExpo = indexFixedExpo;
            r.weightCurve = curves.data(), r.accentCurve = accent.data();
            r.blendFactor = factors.data(), r.imagesBuffer = imagesBuffer, r.poids = poids;
            r.ghostMask = ghostMask, r.threadIndex = t, r.nbProc = bands;
        }
        // A band whose thread cannot start runs on the calling thread once the others are done.
        imagecore::run_banded(nbProc, h, [&](const imagecore::Band &band) {
            adj1b_threaded(&records[size_t(band.index)]);
        });
        for (const WeightBandRecord &r : records)
            if (r.result < 0)
                return r.result;
        return records.back().result;
    } catch (const std::bad_alloc &) {
        return -4;
    }
}
