// The simple combination methods. Means, masks, box passes and the soft-light blend are integer
// arithmetic, one pass a stage; the intensive blend replaces every per-sample exponential by
// table reads and thins its window by the sampling step.
#include "fusion/combination.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>
#include <vector>

#include "fusion/detail/intensive.h"
#include "imagecore/banded.h"
#include "imagecore/float_clamp.h"
#include "platform/checked_size.h"
#include "tonemap/tm_params.h"

namespace {

using fusion::detail::arguments_ok;
using fusion::detail::Positions;

// The three positions moyenne and hsauto read: 0, (spp - 1) / 2, spp - 1.
Positions positions_first_middle_last(int spp)
{
    return Positions{{0, (spp - 1) / 2, spp - 1}};
}

template <class T> const T *samples(const uint8_t *p)
{
    return reinterpret_cast<const T *>(p);
}
template <class T> T *samples(uint8_t *p)
{
    return reinterpret_cast<T *>(p);
}

// The mean image into out (TOut: uint8_t or uint16_t); when mask is given, each pixel's inverted
// luminance 255 - (19 c0 + 183 c1 + 54 c2) >> (8 or 16) of the clipped means.
template <class TIn, class TOut>
void mean_image(int n, int w, int h, int rowLen, int spp, const uint8_t *stack, uint8_t *outBytes,
                uint8_t *mask)
{
    const TIn *src = samples<TIn>(stack);
    TOut *out = samples<TOut>(outBytes);
    const Positions pos = positions_first_middle_last(spp);
    const size_t photo = size_t(w) * size_t(h) * size_t(spp);
    const int64_t top = sizeof(TOut) == 1 ? 255 : 65535;
    const int64_t scale = sizeof(TIn) == 1 && sizeof(TOut) == 2 ? 256 : 1;
    const int lumShift = sizeof(TOut) == 1 ? 8 : 16;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const size_t at = (size_t(y) * size_t(w) + size_t(x)) * size_t(spp);
            TOut *px = out + size_t(y) * size_t(rowLen) + size_t(x) * size_t(spp);
            int64_t mean[3];
            for (int c = 0; c < 3; ++c) {
                int64_t S = 0;
                for (int k = 0; k < n; ++k)
                    S += src[size_t(k) * photo + at + size_t(pos.p[c])];
                mean[c] = std::min(S * scale / n, top);
            }
            for (int c = 0; c < 3; ++c)
                px[pos.p[c]] = static_cast<TOut>(mean[c]);
            if (mask) {
                const int64_t L = (19 * mean[0] + 183 * mean[1] + 54 * mean[2]) >> lumShift;
                mask[size_t(y) * size_t(w) + size_t(x)] =
                    static_cast<uint8_t>(255 - std::min<int64_t>(L, 255));
            }
        }
    }
}

// Truncating box means: plane into tmp along each row over x - left .. x + right, then tmp back
// into plane along each column over y - up .. y + down; only positions inside the image count.
// line: 2 w + 1 sums of scratch.
void box_blur(uint8_t *plane, uint8_t *tmp, int64_t *line, int w, int h, int left, int right,
              int up, int down)
{
    // Sums and window ends in 64 bits: a row or column may be longer than an int sum holds, a
    // window end may lie far past a side.
    int64_t *prefix = line, *sum = line + w + 1;
    prefix[0] = 0;
    for (int y = 0; y < h; ++y) {
        const uint8_t *row = plane + size_t(y) * size_t(w);
        for (int x = 0; x < w; ++x)
            prefix[size_t(x) + 1] = prefix[size_t(x)] + row[x];
        uint8_t *dst = tmp + size_t(y) * size_t(w);
        for (int x = 0; x < w; ++x) {
            const int lo = int(std::max<int64_t>(0, int64_t(x) - left));
            const int hi = int(std::min<int64_t>(w - 1, int64_t(x) + right));
            dst[x] =
                static_cast<uint8_t>((prefix[size_t(hi) + 1] - prefix[size_t(lo)]) / (hi - lo + 1));
        }
    }
    // Column sums over the rows of the current window, slid down one row at a time.
    std::fill(sum, sum + w, 0);
    int lo = 0, hi = -1;
    for (int y = 0; y < h; ++y) {
        const int wantLo = int(std::max<int64_t>(0, int64_t(y) - up));
        const int wantHi = int(std::min<int64_t>(h - 1, int64_t(y) + down));
        for (; hi < wantHi; ++hi)
            for (int x = 0; x < w; ++x)
                sum[size_t(x)] += tmp[size_t(hi + 1) * size_t(w) + size_t(x)];
        for (; lo < wantLo; ++lo)
            for (int x = 0; x < w; ++x)
                sum[size_t(x)] -= tmp[size_t(lo) * size_t(w) + size_t(x)];
        uint8_t *dst = plane + size_t(y) * size_t(w);
        const int64_t count = hi - lo + 1;
        for (int x = 0; x < w; ++x)
            dst[x] = static_cast<uint8_t>(sum[size_t(x)] / count);
    }
}

// Soft light of a mean sample u with the blurred mask m.
inline int soft_light8(int u, int m)
{
    const int v = ((255 - (((255 - u) * (255 - m)) >> 8)) * u + ((u * m) >> 8) * (255 - u)) >> 8;
    return std::min(255, v);
}
inline int soft_light16(int u, int m)
{
    const int v =
        ((255 - (((65535 - u) * (255 - m)) >> 16)) * u + ((u * m) >> 16) * (65535 - u)) >> 8;
    return std::min(65535, v);
}

template <class TOut>
void soft_light(int w, int h, int rowLen, int spp, bool swap, const uint8_t *mask,
                uint8_t *outBytes)
{
    TOut *out = samples<TOut>(outBytes);
    const Positions pos = positions_first_middle_last(spp);
    const int first = swap ? 2 : 0, last = swap ? 0 : 2;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            TOut *px = out + size_t(y) * size_t(rowLen) + size_t(x) * size_t(spp);
            const int m = mask[size_t(y) * size_t(w) + size_t(x)];
            int v[3];
            for (int c = 0; c < 3; ++c)
                v[c] = sizeof(TOut) == 1 ? soft_light8(px[pos.p[c]], m)
                                         : soft_light16(px[pos.p[c]], m);
            px[pos.p[first]] = static_cast<TOut>(v[0]);
            px[pos.p[1]] = static_cast<TOut>(v[1]);
            px[pos.p[last]] = static_cast<TOut>(v[2]);
        }
    }
}

// The high byte of a sample: the 8-bit view of either depth.
template <class T> inline int high_byte(T v)
{
    return sizeof(T) == 1 ? int(v) : int(v) >> 8;
}

// Brightness of one photo: c0 + c1 + c2 (high bytes) summed over about a 50 x 50 grid, divided by
// 2500 x spp whatever the grid's size.
template <class T>
int64_t grid_brightness(const T *photo, int w, int h, int spp, const Positions &pos)
{
    const int sx = w > 50 ? w / 50 + 1 : 1, sy = h > 50 ? h / 50 + 1 : 1;
    int64_t sum = 0;
    for (int y = 0; y < h; y += sy)
        for (int x = 0; x < w; x += sx) {
            const T *px = photo + (size_t(y) * size_t(w) + size_t(x)) * size_t(spp);
            sum += high_byte(px[pos.p[0]]) + high_byte(px[pos.p[1]]) + high_byte(px[pos.p[2]]);
        }
    return sum / (int64_t(spp) * 2500);
}

template <class TIn, class TOut>
void blend_two(int w, int h, int rowLen, int spp, const TIn *dark, const TIn *bright, uint8_t *mask,
               uint8_t *tmp, int64_t *line, uint8_t *outBytes)
{
    const Positions pos = fusion::detail::positions_012(spp);
    const size_t P = size_t(w) * size_t(h);
    for (size_t i = 0; i < P; ++i) {
        const TIn *px = dark + i * size_t(spp);
        const int s = high_byte(px[pos.p[0]]) + high_byte(px[pos.p[1]]) + high_byte(px[pos.p[2]]);
        const float m = float(s - 204) * 0.38333333f;
        mask[i] = imagecore::clamp_to_u8(double(int(m) + 128));
    }
    box_blur(mask, tmp, line, w, h, 10, 9, 10, 10);
    TOut *out = samples<TOut>(outBytes);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const size_t i = size_t(y) * size_t(w) + size_t(x);
            const float a = float(mask[i]) * 0.00390625f;
            TOut *dst = out + size_t(y) * size_t(rowLen) + size_t(x) * size_t(spp);
            int v[3];
            for (int c = 0; c < 3; ++c) {
                const size_t at = i * size_t(spp) + size_t(pos.p[c]);
                const float mix = float(dark[at]) * a + float(bright[at]) * (1.0f - a);
                if (sizeof(TIn) == 1 && sizeof(TOut) == 2) // bytes to 16 bits: x 255
                    v[c] = imagecore::clamp_to_int(double(mix) * 255.0, 0, 65535);
                else
                    v[c] = imagecore::clamp_to_int(mix, 0, sizeof(TOut) == 1 ? 255 : 65535);
            }
            for (int c = 0; c < 3; ++c)
                dst[pos.p[c]] = static_cast<TOut>(v[c]);
        }
    }
}

// The intensive blend over bytes or 16-bit samples; tables and planes are the caller's.
struct IntensiveSetup {
    int step, radius, n, w, h, rowLen, spp;
    const float *K; // K[d + R] = expf(-2 (d / radius)^2), |d| <= R
    int R;
    const float *G;       // range weights, 256
    const uint8_t *plane; // n distance planes
    float *S;             // n sums
    double *W;            // n weights
    bool power;
    double e;
    bool saturate;
    float factor;
    int nThreads; // bands of rows (every output pixel is independent)
};

template <class TIn, class TOut>
void intensive_blend(const IntensiveSetup &s, const uint8_t *stack, uint8_t *outBytes)
{
    const TIn *src = samples<TIn>(stack);
    TOut *out = samples<TOut>(outBytes);
    const Positions pos = fusion::detail::positions_012(s.spp);
    // A step past the window's span takes its first sample alone, as a smaller one would.
    const int w = s.w, h = s.h, r = s.radius, st = std::min(s.step, std::max(w, h));
    const size_t P = size_t(w) * size_t(h);
    const double scale = sizeof(TIn) == 1 && sizeof(TOut) == 2 ? 256.0 : 1.0;
    const float *K = s.K + s.R;
    // Rows in pieces taken in turn: the windows cost alike, but the machine's cores may not all
    // be free. S and W hold n sums and weights for each thread.
    imagecore::run_pieces(s.nThreads, h, 8, [&](const imagecore::Band &b) {
        float *S = s.S + size_t(b.index) * size_t(s.n);
        double *W = s.W + size_t(b.index) * size_t(s.n);
        for (int y = b.begin; y < b.end; ++y) {
            const int y0 = std::max(-r, -y), y1 = std::min(r, h - 1 - y);
            for (int x = 0; x < w; ++x) {
                const int x0 = std::max(-r, -x), x1 = std::min(r, w - 1 - x);
                const size_t i = size_t(y) * size_t(w) + size_t(x);
                for (int k = 0; k < s.n; ++k) {
                    const uint8_t *plane = s.plane + size_t(k) * P;
                    const int z = plane[i];
                    float sum = float(z);
                    for (int dy = y0; dy <= y1; dy += st) {
                        const uint8_t *row = plane + i + ptrdiff_t(dy) * w;
                        const float ky = K[dy];
                        for (int dx = x0; dx <= x1; dx += st) {
                            const int v = row[dx];
                            sum += ky * K[dx] * s.G[std::abs(v - z)] * float(v);
                        }
                    }
                    S[k] = sum;
                }
                fusion::detail::photo_weights(s.n, S, s.power, s.e, W);
                float rgb[3];
                fusion::detail::weighted_mean(s.n, W, src, P * size_t(s.spp), i * size_t(s.spp),
                                              pos, scale, rgb);
                if (s.saturate) {
                    if (sizeof(TOut) == 1)
                        fusion::detail::boost_saturation(rgb, s.factor, 0.003921569f, 255.0f);
                    else
                        fusion::detail::boost_saturation(rgb, s.factor, 1.5259022e-5f, 65535.0f);
                }
                TOut *dst = out + size_t(y) * size_t(s.rowLen) + size_t(x) * size_t(s.spp);
                for (int c = 0; c < 3; ++c)
                    dst[pos.p[c]] =
                        sizeof(TOut) == 1
                            ? lim8f(rgb[c])
                            : static_cast<TOut>(imagecore::clamp_to_int(rgb[c], 0, 65535));
            }
        }
    });
}

// Distance plane of one photo: clip(trunc(0.2 D[c0] + 0.7 D[c1] + 0.1 D[c2])) over high bytes.
template <class T>
void distance_plane(const T *photo, size_t P, int spp, const uint8_t *D, uint8_t *plane)
{
    const Positions pos = fusion::detail::positions_012(spp);
    for (size_t i = 0; i < P; ++i) {
        const T *px = photo + i * size_t(spp);
        const double d = 0.2 * D[high_byte(px[pos.p[0]])] + 0.7 * D[high_byte(px[pos.p[1]])] +
                         0.1 * D[high_byte(px[pos.p[2]])];
        plane[i] = imagecore::clamp_to_u8(d);
    }
}

} // namespace

namespace fusion::detail {

bool arguments_ok(int n, int w, int h, int rowLen, int spp, int bpsIn, int bpsOut,
                  const uint8_t *stack, const uint8_t *out)
{
    if (!stack || !out || n < 1 || w < 1 || spp < 1 || (bpsIn != 8 && bpsIn != 16))
        return false;
    if (bpsIn == 8 && bpsOut != 8 && bpsOut != 16)
        return false;
    const auto row = platform::checked_product({w, spp});
    return row && int64_t(rowLen) >= int64_t(*row) &&
           platform::checked_product({n, w, h, spp, bpsIn / 8}) &&
           platform::checked_product({h, rowLen, 2});
}

void grey_distance_table(uint8_t *D)
{
    for (int i = 0; i < 256; ++i)
        D[i] = static_cast<uint8_t>(std::min(255, std::abs((255 * i - 32640) / 128)));
}

void gauss_table(int count, float scale, float *table)
{
    for (int d = 0; d < count; ++d) {
        const float q = float(d) / scale;
        table[d] = std::exp(-2.0f * (q * q));
    }
}

void photo_weights(int n, const float *S, bool power, double e, double *W)
{
    if (!power) {
        for (int k = 0; k < n; ++k)
            W[k] = 1e6 / (double(S[k]) + 1.0);
        return;
    }
    const double best = double(*std::min_element(S, S + n)) + 1.0;
    for (int k = 0; k < n; ++k)
        W[k] = std::pow(best / (double(S[k]) + 1.0), e);
}

void boost_saturation(float *rgb, float factor, float toUnit, float fromUnit)
{
    float unit[3] = {rgb[0] * toUnit, rgb[1] * toUnit, rgb[2] * toUnit}, hsl[3];
    rgb_to_hsl(unit, hsl);
    hsl[1] = std::min(1.0f, hsl[1] * factor);
    hsl_to_rgb(hsl, unit);
    for (int c = 0; c < 3; ++c)
        rgb[c] = unit[c] * fromUnit;
}

} // namespace fusion::detail

int moyenne(int n, int w, int h, int rowLen, int spp, int bpsIn, int bpsOut, const uint8_t *stack,
            uint8_t *out)
{
    if (h < 1 || (bpsIn != 8 && bpsIn != 16))
        return 0;
    if (!arguments_ok(n, w, h, rowLen, spp, bpsIn, bpsOut, stack, out))
        return -3;
    if (bpsIn == 16)
        mean_image<uint16_t, uint16_t>(n, w, h, rowLen, spp, stack, out, nullptr);
    else if (bpsOut == 16)
        mean_image<uint8_t, uint16_t>(n, w, h, rowLen, spp, stack, out, nullptr);
    else
        mean_image<uint8_t, uint8_t>(n, w, h, rowLen, spp, stack, out, nullptr);
    return h;
}

int hsauto(int n, int w, int h, int rowLen, int swap, int bpsIn, int bpsOut, int spp, uint8_t *work,
           const uint8_t *stack, uint8_t *out)
{
    if (h < 1)
        return 0;
    if (!arguments_ok(n, w, h, rowLen, spp, bpsIn, bpsOut, stack, out) ||
        !platform::checked_product({2, w, h}))
        return -3;
    const size_t P = size_t(w) * size_t(h);
    std::vector<uint8_t> own;
    std::vector<int64_t> line;
    try {
        own.resize(work ? 0 : 2 * P);
        line.resize(2 * size_t(w) + 1);
    } catch (const std::bad_alloc &) {
        return -4;
    }
    if (!work)
        work = own.data();
    uint8_t *maskA = work, *maskB = work + P;
    const bool out16 = bpsIn == 16 || bpsOut == 16;
    if (bpsIn == 16)
        mean_image<uint16_t, uint16_t>(n, w, h, rowLen, spp, stack, out, maskA);
    else if (out16)
        mean_image<uint8_t, uint16_t>(n, w, h, rowLen, spp, stack, out, maskA);
    else
        mean_image<uint8_t, uint8_t>(n, w, h, rowLen, spp, stack, out, maskA);
    if (spp == 1)
        return h;
    // A box wider than the image averages whole rows and columns whatever its radius.
    const int r = int(std::min<int64_t>(4 * int64_t(n) + 2, int64_t(std::max(w, h)) + 1));
    box_blur(maskA, maskB, line.data(), w, h, r, r - 1, r, r);
    if (out16)
        soft_light<uint16_t>(w, h, rowLen, spp, swap != 0, maskA, out);
    else
        soft_light<uint8_t>(w, h, rowLen, spp, swap != 0, maskA, out);
    return h;
}

int kv_combi_2images(int n, int a, int b, int w, int h, int rowLen, int bpsIn, int bpsOut, int spp,
                     const uint8_t *stack, uint8_t *out)
{
    if (h < 1)
        return 0;
    if (!arguments_ok(n, w, h, rowLen, spp, bpsIn, bpsOut, stack, out) || a < 0 || a >= n ||
        b < 0 || b >= n || (bpsIn == 16 && bpsOut != 16))
        return -3;
    const size_t P = size_t(w) * size_t(h), photo = P * size_t(spp) * size_t(bpsIn / 8);
    std::vector<uint8_t> planes;
    std::vector<int64_t> line;
    try {
        planes.resize(2 * P);
        line.resize(2 * size_t(w) + 1);
    } catch (const std::bad_alloc &) {
        return -4;
    }
    const uint8_t *A = stack + size_t(a) * photo, *B = stack + size_t(b) * photo;
    const Positions pos = fusion::detail::positions_012(spp);
    const bool aDark =
        bpsIn == 8 ? grid_brightness(A, w, h, spp, pos) <= grid_brightness(B, w, h, spp, pos)
                   : grid_brightness(samples<uint16_t>(A), w, h, spp, pos) <=
                         grid_brightness(samples<uint16_t>(B), w, h, spp, pos);
    const uint8_t *dark = aDark ? A : B, *bright = aDark ? B : A;
    uint8_t *mask = planes.data(), *tmp = planes.data() + P;
    if (bpsIn == 16)
        blend_two<uint16_t, uint16_t>(w, h, rowLen, spp, samples<uint16_t>(dark),
                                      samples<uint16_t>(bright), mask, tmp, line.data(), out);
    else if (bpsOut == 16)
        blend_two<uint8_t, uint16_t>(w, h, rowLen, spp, dark, bright, mask, tmp, line.data(), out);
    else
        blend_two<uint8_t, uint8_t>(w, h, rowLen, spp, dark, bright, mask, tmp, line.data(), out);
    return h;
}

int kv_combi_intensive(int step, int radius, int n, int w, int h, int rowLen, int spp, int bpsIn,
                       int bpsOut, const uint8_t *stack, uint8_t *out, float strength,
                       float saturation, int nThreads)
{
    if (h < 1)
        return 0;
    if (!arguments_ok(n, w, h, rowLen, spp, bpsIn, bpsOut, stack, out) || step < 1 || radius < 1 ||
        (bpsIn == 16 && bpsOut != 16))
        return -3;
    const size_t P = size_t(w) * size_t(h);
    // Offsets never pass the image, so the kernel needs no more than its larger side.
    const int R = std::min(radius, std::max(w, h) - 1);
    std::vector<uint8_t> planes;
    std::vector<float> K, S;
    std::vector<double> W;
    try {
        planes.resize(size_t(n) * P);
        K.resize(2 * size_t(R) + 1);
        S.resize(size_t(n) * imagecore::kMaxBands);
        W.resize(S.size());
    } catch (const std::bad_alloc &) {
        return -4;
    }
    uint8_t D[256];
    float G[256];
    fusion::detail::grey_distance_table(D);
    fusion::detail::gauss_table(256, 255.0f, G);
    for (int d = -R; d <= R; ++d) {
        const float q = float(d) / float(radius);
        K[size_t(d + R)] = std::exp(-2.0f * (q * q));
    }
    // The banded runner's call records are allocated too; a failure there comes before the
    // bands write anything.
    try {
        const size_t photo = P * size_t(spp) * size_t(bpsIn / 8);
        for (int k = 0; k < n; ++k) {
            const uint8_t *p = stack + size_t(k) * photo;
            imagecore::run_banded(nThreads, h, [&](const imagecore::Band &b) {
                const size_t at = size_t(b.begin) * size_t(w), count = size_t(b.end - b.begin) * w;
                uint8_t *plane = planes.data() + size_t(k) * P + at;
                if (bpsIn == 16)
                    distance_plane(samples<uint16_t>(p) + at * size_t(spp), count, spp, D, plane);
                else
                    distance_plane(p + at * size_t(spp), count, spp, D, plane);
            });
        }
        IntensiveSetup s{};
        s.step = step, s.radius = radius, s.n = n, s.w = w, s.h = h, s.rowLen = rowLen, s.spp = spp;
        s.K = K.data(), s.R = R, s.G = G, s.plane = planes.data(), s.S = S.data(), s.W = W.data();
        s.power = imagecore::clamp_to_int(strength) != 0;
        s.e = std::exp2(double(strength) / 10.0);
        s.saturate = imagecore::clamp_to_int(saturation) != 0;
        s.factor = static_cast<float>(1.0 + double(saturation) * 0.1);
        s.nThreads = nThreads;
        if (bpsIn == 16)
            intensive_blend<uint16_t, uint16_t>(s, stack, out);
        else if (bpsOut == 16)
            intensive_blend<uint8_t, uint16_t>(s, stack, out);
        else
            intensive_blend<uint8_t, uint8_t>(s, stack, out);
    } catch (const std::bad_alloc &) {
        return -4;
    }
    return h;
}

int combine_photos(int method, const float *tmParam, int n, int w, int h, int rowLen, int spp,
                   int bpsIn, int bpsOut, const uint8_t *stack, uint8_t *out, int nThreads)
{
    if (!tmParam)
        return -3;
    auto slot = [tmParam](int i) { return imagecore::clamp_to_int(tmParam[i]); };
    switch (method) {
    case kMethodFusionIntensive:
        return kv_combi_intensive(slot(3), slot(2), n, w, h, rowLen, spp, bpsIn, bpsOut, stack, out,
                                  tmParam[0], tmParam[1], nThreads);
    case kMethodHighlightsShadows:
        return hsauto(n, w, h, rowLen, 0, bpsIn, bpsOut, spp, nullptr, stack, out);
    case kMethodTwoPhotos:
        return kv_combi_2images(n, slot(kTwoPhotoA), slot(kTwoPhotoB), w, h, rowLen, bpsIn, bpsOut,
                                spp, stack, out);
    case kMethodMean:
        return moyenne(n, w, h, rowLen, spp, bpsIn, bpsOut, stack, out);
    default:
        return -3;
    }
}

uint8_t lim8f(float v)
{
    if (v >= 255.0f)
        return 255;
    if (v > 0.0f)
        return static_cast<uint8_t>(v);
    return 0;
}
