// Reduce step, Gaussian pyramids and the band blend of exposure fusion. The reduce step runs the
// rows and columns with all eight neighbours inside the level through a loop without border
// tests; only the outer ring of coarse pixels looks up which neighbours exist.
#include "fusion/pyramid_blend.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sys/types.h>
#include <type_traits>

#include "fusion/detail/expand.h"
#include "fusion/detail/levels.h"
#include "imagecore/banded.h"
#include "imagecore/float_clamp.h"

using fusion::detail::Level;
using fusion::detail::Levels;

namespace {

// Neighbour sums: integers for integer samples, single precision for floats.
template <class T> using Sum = std::conditional_t<std::is_floating_point_v<T>, float, int>;

using imagecore::level_threads;

template <class T>
T kernel_inner(Sum<T> m, Sum<T> l, Sum<T> r, Sum<T> u, Sum<T> d, Sum<T> ul, Sum<T> ur, Sum<T> dl,
               Sum<T> dr)
{
    if constexpr (std::is_floating_point_v<T>)
        return static_cast<T>(double(m) * 0.25 + double(l + r + u + d) * 0.125 +
                              double(ul + ur + dl + dr) * 0.0625);
    else
        return static_cast<T>((m >> 2) + ((l + r + u + d) >> 3) + ((ul + ur + dl + dr) >> 4));
}

// a, b, c the neighbours along and across the border, e and f the two inner diagonals.
template <class T> T kernel_border(Sum<T> m, Sum<T> a, Sum<T> b, Sum<T> c, Sum<T> e, Sum<T> f)
{
    const double v = 0.333 * double(m) + 0.1667 * double(a + b + c) + double(e + f) / 12.0;
    return static_cast<T>(v); // truncates toward zero for integers
}

// h and v the horizontal and vertical neighbours inside the level.
template <class T> T kernel_corner(Sum<T> m, Sum<T> h, Sum<T> v)
{
    if constexpr (std::is_floating_point_v<T>)
        return static_cast<T>(double(m) * 0.5 + double(h + v) * 0.25);
    else
        return static_cast<T>((m >> 1) + ((h + v) >> 2));
}

// The inner kernel over coarse columns 1 .. iLast of one coarse row from the fine rows above, at
// and below its fine row; S the samples a pixel when it is 1 or 3 (the channel loop unrolls),
// else 0 and s gives them.
template <int S, class T>
void inner_span(const T *pu, const T *pm, const T *pd, T *dst, int iLast, size_t s)
{
    const size_t st = S > 0 ? size_t(S) : s;
    for (int i = 1; i <= iLast; ++i) {
        const size_t x = size_t(2 * i) * st;
        for (size_t c = 0; c < st; ++c, ++dst) {
            const size_t k = x + c;
            *dst = kernel_inner<T>(pm[k], pm[k - st], pm[k + st], pu[k], pd[k], pu[k - st],
                                   pu[k + st], pd[k - st], pd[k + st]);
        }
    }
}

template <class T>
void reduce(int fw, int fh, int cw, int ch, int spp, bool is360, const T *fine, T *coarse,
            int nThreads)
{
    const size_t s = size_t(spp), fineRow = size_t(fw) * s;
    // A coarse pixel of the outer ring: its kernel follows from the neighbours that exist.
    auto ring = [&](int i, int j) {
        const int x = 2 * i, y = 2 * j;
        const bool up = y > 0, down = y + 1 < fh;
        const int xl = x > 0 ? x - 1 : (is360 ? fw - 1 : -1);
        const int xr = x + 1 < fw ? x + 1 : (is360 ? 0 : -1);
        T *dst = coarse + (size_t(j) * size_t(cw) + size_t(i)) * s;
        for (size_t c = 0; c < s; ++c) {
            auto v = [&](int xx, int yy) -> Sum<T> {
                return fine[size_t(yy) * fineRow + size_t(xx) * s + c];
            };
            const Sum<T> m = v(x, y);
            if (up && down && xl >= 0 && xr >= 0)
                dst[c] = kernel_inner<T>(m, v(xl, y), v(xr, y), v(x, y - 1), v(x, y + 1),
                                         v(xl, y - 1), v(xr, y - 1), v(xl, y + 1), v(xr, y + 1));
            else if (!up || !down) {
                const int yn = up ? y - 1 : y + 1; // the one row beside a top or bottom row
                if (xl < 0)
                    dst[c] = kernel_corner<T>(m, v(xr, y), v(x, yn));
                else if (xr < 0)
                    dst[c] = kernel_corner<T>(m, v(xl, y), v(x, yn));
                else
                    dst[c] =
                        kernel_border<T>(m, v(xl, y), v(xr, y), v(x, yn), v(xl, yn), v(xr, yn));
            } else if (xl < 0)
                dst[c] = kernel_border<T>(m, v(xr, y), v(x, y - 1), v(x, y + 1), v(xr, y - 1),
                                          v(xr, y + 1));
            else
                dst[c] = kernel_border<T>(m, v(xl, y), v(x, y - 1), v(x, y + 1), v(xl, y - 1),
                                          v(xl, y + 1));
        }
    };
    // Coarse columns and rows whose fine pixel has both neighbours inside the level.
    const int iLast = (fw - 2) / 2, jLast = (fh - 2) / 2;
    imagecore::run_banded(level_threads(nThreads, cw, ch), ch, [&](const imagecore::Band &b) {
        for (int j = b.begin; j < b.end; ++j) {
            if (j < 1 || j > jLast || iLast < 1) {
                for (int i = 0; i < cw; ++i)
                    ring(i, j);
                continue;
            }
            ring(0, j);
            const T *pu = fine + size_t(2 * j - 1) * fineRow, *pm = pu + fineRow,
                    *pd = pm + fineRow;
            T *dst = coarse + (size_t(j) * size_t(cw) + 1) * s;
            if (s == 3)
                inner_span<3>(pu, pm, pd, dst, iLast, s);
            else if (s == 1)
                inner_span<1>(pu, pm, pd, dst, iLast, s);
            else
                inner_span<0>(pu, pm, pd, dst, iLast, s);
            for (int i = iLast + 1; i < cw; ++i)
                ring(i, j);
        }
    });
}

float weight_fraction(uint8_t w)
{
    return static_cast<float>(w) / 256.0f;
}
float weight_fraction(uint16_t w)
{
    return static_cast<float>(w) / 65536.0f;
}
float weight_fraction(float w)
{
    return w;
}

// Calls f(fusionSample{}, weightSample{}) with the sample types of the two depths; false when a
// depth is not served.
template <class F> bool with_depths(int bitDepthFusion, int bitDepthPoids, F &&f)
{
    auto weights = [&](auto fusionSample) {
        switch (bitDepthPoids) {
        case 8:
            f(fusionSample, uint8_t{});
            return true;
        case 16:
            f(fusionSample, uint16_t{});
            return true;
        case 32:
            f(fusionSample, float{});
            return true;
        default:
            return false;
        }
    };
    if (bitDepthFusion == 16)
        return weights(uint16_t{});
    if (bitDepthFusion == 32)
        return weights(float{});
    return false;
}

// The rows of one weight level, in order: from memory, or in the out-of-core mode read one at a
// time from the weight pyramid file into a row buffer. A row that cannot be read is null.
template <class TW> class WeightRows {
public:
    WeightRows(const TW *level, int fw) : m_level(level), m_fw(fw) {}
    WeightRows(FILE *file, int64_t start, int fw, TW *row)
        : m_fw(fw), m_file(file), m_start(start), m_row(row)
    {
    }
    bool in_memory() const { return m_level != nullptr; }
    const TW *operator()(int y) const
    {
        if (m_level)
            return m_level + size_t(y) * size_t(m_fw);
        const int64_t at = (m_start + int64_t(y) * m_fw) * int64_t(sizeof(TW));
        if (::fseeko(m_file, off_t(at), SEEK_SET) != 0 ||
            std::fread(m_row, sizeof(TW), size_t(m_fw), m_file) != size_t(m_fw))
            return nullptr;
        return m_row;
    }

private:
    const TW *m_level = nullptr;
    int m_fw;
    FILE *m_file = nullptr;
    int64_t m_start = 0;
    TW *m_row = nullptr;
};

// The 16-bit band blend of one fine row, in chunks: the expanded values and the weight fraction
// of every sample first, then one plain loop over the samples.
template <int SPP, class TW>
void band_row16(int fw, int cw, bool is360, const TW *weights, const uint16_t *r0,
                const uint16_t *r1, const uint16_t *fine, uint16_t *blended)
{
    constexpr int kChunk = fusion::detail::kExpandChunk;
    int32_t e[kChunk * SPP];
    float f[kChunk * SPP];
    for (int x0 = 0; x0 < fw; x0 += kChunk) {
        const int n = std::min(kChunk, fw - x0);
        fusion::detail::expand_chunk<SPP>(x0, n, cw, is360, r0, r1, e);
        for (int j = 0; j < n; ++j)
            for (int c = 0; c < SPP; ++c)
                f[j * SPP + c] = weight_fraction(weights[x0 + j]);
        const uint16_t *src = fine + size_t(x0) * SPP;
        uint16_t *dst = blended + size_t(x0) * SPP;
        for (int k = 0; k < n * SPP; ++k) {
            const int t = static_cast<int>(static_cast<float>(int(src[k]) - e[k]) * f[k]);
            dst[k] = static_cast<uint16_t>(std::clamp(int(dst[k]) + t, 0, 65535));
        }
    }
}

// False when a weight row cannot be had (the rows before it are blended).
template <int SPP, class TW>
bool band_blend16(int fw, int fh, int cw, bool is360, const WeightRows<TW> &weights,
                  const uint16_t *fine, const uint16_t *coarse, uint16_t *blended, int nThreads)
{
    const int hc = (fh + 1) / 2;
    const size_t rowC = size_t(cw) * SPP, rowF = size_t(fw) * SPP;
    std::atomic<bool> ok{true};
    // Weights read from a file come through one row buffer: those rows stay on this thread.
    const int threads = weights.in_memory() ? level_threads(nThreads, fw, fh) : 0;
    imagecore::run_banded(threads, fh, [&](const imagecore::Band &b) {
        for (int y = b.begin; y < b.end; ++y) {
            const uint16_t *r0 = coarse + size_t(y / 2) * rowC;
            const TW *w = weights(y);
            if (!w) {
                ok = false;
                return;
            }
            const size_t at = size_t(y) * rowF;
            const uint16_t *r1 = (y & 1) && y / 2 + 1 < hc ? r0 + rowC : nullptr;
            band_row16<SPP>(fw, cw, is360, w, r0, r1, fine + at, blended + at);
        }
    });
    return ok;
}

template <class TF, class TW>
bool band_blend(int fw, int fh, int cw, int spp, bool is360, const WeightRows<TW> &weights,
                const TF *fine, const TF *coarse, TF *blended, int nThreads)
{
    if constexpr (!std::is_floating_point_v<TF>) {
        if (spp == 3)
            return band_blend16<3>(fw, fh, cw, is360, weights, fine, coarse, blended, nThreads);
        if (spp == 1)
            return band_blend16<1>(fw, fh, cw, is360, weights, fine, coarse, blended, nThreads);
    }
    std::atomic<bool> ok{true};
    const int threads = weights.in_memory() ? level_threads(nThreads, fw, fh) : 0;
    imagecore::run_banded(threads, fh, [&](const imagecore::Band &b) {
        // The pixels come in row order: each new row's weights are fetched once.
        const TW *row = nullptr;
        size_t rowStart = 0;
        int y = b.begin - 1;
        bool bandOk = true;
        fusion::detail::expand_rows(
            fw, fh, cw, spp, is360, coarse, b.begin, b.end, [&](size_t p, size_t s, auto e) {
                if (y < b.begin || p >= rowStart + size_t(fw)) {
                    rowStart = size_t(++y) * size_t(fw);
                    row = bandOk ? weights(y) : nullptr;
                    bandOk = row != nullptr;
                }
                if (!bandOk)
                    return;
                const float f = weight_fraction(row[p - rowStart]);
                if constexpr (std::is_floating_point_v<TF>) {
                    blended[s] += (fine[s] - e) * f;
                } else {
                    const int t = static_cast<int>(static_cast<float>(int(fine[s]) - e) * f);
                    blended[s] = static_cast<TF>(std::clamp(blended[s] + t, 0, 65535));
                }
            });
        if (!bandOk)
            ok = false;
    });
    return ok;
}

// The weighted low-pass values of the coarsest level. The 16-bit sum saturates: weights that sum
// to at most 1 keep it below 32768, and a wrap would turn a highlight black.
template <class TF, class TW>
void lowpass_blend(size_t pixels, int spp, const TW *weights, const TF *photo, TF *blended,
                   int nThreads = 0)
{
    imagecore::run_chunked(
        level_threads(nThreads, int64_t(pixels), 1), int(pixels), [&](const imagecore::Band &b) {
            for (size_t p = size_t(b.begin); p < size_t(b.end); ++p) {
                const float f = weight_fraction(weights[p]);
                for (size_t c = 0, s = p * size_t(spp); c < size_t(spp); ++c, ++s) {
                    if constexpr (std::is_floating_point_v<TF>) {
                        blended[s] += f * photo[s];
                    } else {
                        const int t =
                            imagecore::clamp_to_int(static_cast<float>(photo[s]) * f, 0, 65535);
                        blended[s] =
                            static_cast<TF>(imagecore::clamp_to_int(blended[s] + t, 0, 65535));
                    }
                }
            }
        });
}

} // namespace

int fusion21a(int fineW, int fineH, int coarseW, int coarseH, int spp, int bitDepth, int is360,
              int initFine, int initCoarse, void *buffer, int nThreads)
{
    if (!buffer || fineW < 2 || fineH < 2 || spp < 1 || initFine < 0 || initCoarse < 0)
        return 0;
    if (coarseW != fineW / 2 + fineW % 2 || coarseH != fineH / 2 + fineH % 2)
        return 0;
    const int64_t fineEnd = initFine + int64_t(fineW) * fineH * spp;
    const int64_t coarseEnd = initCoarse + int64_t(coarseW) * coarseH * spp;
    if (initFine < coarseEnd && initCoarse < fineEnd)
        return 0;
    auto run = [&](auto *samples) {
        reduce(fineW, fineH, coarseW, coarseH, spp, is360 != 0, samples + initFine,
               samples + initCoarse, nThreads);
    };
    switch (bitDepth) {
    case 8:
        run(static_cast<uint8_t *>(buffer));
        break;
    case 16:
        run(static_cast<uint16_t *>(buffer));
        break;
    case 32:
        run(static_cast<float *>(buffer));
        break;
    default:
        return 0;
    }
    return coarseH;
}

int fusion21(int rangMax, int w, int h, int bitDepthPoids, int is360, void *pyramPoids,
             int nThreads)
{
    if (rangMax < 1)
        return 0;
    if (!pyramPoids || (bitDepthPoids != 8 && bitDepthPoids != 16 && bitDepthPoids != 32))
        return -3;
    const Levels lv = fusion::detail::pyramid_levels(w, h, rangMax, 1);
    if (lv.count == 0)
        return -3;
    for (int k = 0; k < rangMax; ++k) {
        const Level &f = lv.at[k], &c = lv.at[k + 1];
        fusion21a(f.w, f.h, c.w, c.h, 1, bitDepthPoids, is360, int(f.start), int(c.start),
                  pyramPoids, nThreads);
    }
    return rangMax;
}

int fusion22(int rangMax, int w, int h, int spp, int, int bitDepthFusion, int bitDepthPoids,
             int is360, const void *pyramPoids, FILE *fpPyramPoids, void *rowBuffer, void *out,
             void *fusionPyramid, int nThreads)
{
    if (!pyramPoids && !fpPyramPoids)
        return -1;
    // Out of core the weight pyramid is read from its file: row by row through rowBuffer for
    // level 0, whole into the start of out (its level 0 done with) for the others.
    const bool disk = !pyramPoids;
    if (!out || !fusionPyramid || (spp != 1 && spp != 3) || (disk && !rowBuffer))
        return -3;
    const int L = rangMax < 1 ? 0 : rangMax;
    const Levels lv = fusion::detail::pyramid_levels(w, h, L, spp);
    if (lv.count == 0)
        return -3;
    int rc = L + 1;
    const bool served = with_depths(bitDepthFusion, bitDepthPoids, [&](auto tf, auto tw) {
        using TF = decltype(tf);
        using TW = decltype(tw);
        // Weight level k: where it lies in memory, or read from the file into the start of out.
        auto weight_level = [&](const Level &l) -> const TW * {
            if (!disk)
                return static_cast<const TW *>(pyramPoids) + l.start;
            TW *into = static_cast<TW *>(out);
            const size_t n = size_t(l.w) * size_t(l.h);
            if (::fseeko(fpPyramPoids, off_t(l.start * int64_t(sizeof(TW))), SEEK_SET) != 0 ||
                std::fread(into, sizeof(TW), n, fpPyramPoids) != n)
                return nullptr;
            return into;
        };
        for (int k = 0; k < L; ++k) {
            const Level &f = lv.at[k], &c = lv.at[k + 1];
            const int fine = int(f.start * spp), coarse = int(c.start * spp);
            fusion21a(f.w, f.h, c.w, c.h, spp, bitDepthFusion, is360, fine, coarse, out, nThreads);
            // Out of core level 0's weights come from the file a row at a time, from element 0.
            const TW *weights = disk && k > 0 ? weight_level(f) : nullptr;
            if (disk && k > 0 && !weights) {
                rc = -3;
                return;
            }
            const void *base = disk ? static_cast<const void *>(weights) : pyramPoids;
            if (fusion22et23(f.w, f.h, c.w, c.h, spp, bitDepthFusion, bitDepthPoids, is360,
                             disk && k == 0, fpPyramPoids, rowBuffer, disk ? 0 : int(f.start), fine,
                             coarse, base, out, fusionPyramid, nThreads) < 0) {
                rc = -3;
                return;
            }
        }
        const Level &top = lv.at[L];
        const size_t first = size_t(top.start) * size_t(spp);
        const TF *photo = static_cast<const TF *>(out) + first;
        TF *blended = static_cast<TF *>(fusionPyramid) + first;
        if (L == 0 && disk) { // the photo fills level 0: its weights come a row at a time
            const WeightRows<TW> rows(fpPyramPoids, 0, w, static_cast<TW *>(rowBuffer));
            const size_t row = size_t(w) * size_t(spp);
            for (int y = 0; y < h && rc >= 0; ++y)
                if (const TW *wr = rows(y))
                    lowpass_blend(size_t(w), spp, wr, photo + size_t(y) * row,
                                  blended + size_t(y) * row);
                else
                    rc = -3;
            return;
        }
        const TW *weights = weight_level(top);
        if (!weights) {
            rc = -3;
            return;
        }
        lowpass_blend(size_t(top.w) * size_t(top.h), spp, weights, photo, blended, nThreads);
    });
    return served ? rc : -3;
}

int fusion22et23(int fineW, int fineH, int coarseW, int coarseH, int spp, int bitDepthFusion,
                 int bitDepthPoids, int is360, int fromDisk, FILE *fpPyramPoids, void *rowBuffer,
                 int positPoidsPyram, int initFine, int initCoarse, const void *pyramPoids,
                 const void *out, void *fusionPyramid, int nThreads)
{
    if (fromDisk && (!fpPyramPoids || !rowBuffer))
        return -3;
    if ((!pyramPoids && !fromDisk) || !out || !fusionPyramid || fineW < 1 || fineH < 1 || spp < 1)
        return 0;
    if (coarseW != fineW / 2 + fineW % 2 || coarseH != fineH / 2 + fineH % 2)
        return 0;
    if (positPoidsPyram < 0 || initFine < 0 || initCoarse < 0)
        return 0;
    bool read = true;
    const bool served = with_depths(bitDepthFusion, bitDepthPoids, [&](auto tf, auto tw) {
        using TF = decltype(tf);
        using TW = decltype(tw);
        const TF *photo = static_cast<const TF *>(out);
        const WeightRows<TW> rows =
            fromDisk
                ? WeightRows<TW>(fpPyramPoids, positPoidsPyram, fineW, static_cast<TW *>(rowBuffer))
                : WeightRows<TW>(static_cast<const TW *>(pyramPoids) + positPoidsPyram, fineW);
        read =
            band_blend(fineW, fineH, coarseW, spp, is360 != 0, rows, photo + initFine,
                       photo + initCoarse, static_cast<TF *>(fusionPyramid) + initFine, nThreads);
    });
    if (!read)
        return -3;
    return served ? fineH : 0;
}
