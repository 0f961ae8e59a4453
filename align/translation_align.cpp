// Translation alignment: photo statistics and order, threshold counts, bitmap pyramids, the
// nine-step search level by level, and the shifted (and cropped) stack.
#include "align/translation_align.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "align/transform_utils.h"
#include "imagecore/brightness.h"
#include "platform/checked_size.h"

namespace {

constexpr int kDarkBin = 14;    // a median at or below: threshold at 90 % of the pixels
constexpr int kBrightBin = 235; // a median above: threshold at 17 %
constexpr int kMaxDepth = 39;

int stride_of(int width)
{
    return (width + 7) / 8;
}

// Bytes of the bitmap pyramid of L levels of a w x h photo.
size_t pyramid_bytes(int w, int h, int L)
{
    size_t bytes = 0;
    for (int l = 0; l < L; ++l)
        bytes += size_t(stride_of(w >> l)) * size_t(h >> l);
    return bytes;
}

// One level down: output (y, x) centred on input (2y + 1, 2x + 1), one-sided at the last
// column and row whatever the parity of the input.
void downsample(const unsigned char *in, int W, int H, unsigned char *out)
{
    const int w = W / 2, h = H / 2;
    for (int y = 0; y < h; ++y) {
        const unsigned char *c = in + size_t(2 * y + 1) * size_t(W);
        const unsigned char *u = c - W, *d = c + W;
        for (int x = 0; x < w; ++x) {
            const int i = 2 * x + 1;
            int v;
            if (y < h - 1 && x < w - 1)
                v = (4 * c[i] + 2 * (u[i] + d[i] + c[i - 1] + c[i + 1]) + u[i - 1] + u[i + 1] +
                     d[i - 1] + d[i + 1]) >>
                    4;
            else if (y < h - 1)
                v = (85 * c[i] + 43 * (u[i] + c[i - 1] + d[i]) + 21 * (u[i - 1] + d[i - 1])) >> 8;
            else if (x < w - 1)
                v = (83 * c[i] + 43 * (u[i] + c[i - 1] + c[i + 1]) + 21 * (u[i - 1] + u[i + 1])) >>
                    8;
            else
                v = (113 * c[i] + 57 * (u[i] + c[i - 1]) + 16 * u[i - 1]) >> 8;
            out[size_t(y) * size_t(w) + size_t(x)] = static_cast<unsigned char>(v);
        }
    }
}

void set_bits(const unsigned char *grey, int w, int h, int T, unsigned char *level)
{
    const size_t stride = size_t(stride_of(w));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (grey[size_t(y) * size_t(w) + size_t(x)] > T)
                level[size_t(y) * stride + size_t(x / 8)] |=
                    static_cast<unsigned char>(128 >> (x % 8));
}

// The 8 bits of a row that start at bit position pos (columns pos .. pos + 7), bytes outside
// the row reading as 0.
unsigned bits_at(const unsigned char *row, int stride, int pos)
{
    const int q = pos >= 0 ? pos / 8 : -((-pos + 7) / 8), r = pos - 8 * q;
    const auto byte = [&](int i) { return i >= 0 && i < stride ? unsigned(row[i]) : 0u; };
    return ((byte(q) << r) | (byte(q + 1) >> (8 - r))) & 0xFFu;
}

// Differing bits between the fixed level and the moving level shifted by (sx, sy): moving
// pixel (r + sy, c + sx) against fixed pixel (r, c), positions outside the level reading 0.
int64_t shifted_error(const unsigned char *fixed, const unsigned char *moving, int w, int h, int sx,
                      int sy, std::vector<unsigned char> &scratch)
{
    const int stride = stride_of(w);
    scratch.assign(size_t(stride) * size_t(h), 0);
    const unsigned tail = w % 8 ? (0xFFu << (8 - w % 8)) & 0xFFu : 0xFFu;
    for (int r = 0; r < h; ++r) {
        const int rs = r + sy;
        if (rs < 0 || rs >= h)
            continue;
        const unsigned char *src = moving + size_t(rs) * size_t(stride);
        unsigned char *dst = scratch.data() + size_t(r) * size_t(stride);
        for (int j = 0; j < stride; ++j)
            dst[j] = static_cast<unsigned char>(bits_at(src, stride, 8 * j + sx));
        dst[stride - 1] &= static_cast<unsigned char>(tail);
    }
    int64_t error = 0;
    const size_t bytes = scratch.size();
    size_t i = 0;
    for (; i + 8 <= bytes; i += 8) {
        uint64_t a, b;
        std::memcpy(&a, scratch.data() + i, 8);
        std::memcpy(&b, fixed + i, 8);
        error += std::popcount(a ^ b);
    }
    for (; i < bytes; ++i)
        error += std::popcount(unsigned(scratch[i] ^ fixed[i]));
    return error;
}

// The shift of the moving photo against the fixed one, coarse to fine over L levels.
void search_shift(const unsigned char *fixed, const unsigned char *moving, int w, int h, int L,
                  int *shiftX, int *shiftY, std::vector<unsigned char> &scratch)
{
    std::vector<size_t> start(size_t(L) + 1, 0);
    for (int l = 0; l < L; ++l)
        start[size_t(l) + 1] = start[size_t(l)] + size_t(stride_of(w >> l)) * size_t(h >> l);
    int ax = 0, ay = 0;
    for (int l = L - 1; l >= 0; --l) {
        const int wl = w >> l, hl = h >> l;
        int64_t errors[9];
        for (int c = 0; c < 9; ++c)
            errors[c] = shifted_error(fixed + start[size_t(l)], moving + start[size_t(l)], wl, hl,
                                      ax + c % 3 - 1, ay + c / 3 - 1, scratch);
        // The best candidate, the first on ties; no step when the nine cannot be told apart.
        const int best = int(std::min_element(errors, errors + 9) - errors);
        const bool flat =
            std::all_of(errors, errors + 9, [&](int64_t e) { return e == errors[0]; });
        const int dx = flat ? 0 : best % 3 - 1, dy = flat ? 0 : best / 3 - 1;
        ax = 2 * (ax + dx);
        ay = 2 * (ay + dy);
    }
    *shiftX = ax / 2;
    *shiftY = ay / 2;
}

template <class T>
void shift_photo(const T *in, int w, int h, int spp, int newW, int newH, int ox, int oy, T *out)
{
    constexpr T white = sizeof(T) == 1 ? 255 : 65535;
    const size_t s = size_t(spp), mid = size_t((spp - 1) / 2), last = s - 1;
    for (int r = 0; r < newH; ++r)
        for (int c = 0; c < newW; ++c) {
            T *o = out + (size_t(r) * size_t(newW) + size_t(c)) * s;
            const int sr = r + oy, sc = c + ox;
            if (sr >= 0 && sr < h && sc >= 0 && sc < w) {
                std::copy_n(in + (size_t(sr) * size_t(w) + size_t(sc)) * s, s, o);
            } else {
                std::fill(o, o + s, T(0));
                o[0] = o[mid] = o[last] = white;
            }
        }
}

} // namespace

int verifPercentile2(const int *histograms, int k, int depth, int p)
{
    if (!histograms || k < 0)
        return -3;
    const int *hist = histograms + size_t(k) * 256;
    for (;; ++depth) {
        const int b = imagecore::percentile_bin(hist, uint64_t(std::max(p, 0)));
        if (depth > kMaxDepth || (b >= kDarkBin + 1 && b <= kBrightBin))
            return p;
        p = int(double(p) * (b > kBrightBin ? 0.95 : 1.05));
    }
}

int remplPyram(int w, int h, int spp, int bps, int64_t offset, int *hist, unsigned char *grey1,
               unsigned char *grey2, const void *stack, unsigned char *block, int L, int p)
{
    if (!hist || !grey1 || !grey2 || !stack || !block || w < 1 || h < 1 || spp < 1 || offset < 0)
        return -3;
    const size_t sampleBytes = bps == 16 ? 2 : 1;
    if (greyscale(w, h, spp, bps, 0,
                  static_cast<const unsigned char *>(stack) + size_t(offset) * sampleBytes,
                  grey1) != h)
        return -3;
    std::fill(hist, hist + 256, 0);
    const size_t pixels = size_t(w) * size_t(h);
    for (size_t i = 0; i < pixels; ++i)
        ++hist[grey1[i]];
    const int T = imagecore::percentile_bin(hist, uint64_t(std::max(p, 0)));
    unsigned char *level = block;
    int W = w, H = h;
    for (int l = 0; l < std::max(L, 1); ++l) {
        if (l > 0) {
            downsample(grey1, W, H, grey2);
            W /= 2, H /= 2;
            std::memcpy(grey1, grey2, size_t(W) * size_t(H));
        }
        set_bits(grey1, W, H, T, level);
        level += size_t(stride_of(W)) * size_t(H);
    }
    return T;
}

int tr_align(int n, int w, int h, int spp, int bps, int *alignDims, void *images)
{
    if (!alignDims || !images || w < 1 || h < 1 || spp < 1 || (bps != 8 && bps != 16))
        return -3;
    const auto photoSamples = platform::checked_product({w, h, spp});
    const auto photoBytes = platform::checked_product({w, h, spp, bps / 8});
    if (int64_t(w) * int64_t(h) > INT_MAX || !photoSamples || !photoBytes ||
        !platform::checked_mul(*photoBytes, size_t(std::max(n, 1))))
        return -3;
    if (n < 2) {
        alignDims[0] = w;
        alignDims[1] = h;
        return 0;
    }
    const double N = double(w) * double(h);
    const int c50 = int(0.5 * N), c17 = int(0.17 * N), c90 = int(0.9 * N);
    // The level count follows the width; a flat photo gets fewer levels, so that the coarsest
    // keeps a row.
    int L = w >= 13 ? int(std::log(0.08 * w) / std::log(2.0)) : 0;
    while (L > 0 && (h >> (L - 1)) < 1)
        --L;
    try {
        const size_t count = static_cast<size_t>(n);
        std::vector<int> histograms(count * 256), threshold(count), keys(count), order(count),
            offX(count, 0), offY(count, 0);
        unsigned char *stack = static_cast<unsigned char *>(images);
        for (int k = 0; k < n; ++k) {
            imagecore::LumaHistogram hist{};
            imagecore::add_luma_histogram(stack + size_t(k) * *photoBytes, size_t(w) * size_t(h),
                                          spp, bps, 65535, hist);
            std::copy(hist.begin(), hist.end(), histograms.begin() + ptrdiff_t(k) * 256);
            const int median = imagecore::percentile_bin(hist.data(), uint64_t(c50));
            threshold[size_t(k)] = median > kBrightBin ? c17 : median <= kDarkBin ? c90 : c50;
            keys[size_t(k)] = imagecore::brightness_key(hist, uint64_t(w) * uint64_t(h));
        }
        imagecore::brightness_order(n, keys.data(), order.data());

        if (L > 0) {
            const size_t blockBytes = pyramid_bytes(w, h, L);
            std::vector<unsigned char> fixed(blockBytes), moving(blockBytes), scratch;
            std::vector<unsigned char> grey1(size_t(w) * size_t(h)), grey2(grey1.size());
            int work[256];
            int previousCount = -1;
            for (int i = 1; i < n; ++i) {
                const int F = order[size_t(i == 1 ? 1 : i - 1)];
                const int M = order[size_t(i == 1 ? 0 : i)];
                // The brighter photo of the pair comes first in the order.
                const int brighter = i == 1 ? M : F, darker = i == 1 ? F : M;
                int p = threshold[size_t(brighter)] != c50 ? threshold[size_t(brighter)]
                                                           : threshold[size_t(darker)];
                const bool reuse = i == 2 && p == previousCount;
                if (!reuse) {
                    const int b = imagecore::percentile_bin(histograms.data() + ptrdiff_t(F) * 256,
                                                            uint64_t(p));
                    if (b > kBrightBin)
                        p = verifPercentile2(histograms.data(), F, 1, int(p * 0.95));
                    else if (b <= kDarkBin)
                        p = verifPercentile2(histograms.data(), F, 1, int(p * 1.05));
                    std::fill(fixed.begin(), fixed.end(), 0);
                    remplPyram(w, h, spp, bps, int64_t(F) * int64_t(*photoSamples), work,
                               grey1.data(), grey2.data(), images, fixed.data(), L, p);
                }
                std::fill(moving.begin(), moving.end(), 0);
                remplPyram(w, h, spp, bps, int64_t(M) * int64_t(*photoSamples), work, grey1.data(),
                           grey2.data(), images, moving.data(), L, p);
                previousCount = p;
                int sx, sy;
                search_shift(fixed.data(), moving.data(), w, h, L, &sx, &sy, scratch);
                offX[size_t(M)] = offX[size_t(F)] + sx;
                offY[size_t(M)] = offY[size_t(F)] + sy;
            }
        }

        const int minX = std::min(0, *std::min_element(offX.begin(), offX.end()));
        const int maxX = std::max(0, *std::max_element(offX.begin(), offX.end()));
        const int minY = std::min(0, *std::min_element(offY.begin(), offY.end()));
        const int maxY = std::max(0, *std::max_element(offY.begin(), offY.end()));
        const int rangeX = maxX - minX, rangeY = maxY - minY;
        int newW = w, newH = h;
        if (alignDims[0] != 1 && rangeX < w && rangeY < h)
            newW = w - rangeX, newH = h - rangeY;
        const size_t outBytes = size_t(newW) * size_t(newH) * size_t(spp) * size_t(bps / 8);
        std::vector<unsigned char> out(outBytes);
        for (int k = 0; k < n; ++k) {
            const unsigned char *in = stack + size_t(k) * *photoBytes;
            const int ox = offX[size_t(k)] - minX, oy = offY[size_t(k)] - minY;
            if (bps == 8)
                shift_photo(in, w, h, spp, newW, newH, ox, oy, out.data());
            else
                shift_photo(reinterpret_cast<const uint16_t *>(in), w, h, spp, newW, newH, ox, oy,
                            reinterpret_cast<uint16_t *>(out.data()));
            std::memcpy(stack + size_t(k) * outBytes, out.data(), outBytes);
        }
        alignDims[0] = newW;
        alignDims[1] = newH;
        return rangeX + rangeY;
    } catch (const std::bad_alloc &) {
        return -4;
    }
}
