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

// Subsampling by step of an interleaved image into packed rows.
template <class In, class Out>
void subsample(int inW, int inH, int spp, int rowStride, int step, const In *src, Out *dst)
{
    const Channels ch(spp);
    Out *d = dst;
    for (int y = 0; y < inH; y += step) {
        const In *row = src + size_t(y) * size_t(rowStride);
        for (int x = 0; x < inW; x += step, d += spp)
            copy_pixel(row + size_t(x) * size_t(spp), ch, d, ch);
    }
}

// The rectangle of an interleaved image into packed rows; dst moves past what it wrote.
template <class In, class Out>
Out *crop_rect(int spp, int rowStride, int outW, int outH, int x0, int y0, const In *src, Out *dst)
{
    const Channels ch(spp);
    for (int r = 0; r < outH; ++r) {
        const In *s = src + size_t(y0 + r) * size_t(rowStride) + size_t(x0) * size_t(spp);
        for (int x = 0; x < outW; ++x, s += spp, dst += spp)
            copy_pixel(s, ch, dst, ch);
    }
    return dst;
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
    const int step = 1 << halvings;
    switch (bps) {
    case 8:
        subsample(inW, inH, spp, rowStride, step, static_cast<const uint8_t *>(source),
                  static_cast<uint8_t *>(destination));
        break;
    case 16:
        if (to8bit)
            subsample(inW, inH, spp, rowStride, step, static_cast<const uint16_t *>(source),
                      static_cast<uint8_t *>(destination));
        else
            subsample(inW, inH, spp, rowStride, step, static_cast<const uint16_t *>(source),
                      static_cast<uint16_t *>(destination));
        break;
    case 32: {
        const uint8_t *src = static_cast<const uint8_t *>(source);
        uint8_t *dst = static_cast<uint8_t *>(destination);
        for (int j = 0; j < outH; ++j) {
            const uint8_t *srow = src + 4 * size_t(inW) * size_t(j) * size_t(step);
            uint8_t *drow = dst + 4 * size_t(outW) * size_t(j);
            for (int p = 0; p < 4; ++p)
                for (int i = 0; i < outW; ++i)
                    drow[size_t(p) * size_t(outW) + size_t(i)] =
                        srow[size_t(p) * size_t(inW) + size_t(i) * size_t(step)];
        }
        break;
    }
    case 1: {
        const uint8_t *src = static_cast<const uint8_t *>(source);
        uint8_t *dst = static_cast<uint8_t *>(destination);
        size_t out = 0;
        for (int y = 0; y < inH; y += step)
            for (int x = 0; x < inW; x += step, ++out)
                if (get_bit(src, size_t(y) * size_t(inW) + size_t(x)))
                    or_bit(dst, out);
        break;
    }
    default:
        return 0;
    }
    return outH;
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
    if (nPhotos >= 2) {
        if (bps != 8 && bps != 16)
            return 0;
        uint8_t *dst = static_cast<uint8_t *>(destination);
        const size_t photo = size_t(inH) * size_t(rowStride);
        for (int k = 0; k < nPhotos; ++k) {
            if (bps == 8)
                dst = crop_rect(spp, rowStride, outW, outH, x0, y0,
                                static_cast<const uint8_t *>(source) + size_t(k) * photo, dst);
            else
                dst = crop_rect(spp, rowStride, outW, outH, x0, y0,
                                static_cast<const uint16_t *>(source) + size_t(k) * photo, dst);
        }
        return y0 + outH;
    }
    switch (bps) {
    case 8:
        crop_rect(spp, rowStride, outW, outH, x0, y0, static_cast<const uint8_t *>(source),
                  static_cast<uint8_t *>(destination));
        break;
    case 16:
        crop_rect(spp, rowStride, outW, outH, x0, y0, static_cast<const uint16_t *>(source),
                  static_cast<uint16_t *>(destination));
        break;
    case 32: {
        const uint8_t *src = static_cast<const uint8_t *>(source);
        uint8_t *dst = static_cast<uint8_t *>(destination);
        for (int r = 0; r < outH; ++r) {
            const uint8_t *srow = src + 4 * size_t(inW) * size_t(y0 + r);
            uint8_t *drow = dst + 4 * size_t(outW) * size_t(r);
            for (int p = 0; p < 4; ++p)
                for (int i = 0; i < outW; ++i)
                    drow[size_t(p) * size_t(outW) + size_t(i)] =
                        srow[size_t(p) * size_t(inW) + size_t(x0 + i)];
        }
        break;
    }
    case 1: {
        const uint8_t *src = static_cast<const uint8_t *>(source);
        uint8_t *dst = static_cast<uint8_t *>(destination);
        size_t out = 0;
        for (int r = 0; r < outH; ++r)
            for (int i = 0; i < outW; ++i, ++out)
                if (get_bit(src, size_t(y0 + r) * size_t(inW) + size_t(x0 + i)))
                    or_bit(dst, out);
        break;
    }
    default:
        return 0;
    }
    return outH;
}
