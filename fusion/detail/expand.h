// The 2 x 2 interpolation that enlarges a pyramid level to the next finer one, shared by the
// band blend, the collapse and the stand-alone up-sampling so the three can never disagree.
// Fine pixel (x, y) reads coarse (x / 2, y / 2) and, for odd x or y, its right or lower
// neighbour, averaging with truncating shifts (integers) or by 0.5 and 0.25 (floats). Where the
// neighbour is missing (the last column of an even width, the last row of an even height) the
// pixel takes its own coarse column or row alone; with is360 the right neighbour of the last
// coarse column is column 0.
#pragma once

#include <cstddef>
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

// Calls op(pixel, sample, value) for every sample of a wf x hf level in row order, pixel and
// sample counted from the level's start, value interpolated from the wc x ((hf + 1) / 2) coarse
// level of spp samples a pixel at coarse.
template <class T, class Op>
void expand_level(int wf, int hf, int wc, int spp, bool is360, const T *coarse, Op &&op)
{
    using V = Interpolated<T>;
    const int hc = (hf + 1) / 2;
    const size_t cs = size_t(spp), coarseRow = size_t(wc) * cs;
    // Fine columns whose odd members have both coarse columns: all but the last of an even width.
    const int inner = wf % 2 ? wf : wf - 1;
    size_t pixel = 0, sample = 0;
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
    for (int y = 0; y < hf; ++y) {
        const int Y = y / 2;
        const T *r0 = coarse + size_t(Y) * coarseRow;
        row(r0, (y % 2) && Y + 1 < hc ? r0 + coarseRow : nullptr);
    }
}

} // namespace fusion::detail
