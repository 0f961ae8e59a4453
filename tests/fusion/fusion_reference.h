// Plain readings of the fusion pyramid steps for the tests: the reduce step by the regions of its
// definition (top row, bottom row of an odd height, left column, right column of an odd width;
// corners where two meet), the 2 x 2 expansion by the list of coarse neighbours that exist, and
// a small driver that runs the pyramid stages over a stack as the fusion engine does.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "fusion/pyramid_blend.h"
#include "fusion/reconstruct.h"
#include "imagecore/preview.h"
#include "tests/support/patterns.h"
#include "tonemap/tm_params.h"

namespace fusiontest {

template <class T> using Sum = std::conditional_t<std::is_floating_point_v<T>, float, int>;

// Float inputs must be whole numbers below 2^20, so that every sum is exact in any order.
template <class T>
std::vector<T> ref_reduce(const std::vector<T> &fine, int fw, int fh, int spp, bool is360)
{
    const int cw = (fw + 1) / 2, ch = (fh + 1) / 2;
    std::vector<T> out;
    for (int j = 0; j < ch; ++j)
        for (int i = 0; i < cw; ++i)
            for (int c = 0; c < spp; ++c) {
                // The sides a region has no neighbours on.
                const bool top = j == 0, bottom = fh % 2 && j == ch - 1;
                const bool left = !is360 && i == 0, right = !is360 && fw % 2 && i == cw - 1;
                Sum<T> m = 0, straight = 0, diagonal = 0;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) {
                        if ((dy < 0 && top) || (dy > 0 && bottom) || (dx < 0 && left) ||
                            (dx > 0 && right))
                            continue;
                        const int x = (2 * i + dx + fw) % fw, y = 2 * j + dy;
                        const Sum<T> v = fine[size_t((y * fw + x) * spp + c)];
                        (dx == 0 && dy == 0 ? m : dx == 0 || dy == 0 ? straight : diagonal) += v;
                    }
                const int sides = int(top) + int(bottom) + int(left) + int(right);
                double v = 0.333 * double(m) + 0.1667 * double(straight) + double(diagonal) / 12.0;
                if constexpr (std::is_floating_point_v<T>) {
                    if (sides == 0)
                        v = double(m) * 0.25 + double(straight) * 0.125 + double(diagonal) * 0.0625;
                    else if (sides == 2)
                        v = double(m) * 0.5 + double(straight) * 0.25;
                } else {
                    if (sides == 0)
                        v = (m >> 2) + (straight >> 3) + (diagonal >> 4);
                    else if (sides == 2)
                        v = (m >> 1) + (straight >> 2);
                }
                out.push_back(T(v));
            }
    return out;
}

// The expanded value at fine (x, y): the mean of the coarse pixels (x / 2 or its right
// neighbour, y / 2 or its lower neighbour) that exist, column 0 standing in on the right with
// is360. Integers: truncating shifts; floats: 0.5 and 0.25.
template <class T>
Sum<T> ref_expand(const T *coarse, int wc, int hc, int spp, bool is360, int x, int y, int c)
{
    std::vector<int> cols{x / 2}, rows{y / 2};
    if (x % 2 && (x / 2 + 1 < wc || is360))
        cols.push_back(x / 2 + 1 < wc ? x / 2 + 1 : 0);
    if (y % 2 && y / 2 + 1 < hc)
        rows.push_back(y / 2 + 1);
    Sum<T> sum = 0;
    for (int r : rows)
        for (int k : cols)
            sum += coarse[size_t((r * wc + k) * spp + c)];
    const size_t n = rows.size() * cols.size();
    if constexpr (std::is_floating_point_v<T>)
        return n == 1 ? sum : sum * (n == 2 ? 0.5f : 0.25f);
    else
        return n == 1 ? sum : sum >> (n == 2 ? 1 : 2);
}

using Params = std::array<float, kTmParamCount>;

// Runs the pyramid stages over 8-bit RGB photos of w x h with their weight maps (W of 16 bits,
// or fractions as floats; a map of pyram_len samples is a whole weight pyramid, taken as it is):
// band levels of the blended pyramid prepared with 32767, photos blended last first, collapse
// and finishing. Returns the w x h x 3 output samples.
template <class W>
std::vector<int> fuse(const std::vector<std::vector<uint8_t>> &photos,
                      const std::vector<std::vector<W>> &weights, int w, int h, const Params &p,
                      int bpsOut, bool is360 = false)
{
    const int L = pyram_levels(w, h), len = pyram_len(w, h), depth = sizeof(W) == 2 ? 16 : 32;
    std::vector<uint16_t> blended(size_t(len) * 3, 32767), out(size_t(len) * 3);
    int top = 0; // start of level L: plain low-pass sums, from 0
    for (int k = 0, lw = w, lh = h; k < L; ++k, lw = (lw + 1) / 2, lh = (lh + 1) / 2)
        top += lw * lh;
    std::fill(blended.begin() + 3 * top, blended.end(), 0);
    std::vector<W> pyramPoids(static_cast<size_t>(len));
    for (size_t k = photos.size(); k-- > 0;) {
        std::copy(weights[k].begin(), weights[k].end(), pyramPoids.begin());
        if (weights[k].size() < pyramPoids.size())
            fusion21(L, w, h, depth, is360, pyramPoids.data());
        std::transform(photos[k].begin(), photos[k].end(), out.begin(),
                       [](uint8_t v) { return uint16_t(v << 7); });
        fusion22(L, w, h, 3, bpsOut, 16, depth, is360, pyramPoids.data(), nullptr, nullptr,
                 out.data(), blended.data());
    }
    fusion3(p.data(), L, w, h, 3, bpsOut, 16, 3 * w, 0, is360, blended.data(), nullptr, out.data());
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(out.data());
    std::vector<int> result(size_t(w * h * 3));
    for (size_t i = 0; i < result.size(); ++i)
        result[i] = bpsOut == 8 ? bytes[i] : out[i];
    return result;
}

} // namespace fusiontest
