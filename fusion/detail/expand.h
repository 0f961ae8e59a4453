// The 2 x 2 interpolation that enlarges a pyramid level to the next finer one, shared by the
// band blend, the collapse and the stand-alone up-sampling so the three can never disagree.
// Fine pixel (x, y) reads coarse (x / 2, y / 2) and, for odd x or y, its right or lower
// neighbour, averaging with truncating shifts (integers) or by 0.5 and 0.25 (floats). Where the
// neighbour is missing (the last column of an even width, the last row of an even height) the
// pixel takes its own coarse column or row alone; with is360 the right neighbour of the last
// coarse column is column 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace fusion::detail {

template <class T> using Interpolated = std::conditional_t<std::is_floating_point_v<T>, float, int>;

template <class T> inline Interpolated<T> mean2(Interpolated<T> a, Interpolated<T> b)
{
    if constexpr (std::is_floating_point_v<T>)
        return (a + b) * 0.5f;
    else
        return (a + b) >> 1;
}

template <class T>
inline Interpolated<T> mean4(Interpolated<T> a, Interpolated<T> b, Interpolated<T> c,
                             Interpolated<T> d)
{
    if constexpr (std::is_floating_point_v<T>)
        return (a + b + c + d) * 0.25f;
    else
        return (a + b + c + d) >> 2;
}

// Calls op(pixel, sample, value) for every sample of fine rows y0 .. y1 - 1 of a wf x hf level
// in row order, pixel and sample counted from the level's start, value interpolated from the
// wc x ((hf + 1) / 2) coarse level of spp samples a pixel at coarse.
template <class T, class Op>
void expand_rows(int wf, int hf, int wc, int spp, bool is360, const T *coarse, int y0, int y1,
                 Op &&op)
{
    using V = Interpolated<T>;
    const int hc = (hf + 1) / 2;
    const size_t cs = size_t(spp), coarseRow = size_t(wc) * cs;
    // Fine columns whose odd members have both coarse columns: all but the last of an even width.
    const int inner = wf % 2 ? wf : wf - 1;
    size_t pixel = size_t(y0) * size_t(wf), sample = pixel * cs;
    auto row = [&](const T *r0, const T *r1) {
        // r1 is the lower coarse row for odd fine rows that have one, else null.
        auto one = [&](size_t a, size_t b) {
            for (size_t c = 0; c < cs; ++c, ++sample) {
                V v;
                if (a == b)
                    v = r1 ? mean2<T>(r0[a + c], r1[a + c]) : V(r0[a + c]);
                else
                    v = r1 ? mean4<T>(r0[a + c], r0[b + c], r1[a + c], r1[b + c])
                           : mean2<T>(r0[a + c], r0[b + c]);
                op(pixel, sample, v);
            }
            ++pixel;
        };
        for (int x = 0; x < inner; x += 2) {
            const size_t a = size_t(x / 2) * cs;
            one(a, a);
            if (x + 1 < inner)
                one(a, a + cs);
        }
        if (inner < wf) {
            const size_t a = size_t(wc - 1) * cs;
            one(a, is360 ? 0 : a);
        }
    };
    for (int y = y0; y < y1; ++y) {
        const int Y = y / 2;
        const T *r0 = coarse + size_t(Y) * coarseRow;
        row(r0, (y % 2) && Y + 1 < hc ? r0 + coarseRow : nullptr);
    }
}

// expand_rows over the whole level.
template <class T, class Op>
void expand_level(int wf, int hf, int wc, int spp, bool is360, const T *coarse, Op &&op)
{
    expand_rows(wf, hf, wc, spp, is360, coarse, 0, hf, op);
}

// Pixels a row is expanded in at a time by expand_chunk (even: chunks start on even columns).
inline constexpr int kExpandChunk = 256;

template <int SPP, bool TwoRows, class T>
void expand_chunk_rows(int x0, int n, int wc, bool is360, const T *r0, const T *r1, int32_t *e)
{
    constexpr int vertical = TwoRows ? 1 : 0;
    auto sum = [&](int col, int c) {
        const size_t k = size_t(col) * SPP + size_t(c);
        if constexpr (TwoRows)
            return int32_t(r0[k]) + int32_t(r1[k]);
        else
            return int32_t(r0[k]);
    };
    // Pairs of an even and an odd pixel whose coarse column has a right neighbour: no tests.
    const int ib = x0 / 2;
    int pairs = wc - 1 - ib < n / 2 ? wc - 1 - ib : n / 2;
    pairs = pairs < 0 ? 0 : pairs;
    for (int q = 0; q < pairs; ++q)
        for (int c = 0; c < SPP; ++c) {
            const int32_t a = sum(ib + q, c), b = sum(ib + q + 1, c);
            e[2 * q * SPP + c] = a >> vertical;
            e[(2 * q + 1) * SPP + c] = (a + b) >> (vertical + 1);
        }
    for (int j = 2 * pairs; j < n; ++j) {
        const int x = x0 + j, i = x >> 1;
        const int right = !(x & 1) ? -1 : (i + 1 < wc ? i + 1 : (is360 ? 0 : -1));
        for (int c = 0; c < SPP; ++c)
            e[j * SPP + c] =
                right < 0 ? sum(i, c) >> vertical : (sum(i, c) + sum(right, c)) >> (vertical + 1);
    }
}

// The expanded values of fine pixels x0 .. x0 + n - 1 (x0 even, n at most kExpandChunk) of one
// fine row of integer samples, SPP a pixel, into e: the same values as expand_level, as the sum
// of the coarse samples that enter shifted by their count. r0 is the coarse row y / 2, r1 the
// one below it for an odd fine row that has one, else null.
template <int SPP, class T>
void expand_chunk(int x0, int n, int wc, bool is360, const T *r0, const T *r1, int32_t *e)
{
    if (r1)
        expand_chunk_rows<SPP, true>(x0, n, wc, is360, r0, r1, e);
    else
        expand_chunk_rows<SPP, false>(x0, n, wc, is360, r0, r1, e);
}

} // namespace fusion::detail
