// Preview resampling, pyramid sizes and cropping.
#include "imagecore/preview.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "imagecore/pixel_buffers.h"

namespace {

// trunc(log2(v)) with the quotient rounded to single precision, as every caller sizes its
// levels; ln(v) in double keeps exact powers of two exact (a single-precision ln makes
// log2(8192) come out below 13).
int trunc_log2(double v)
{
    return static_cast<int>(static_cast<float>(std::log(v) / std::log(2.0)));
}

int half(int d)
{
    return d / 2 + d % 2;
}

// The channels an interleaved routine copies: 0, (spp - 1) / 2 and spp - 1.
struct Channels {
    int c[3];
    explicit Channels(int spp) : c{0, (spp - 1) / 2, spp - 1} {}
};

bool get_bit(const uint8_t *bits, size_t i)
{
    return (bits[i >> 3] & (0x80u >> (i & 7))) != 0;
}

void or_bit(uint8_t *bits, size_t i)
{
    bits[i >> 3] = static_cast<uint8_t>(bits[i >> 3] | (0x80u >> (i & 7)));
}

// Copies three channels of one interleaved pixel; an 8-bit Out takes the high byte of 16-bit In.
template <class In, class Out>
void copy_pixel(const In *src, const Channels &sc, Out *dst, const Channels &dc)
{
    for (int k = 0; k < 3; ++k) {
        unsigned v = src[sc.c[k]];
        if (sizeof(In) == 2 && sizeof(Out) == 1)
            v >>= 8;
        dst[dc.c[k]] = static_cast<Out>(v);
    }
}

template <class In>
void decimate(int srcW, int srcH, int dstW, int dstH, int srcSpp, int dstSpp, const In *src,
              uint8_t *dst)
{
    const float xscale = static_cast<float>(srcW) / static_cast<float>(dstW);
    const float yscale = static_cast<float>(srcH) / static_cast<float>(dstH);
    const Channels sc(srcSpp), dc(dstSpp);
    uint8_t *d = dst;
    for (int j = 0; j < dstH; ++j) {
        int sy = static_cast<int>(static_cast<float>(j) * yscale);
        if (sy >= srcH)
            sy = srcH - 1;
        for (int i = 0; i < dstW; ++i, d += dstSpp) {
            int sx = static_cast<int>(static_cast<float>(i) * xscale);
            if (sx >= srcW)
                sx = srcW - 1;
            copy_pixel(src + (size_t(sy) * size_t(srcW) + size_t(sx)) * size_t(srcSpp), sc, d, dc);
        }
    }
}

// One bilinear sample position: the two source indices and the fraction between them.
struct Tap {
    int i0, i1;
    float f;
};

Tap tap(int index, float scale, int srcSide)
{
    const float pos = static_cast<float>(index) * scale;
    int i0 = static_cast<int>(pos);
    const float f = pos - static_cast<float>(i0);
    if (i0 > srcSide - 1)
        i0 = srcSide - 1;
    return {i0, i0 + 1 < srcSide ? i0 + 1 : i0, f};
}

float mix(float p00, float p10, float p01, float p11, float dx, float dy)
{
    return p00 * (1 - dx) * (1 - dy) + p10 * dx * (1 - dy) + p01 * (1 - dx) * dy + p11 * dx * dy;
}

template <class T>
void bilinear(int srcW, int srcH, int srcStride, int dstW, int dstH, int dstStride, int spp,
              const T *src, T *dst)
{
    const float xscale = static_cast<float>(srcW) / static_cast<float>(dstW);
    const float yscale = static_cast<float>(srcH) / static_cast<float>(dstH);
    const int off[3] = {0, spp > 1 ? 1 : 0, spp > 2 ? 2 : (spp > 1 ? 1 : 0)};
    auto at = [&](int x, int y, int c) {
        return static_cast<float>(
            src[size_t(y) * size_t(srcStride) + size_t(x) * size_t(spp) + size_t(off[c])]);
    };
    for (int j = 0; j < dstH - 1; ++j) {
        const Tap ty = tap(j, yscale, srcH);
        T *row = dst + size_t(j) * size_t(dstStride);
        for (int i = 0; i < dstW - 1; ++i) {
            const Tap tx = tap(i, xscale, srcW);
            for (int c = 0; c < 3; ++c)
                row[size_t(i) * size_t(spp) + size_t(off[c])] =
                    static_cast<T>(mix(at(tx.i0, ty.i0, c), at(tx.i1, ty.i0, c),
                                       at(tx.i0, ty.i1, c), at(tx.i1, ty.i1, c), tx.f, ty.f));
        }
        for (int c = 0; c < 3; ++c)
            row[size_t(dstW - 1) * size_t(spp) + size_t(off[c])] =
                row[size_t(dstW - 2) * size_t(spp) + size_t(off[c])];
    }
    const T *prev = dst + size_t(dstH - 2) * size_t(dstStride);
    T *last = dst + size_t(dstH - 1) * size_t(dstStride);
    for (int i = 0; i < dstW; ++i)
        for (int c = 0; c < 3; ++c)
            last[size_t(i) * size_t(spp) + size_t(off[c])] =
                prev[size_t(i) * size_t(spp) + size_t(off[c])];
}

void bilinear_rgbe(int srcW, int srcH, int dstW, int dstH, const uint8_t *src, uint8_t *dst)
{
    float table[256];
    for (int e = 0; e < 256; ++e)
        table[e] = std::ldexp(1.0f, e - 136);
    const float xscale = static_cast<float>(srcW) / static_cast<float>(dstW);
    const float yscale = static_cast<float>(srcH) / static_cast<float>(dstH);
    const size_t sw = size_t(srcW), dw = size_t(dstW);
    auto decode = [&](int x, int y, float *rgb) {
        rgbe2float(src + 4 * sw * size_t(y), table, srcW, 2 * srcW, 3 * srcW, x, rgb);
    };
    for (int j = 0; j < dstH - 1; ++j) {
        const Tap ty = tap(j, yscale, srcH);
        uint8_t *row = dst + 4 * dw * size_t(j);
        for (int i = 0; i < dstW - 1; ++i) {
            const Tap tx = tap(i, xscale, srcW);
            float p00[3], p10[3], p01[3], p11[3], v[3];
            decode(tx.i0, ty.i0, p00);
            decode(tx.i1, ty.i0, p10);
            decode(tx.i0, ty.i1, p01);
            decode(tx.i1, ty.i1, p11);
            for (int c = 0; c < 3; ++c)
                v[c] = mix(p00[c], p10[c], p01[c], p11[c], tx.f, ty.f);
            imagecore::put_rgbe(row, dstW, i, v[0], v[1], v[2]);
        }
        for (size_t p = 0; p < 4; ++p)
            row[p * dw + dw - 1] = row[p * dw + dw - 2];
    }
    const uint8_t *prev = dst + 4 * dw * size_t(dstH - 2);
    uint8_t *last = dst + 4 * dw * size_t(dstH - 1);
    for (size_t i = 0; i < 4 * dw; ++i)
        last[i] = prev[i];
}

// The grid of out.w x out.h pixels (x0 + i x step, y0 + j x step) of an image, into packed rows.
struct Grid {
    int w, h, x0, y0, step;
};

template <class In, class Out>
Out *copy_grid(const Grid &g, int spp, int rowStride, const In *src, Out *dst)
{
    const Channels ch(spp);
    for (int j = 0; j < g.h; ++j) {
        const In *s =
            src + size_t(g.y0 + j * g.step) * size_t(rowStride) + size_t(g.x0) * size_t(spp);
        for (int i = 0; i < g.w; ++i, s += size_t(g.step) * size_t(spp), dst += spp)
            copy_pixel(s, ch, dst, ch);
    }
    return dst;
}

// One image of any layout: bps 8 and 16 interleaved (16 to 8 bits with to8bit), 32 the four
// rgbeBuf planes, 1 bits OR-ed into the destination. Returns g.h; 0 for another bps.
int copy_grid(const Grid &g, int bps, int inW, int spp, int rowStride, bool to8bit,
              const void *source, void *destination)
{
    const uint8_t *src = static_cast<const uint8_t *>(source);
    uint8_t *dst = static_cast<uint8_t *>(destination);
    switch (bps) {
    case 8:
        copy_grid(g, spp, rowStride, src, dst);
        break;
    case 16:
        if (to8bit)
            copy_grid(g, spp, rowStride, static_cast<const uint16_t *>(source), dst);
        else
            copy_grid(g, spp, rowStride, static_cast<const uint16_t *>(source),
                      static_cast<uint16_t *>(destination));
        break;
    case 32:
        for (int j = 0; j < g.h; ++j) {
            const uint8_t *srow = src + 4 * size_t(inW) * size_t(g.y0 + j * g.step);
            uint8_t *drow = dst + 4 * size_t(g.w) * size_t(j);
            for (int p = 0; p < 4; ++p)
                for (int i = 0; i < g.w; ++i)
                    drow[size_t(p) * size_t(g.w) + size_t(i)] =
                        srow[size_t(p) * size_t(inW) + size_t(g.x0 + i * g.step)];
        }
        break;
    case 1: {
        size_t out = 0;
        for (int j = 0; j < g.h; ++j)
            for (int i = 0; i < g.w; ++i, ++out)
                if (get_bit(src,
                            size_t(g.y0 + j * g.step) * size_t(inW) + size_t(g.x0 + i * g.step)))
                    or_bit(dst, out);
        break;
    }
    default:
        return 0;
    }
    return g.h;
}

} // namespace

int downsample_decimate(int srcW, int srcH, int dstW, int dstH, int srcSpp, int dstSpp, int srcBps,
                        int dstBps, const void *source, uint8_t *destination)
{
    if (!source || !destination)
        return -3;
    if (dstBps != 8 || (srcBps != 8 && srcBps != 16) || srcW < 1 || srcH < 1 || srcSpp < 1 ||
        dstSpp < 1)
        return -1;
    if (dstW < 1 || dstH < 1)
        return 0;
    if (srcBps == 8)
        decimate(srcW, srcH, dstW, dstH, srcSpp, dstSpp, static_cast<const uint8_t *>(source),
                 destination);
    else
        decimate(srcW, srcH, dstW, dstH, srcSpp, dstSpp, static_cast<const uint16_t *>(source),
                 destination);
    return dstH;
}

int kv_downsample(int srcW, int srcH, int srcStride, int dstW, int dstH, int dstStride, int spp,
                  int bps, const void *source, void *destination)
{
    if (!source || !destination || srcW < 1 || srcH < 1 || spp < 1)
        return -3;
    if (bps != 8 && bps != 16 && bps != 32)
        return -3;
    if (dstW < 2 || dstH < 2)
        return 0;
    if (bps == 32) {
        bilinear_rgbe(srcW, srcH, dstW, dstH, static_cast<const uint8_t *>(source),
                      static_cast<uint8_t *>(destination));
        return dstH - 1;
    }
    if (int64_t(srcStride) < int64_t(srcW) * spp || int64_t(dstStride) < int64_t(dstW) * spp)
        return -3;
    if (bps == 8)
        bilinear(srcW, srcH, srcStride, dstW, dstH, dstStride, spp,
                 static_cast<const uint8_t *>(source), static_cast<uint8_t *>(destination));
    else
        bilinear(srcW, srcH, srcStride, dstW, dstH, dstStride, spp,
                 static_cast<const uint16_t *>(source), static_cast<uint16_t *>(destination));
    return dstH - 1;
}

int extract_basepreview(int bps, int inW, int inH, int spp, int rowStride, int outW, int outH,
                        int to8bit, const void *source, void *, void *destination)
{
    // The sides are checked before the logarithm: a side of 0 or less has none.
    if (inW <= 4 || inH <= 4 || outW <= 4 || outH <= 4 || spp < 1)
        return -1;
    if (!source || !destination)
        return -3;
    if ((bps == 8 || bps == 16) && int64_t(rowStride) < int64_t(inW) * spp)
        return -1;
    const int levels = trunc_log2((double(inW) + double(inH)) * 0.5);
    int w = inW, h = inH, halvings = 0;
    if (w != outW || h != outH) {
        while (w > outW && halvings < levels && w > 3 && h > 3) {
            w = half(w);
            h = half(h);
            ++halvings;
        }
        if (w != outW || h != outH)
            return -5;
    }
    return copy_grid(Grid{outW, outH, 0, 0, 1 << halvings}, bps, inW, spp, rowStride, to8bit != 0,
                     source, destination);
}

int pyram_levels(int w, int h)
{
    const int m = w < h ? w : h;
    if (m <= 1)
        return -1;
    return trunc_log2(double(m)) - 1;
}

int pyram_len(int w, int h)
{
    if (w < 0 || h < 0)
        return -1;
    const int levels = pyram_levels(w, h);
    int64_t total = int64_t(w) * h;
    for (int64_t k = 1, lw = w, lh = h; k <= levels; ++k) {
        lw = half(int(lw));
        lh = half(int(lh));
        total += lw * lh;
    }
    return total > std::numeric_limits<int>::max() ? -1 : static_cast<int>(total);
}

int levelForTargetDim(int target, int w, int h, int *outW, int *outH)
{
    if (!outW || !outH || w < 1 || h < 1)
        return -3;
    *outW = w;
    *outH = h;
    const int levels = trunc_log2((double(w) + double(h)) * 0.5);
    const bool byHeight = w < h;
    if ((byHeight ? h : w) <= target || levels <= 0)
        return 0;
    int cw = w, ch = h, k = 0, before = 0, after = byHeight ? h : w;
    for (;;) {
        before = after;
        if (cw > 3 && ch > 3) {
            cw = half(cw);
            ch = half(ch);
        }
        after = byHeight ? ch : cw;
        if (after <= target || k + 1 == levels) {
            if (after > target)
                k = levels;
            break;
        }
        ++k;
    }
    const int level = k - ((before - target) < (target - after) ? 1 : 0);
    if (level <= 0)
        return 0;
    for (int i = 0; i < level; ++i) {
        if (*outW > 3 && *outH > 3) {
            *outW = half(*outW);
            *outH = half(*outH);
        }
    }
    return level;
}

int extract_crop(int nPhotos, int inW, int inH, int spp, int rowStride, int bps, int outW, int outH,
                 int x0, int y0, const void *source, void *destination)
{
    if (inW < 5 || inH < 5 || outW < 5 || outH < 5 || spp < 1)
        return -1;
    if ((bps == 8 || bps == 16) && int64_t(rowStride) < int64_t(inW) * spp)
        return -1;
    // The whole rectangle, not only its top-left pixel, must lie inside the source.
    if (x0 < 0 || y0 < 0 || int64_t(x0) + outW > inW || int64_t(y0) + outH > inH)
        return -2;
    if (!source || !destination)
        return -3;
    const Grid g{outW, outH, x0, y0, 1};
    if (nPhotos < 2)
        return copy_grid(g, bps, inW, spp, rowStride, false, source, destination);
    if (bps != 8 && bps != 16)
        return 0;
    uint8_t *dst = static_cast<uint8_t *>(destination);
    const size_t photo = size_t(inH) * size_t(rowStride);
    for (int k = 0; k < nPhotos; ++k) {
        if (bps == 8)
            dst =
                copy_grid(g, spp, rowStride, static_cast<const uint8_t *>(source) + k * photo, dst);
        else
            dst = copy_grid(g, spp, rowStride, static_cast<const uint16_t *>(source) + k * photo,
                            dst);
    }
    return y0 + outH;
}
