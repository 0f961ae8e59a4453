// Median filters of an rgbeBuf. Each window pixel is decoded afresh for every window holding it;
// the selection works in place on the window's arrays, which are allocated once per call.
#include "merge/hdr_filters.h"

#include <algorithm>
#include <climits>
#include <new>
#include <numeric>
#include <vector>

#include "imagecore/color.h"
#include "merge/detail/quick_select.h"
#include "merge/detail/rgbe_pixels.h"

namespace {

using merge::detail::decode_pixel;
using merge::detail::encode_pixel;
using merge::detail::ExponentTable;
using merge::detail::pixel_pos;

constexpr int kMaxAdaptiveRadius = 6;

float luminance(const float rgb[3])
{
    return float(0.3 * rgb[0] + 0.6 * rgb[1] + 0.1 * rgb[2]);
}

// A window of up to the given radius, filled row by row with positions and luminances.
struct LumaWindow {
    std::vector<size_t> pos;
    std::vector<float> lum;
    std::vector<int> perm;
    explicit LumaWindow(int radius)
    {
        const size_t n = size_t(2 * radius + 1) * size_t(2 * radius + 1);
        pos.resize(n);
        lum.resize(n);
        perm.resize(n);
    }
    int fill(const uint8_t *src, int width, const ExponentTable &table, int x, int y, int r)
    {
        int q = 0;
        for (int dy = -r; dy <= r; ++dy)
            for (int dx = -r; dx <= r; ++dx, ++q) {
                pos[size_t(q)] = pixel_pos(width, x + dx, y + dy);
                float rgb[3];
                decode_pixel(src, width, table, pos[size_t(q)], rgb);
                lum[size_t(q)] = luminance(rgb);
            }
        std::iota(perm.begin(), perm.begin() + q, 0);
        return q;
    }
    // Selects the median luminance (reordering lum) and returns it.
    float select(int n) { return fqs2(lum.data(), perm.data(), n); }
    // After select: the position of the window pixel the median came from.
    size_t median_pixel(int n) const { return pos[size_t(perm[size_t(n / 2)])]; }
};

void write_decoded(const uint8_t *src, uint8_t *dst, int width, const ExponentTable &table,
                   size_t from, size_t to)
{
    float rgb[3];
    decode_pixel(src, width, table, from, rgb);
    encode_pixel(dst, width, to, rgb);
}

} // namespace

float fqs2(float *values, int *perm, int n)
{
    if (values == nullptr || perm == nullptr || n < 1)
        return 0.0f;
    return merge::detail::quick_select(values, perm, n);
}

int normalMedian(int, int width, int height, int bits, const uint8_t *src, uint8_t *dst)
{
    if (bits != 32)
        return 0;
    if (!merge::detail::rgbe_args_ok(width, height, src, dst))
        return -3;
    if (height < 5)
        return 2;
    try {
        const ExponentTable table;
        LumaWindow win(2);
        for (int y = 2; y <= height - 3; ++y)
            for (int x = 2; x <= width - 3; ++x) {
                const int n = win.fill(src, width, table, x, y, 2);
                win.select(n);
                write_decoded(src, dst, width, table, win.median_pixel(n), pixel_pos(width, x, y));
            }
    } catch (const std::bad_alloc &) {
        return -4;
    }
    return height - 2;
}

int adaptiveMedian(int, int width, int height, int bits, const uint8_t *src, uint8_t *dst)
{
    if (bits != 32)
        return 0;
    if (!merge::detail::rgbe_args_ok(width, height, src, dst))
        return -3;
    if (height <= 2 * kMaxAdaptiveRadius + 2)
        return kMaxAdaptiveRadius + 1;
    try {
        const ExponentTable table;
        LumaWindow win(kMaxAdaptiveRadius);
        const int border = kMaxAdaptiveRadius + 1;
        for (int y = border; y <= height - border - 1; ++y)
            for (int x = border; x <= width - border - 1; ++x) {
                float centre = 0, mn = 0, mx = 0;
                size_t median = 0;
                for (int r = 2; r <= kMaxAdaptiveRadius; ++r) {
                    const int n = win.fill(src, width, table, x, y, r);
                    centre = win.lum[size_t(n / 2)];
                    const auto [lo, hi] = std::minmax_element(win.lum.begin(), win.lum.begin() + n);
                    mn = *lo;
                    mx = *hi;
                    const float med = win.select(n);
                    median = win.median_pixel(n);
                    if (mn < med && med < mx)
                        break;
                }
                const size_t at = pixel_pos(width, x, y);
                if (mn < centre && centre < mx) {
                    for (int c = 0; c < 4; ++c)
                        dst[at + size_t(c) * size_t(width)] = src[at + size_t(c) * size_t(width)];
                } else {
                    write_decoded(src, dst, width, table, median, at);
                }
            }
    } catch (const std::bad_alloc &) {
        return -4;
    }
    return height - kMaxAdaptiveRadius - 1;
}

int median_c(int radius, int width, int height, int bits, const uint8_t *src, uint8_t *dst)
{
    if (bits != 32)
        return 0;
    if (radius < 0 || !merge::detail::rgbe_args_ok(width, height, src, dst))
        return -3;
    if (int64_t(height) <= 2 * int64_t(radius))
        return radius;
    // Too narrow for any window: nothing to filter, and no window arrays to size.
    if (int64_t(width) <= 2 * int64_t(radius))
        return height - radius;
    const int64_t side = 2 * int64_t(radius) + 1;
    if (side * side > INT_MAX)
        return -4;
    const int n = int(side * side);
    try {
        const ExponentTable table;
        const size_t count = size_t(n);
        std::vector<float> cb(count), cr(count);
        std::vector<int> perm(count);
        for (int y = radius; y <= height - radius - 1; ++y)
            for (int x = radius; x <= width - radius - 1; ++x) {
                float ybr[3] = {0, 0, 0}, centreY = 0;
                int q = 0;
                for (int dy = -radius; dy <= radius; ++dy)
                    for (int dx = -radius; dx <= radius; ++dx, ++q) {
                        float rgb[3];
                        decode_pixel(src, width, table, pixel_pos(width, x + dx, y + dy), rgb);
                        rgb2ybr(rgb, ybr);
                        cb[size_t(q)] = ybr[1];
                        cr[size_t(q)] = ybr[2];
                        if (q == n / 2)
                            centreY = ybr[0];
                    }
                std::iota(perm.begin(), perm.end(), 0);
                const float cbMedian = fqs2(cb.data(), perm.data(), n);
                std::iota(perm.begin(), perm.end(), 0);
                const float crMedian = fqs2(cr.data(), perm.data(), n);
                const float out[3] = {centreY, cbMedian, crMedian};
                float rgb[3];
                ybr2rgb(out, rgb);
                encode_pixel(dst, width, pixel_pos(width, x, y), rgb);
            }
    } catch (const std::bad_alloc &) {
        return -4;
    }
    return height - radius;
}
