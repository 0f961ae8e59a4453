// Collapse and finishing of exposure fusion. The collapse works in place, coarsest level first,
// each step adding the up-sampled coarser level to the band values of the finer one.
#include "fusion/reconstruct.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "fusion/detail/expand.h"
#include "fusion/detail/levels.h"
#include "imagecore/banded.h"
#include "imagecore/float_clamp.h"
#include "tonemap/tm_color.h"
#include "tonemap/tm_params.h"

namespace {

// The settings of the finishing step and the output scale M.
struct Finish {
    float scale;
    int saturation, midtones; // truncated: only non-zero values change the colours
    float saturationFactor;
    double gamma;
    bool clip;
    float black, span;

    Finish(const float *p, int bpsOut)
    {
        scale = bpsOut == 8 ? 256.0f : 65536.0f;
        saturation = imagecore::clamp_to_int(p[kFuSaturation]);
        midtones = imagecore::clamp_to_int(p[kFuMidtonesAdjustment]);
        saturationFactor = 1.0f + 0.1f * p[kFuSaturation];
        gamma = std::pow(2.0, -0.05 * double(p[kFuMidtonesAdjustment]));
        const float whiteClip = p[kFuWhiteClip], blackClip = p[kFuBlackClip];
        clip = whiteClip > 0 || blackClip > 0;
        black = blackClip * scale / 100.0f;
        const float white = (1.0f - whiteClip / 100.0f) * scale;
        // Clips adding up to 100 % or more would put white at or below black: keep one step.
        span = white - black < 1.0f ? 1.0f : white - black;
    }

    // Nothing but the depth conversion.
    bool plain() const { return saturation == 0 && midtones == 0 && !clip; }

    void apply(float *rgb) const
    {
        if (saturation != 0 || midtones != 0) {
            // Level 0 may hold up to twice full scale; beyond 1 the HSL model divides by
            // 2 - max - min <= 0. Anything above full scale ends there anyway.
            for (int c = 0; c < 3; ++c) {
                const float v = rgb[c] / scale;
                rgb[c] = v > 1.0f ? 1.0f : (v > 0.0f ? v : 0.0f);
            }
            if (saturation != 0) {
                float hsl[3];
                frgb2hsl(rgb, hsl);
                const float s = hsl[1] * saturationFactor;
                hsl[1] = s > 1.0f ? 1.0f : (s > 0.0f ? s : 0.0f);
                fhsl2rgb(hsl, rgb);
            }
            if (midtones != 0)
                for (int c = 0; c < 3; ++c)
                    rgb[c] = static_cast<float>(std::pow(double(rgb[c]), gamma));
            for (int c = 0; c < 3; ++c)
                rgb[c] *= scale;
        }
        if (clip)
            for (int c = 0; c < 3; ++c)
                rgb[c] = (rgb[c] - black) * scale / span;
    }
};

template <class In, class Out>
void finish(const Finish &f, int w, int spp, int rowLen, bool bgr, const In *level0, Out *out,
            int y0, int y1)
{
    const size_t s = size_t(spp);
    const size_t pos[3] = {0, size_t((spp - 1) / 2), s - 1};
    const size_t put[3] = {bgr ? s - 1 : 0, pos[1], bgr ? 0 : s - 1};
    const int top = int(f.scale) - 1;
    if constexpr (!std::is_floating_point_v<In>) {
        // Without settings and with every sample of a pixel a channel in place, a row is one
        // plain loop.
        if (f.plain() && (spp == 1 || (spp == 3 && !bgr))) {
            const size_t n = size_t(w) * s;
            for (int y = y0; y < y1; ++y) {
                const In *r = level0 + size_t(y) * n;
                Out *d = out + size_t(y) * size_t(rowLen);
                for (size_t k = 0; k < n; ++k)
                    d[k] = static_cast<Out>(std::min(sizeof(Out) == 1 ? r[k] >> 7 : r[k] * 2, top));
            }
            return;
        }
    }
    const In *src = level0 + size_t(y0) * size_t(w) * s;
    for (int y = y0; y < y1; ++y) {
        Out *d = out + size_t(y) * size_t(rowLen);
        for (int x = 0; x < w; ++x, src += s, d += s) {
            float rgb[3];
            for (int c = 0; c < 3; ++c) {
                if constexpr (std::is_floating_point_v<In>)
                    rgb[c] = src[pos[c]];
                else
                    rgb[c] =
                        static_cast<float>(sizeof(Out) == 1 ? src[pos[c]] >> 7 : src[pos[c]] * 2);
            }
            f.apply(rgb);
            for (int c = 0; c < 3; ++c)
                d[put[c]] = static_cast<Out>(imagecore::clamp_to_int(rgb[c], 0, top));
        }
    }
}

// One 16-bit collapse step: fine + expanded coarse - 32767, limited to 0..65535.
template <int SPP>
void collapse16(int fw, int fh, int cw, bool is360, const uint16_t *coarse, uint16_t *fine, int y0,
                int y1)
{
    constexpr int kChunk = fusion::detail::kExpandChunk;
    int32_t e[kChunk * SPP];
    const int hc = (fh + 1) / 2;
    const size_t rowC = size_t(cw) * SPP, rowF = size_t(fw) * SPP;
    for (int y = y0; y < y1; ++y) {
        const uint16_t *r0 = coarse + size_t(y / 2) * rowC;
        const uint16_t *r1 = (y & 1) && y / 2 + 1 < hc ? r0 + rowC : nullptr;
        uint16_t *row = fine + size_t(y) * rowF;
        for (int x0 = 0; x0 < fw; x0 += kChunk) {
            const int n = std::min(kChunk, fw - x0);
            fusion::detail::expand_chunk<SPP>(x0, n, cw, is360, r0, r1, e);
            uint16_t *d = row + size_t(x0) * SPP;
            for (int k = 0; k < n * SPP; ++k)
                d[k] = static_cast<uint16_t>(std::clamp(int(d[k]) + e[k] - 32767, 0, 65535));
        }
    }
}

using imagecore::for_row_bands;
using imagecore::level_threads;

} // namespace

int fusion3(const float *tmParam, int L, int w, int h, int spp, int bpsOut, int bitDepthFusion,
            int rowLen, int bgrOrder, int is360, void *fusionPyramid, void *, void *out,
            int nThreads)
{
    if (!tmParam || !fusionPyramid || !out)
        return -3;
    if (bitDepthFusion != 16 && bitDepthFusion != 32)
        return -3;
    if (bpsOut != 8 && bpsOut != 16 && bpsOut != 32)
        return -3;
    if (w < 1 || h < 1 || spp < 1 || int64_t(rowLen) < int64_t(w) * spp)
        return -3;
    if (L < 1)
        return 0;
    const fusion::detail::Levels lv = fusion::detail::pyramid_levels(w, h, L, spp);
    if (lv.count == 0)
        return -3;
    for (int l = L - 1; l >= 0; --l) {
        const fusion::detail::Level &f = lv.at[l], &c = lv.at[l + 1];
        fusion31et32(f.w, f.h, c.w, c.h, spp, bitDepthFusion, is360, int(f.start * spp),
                     int(c.start * spp), fusionPyramid, nThreads);
    }
    fusion33(tmParam, w, h, spp, bpsOut, bitDepthFusion, rowLen, bgrOrder, fusionPyramid, out,
             nThreads);
    return spp * w * h;
}

int fusion31et32(int fineW, int fineH, int coarseW, int coarseH, int spp, int bitDepthFusion,
                 int is360, int initFine, int initCoarse, void *pyramid, int nThreads)
{
    if (!pyramid || fineW < 1 || fineH < 1 || spp < 1 || initFine < 0 || initCoarse < 0)
        return 0;
    if (coarseW != fineW / 2 + fineW % 2 || coarseH != fineH / 2 + fineH % 2)
        return 0;
    // 16 bits with 1 or 3 samples a pixel: row by row in chunks, the expanded values first.
    if (bitDepthFusion == 16 && (spp == 1 || spp == 3)) {
        uint16_t *samples = static_cast<uint16_t *>(pyramid);
        for_row_bands(level_threads(nThreads, fineW, fineH), fineH, [&](int y0, int y1) {
            if (spp == 3)
                collapse16<3>(fineW, fineH, coarseW, is360 != 0, samples + initCoarse,
                              samples + initFine, y0, y1);
            else
                collapse16<1>(fineW, fineH, coarseW, is360 != 0, samples + initCoarse,
                              samples + initFine, y0, y1);
        });
        return fineH;
    }
    auto step = [&](auto *samples) {
        using T = std::remove_pointer_t<decltype(samples)>;
        T *fine = samples + initFine;
        for_row_bands(level_threads(nThreads, fineW, fineH), fineH, [&](int y0, int y1) {
            fusion::detail::expand_rows(
                fineW, fineH, coarseW, spp, is360 != 0, samples + initCoarse, y0, y1,
                [&](size_t, size_t s, auto u) {
                    if constexpr (std::is_floating_point_v<T>)
                        fine[s] += u;
                    else
                        fine[s] = static_cast<T>(std::clamp(fine[s] + u - 32767, 0, 65535));
                });
        });
    };
    if (bitDepthFusion == 16)
        step(static_cast<uint16_t *>(pyramid));
    else if (bitDepthFusion == 32)
        step(static_cast<float *>(pyramid));
    else
        return 0;
    return fineH;
}

int fusion33(const float *tmParam, int w, int h, int spp, int bpsOut, int bitDepthFusion,
             int rowLen, int bgrOrder, const void *level0, void *out, int nThreads)
{
    if (!tmParam || !level0 || !out || w < 1 || h < 1 || spp < 1)
        return 0;
    if ((bpsOut != 8 && bpsOut != 16) || (bitDepthFusion != 16 && bitDepthFusion != 32))
        return 0;
    if (int64_t(rowLen) < int64_t(w) * spp)
        return 0;
    const Finish f(tmParam, bpsOut);
    auto run = [&](auto *in) {
        for_row_bands(level_threads(nThreads, w, h), h, [&](int y0, int y1) {
            if (bpsOut == 8)
                finish(f, w, spp, rowLen, bgrOrder != 0, in, static_cast<uint8_t *>(out), y0, y1);
            else
                finish(f, w, spp, rowLen, bgrOrder != 0, in, static_cast<uint16_t *>(out), y0, y1);
        });
    };
    if (bitDepthFusion == 16)
        run(static_cast<const uint16_t *>(level0));
    else
        run(static_cast<const float *>(level0));
    return h;
}

// The conversions of the tone mappers serve here too: one HSL model for the whole program.
int frgb2hsl(const float *rgb, float *hsl)
{
    return rgb2hsl_norm(rgb, hsl);
}

int fhsl2rgb(const float *hsl, float *rgb)
{
    return hsl2rgb_norm(hsl, rgb);
}

float fhue2rgb(float p, float q, float t)
{
    return hue2rgb(p, q, t);
}
