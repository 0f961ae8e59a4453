// HDR statistics and the a trous smoothing. The statistics read the image twice (range, then
// histograms) rather than keep two float planes of logs: 512 KB of histograms instead of
// 8 bytes a pixel.
#include "merge/hdr_atrous.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <new>
#include <vector>

#include "imagecore/color.h"
#include "imagecore/float_clamp.h"
#include "imagecore/histogram.h"
#include "merge/detail/atrous.h"
#include "merge/detail/rgbe_pixels.h"

namespace {

using merge::detail::ExponentTable;

constexpr int kBins = 65536;

// log(R + G + B) and log Y of every pixel, row by row.
template <class Visit>
void for_each_log(int width, int height, const uint8_t *src, const ExponentTable &table,
                  Visit visit)
{
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            float rgb[3], ybr[3];
            merge::detail::decode_pixel(src, width, table, merge::detail::pixel_pos(width, x, y),
                                        rgb);
            rgb2ybr(rgb, ybr);
            visit(merge::detail::log_or_zero(rgb[0] + rgb[1] + rgb[2]),
                  merge::detail::log_or_zero(ybr[0]));
        }
}

// One log quantity: its range, then its histogram over kBins levels of that range.
struct LogHistogram {
    float min = 1e9f, max = 0.0f;
    float scale = 0.0f;
    std::vector<int> counts = std::vector<int>(kBins, 0);

    void extend(float v)
    {
        if (v < min)
            min = v;
        if (v > max)
            max = v;
    }
    bool empty() const { return !(min < max); }
    void start_counting() { scale = 65535.0f / (max - min); }
    void count(float v)
    {
        ++counts[size_t(imagecore::clamp_to_int((v - min) * scale, 0, kBins - 1))];
    }
    // The value at a fraction of total counts. Bins convert back in steps of range / 65536 while
    // binning used 65535 levels, so a level may read up to one bin low.
    float at(long total, float fraction) const
    {
        const int bin = percentile(total, kBins, counts.data(), fraction);
        return float(bin) * (max - min) * (1.0f / 65536.0f) + min;
    }
};

} // namespace

int hdr_stats(int width, int height, const uint8_t *src, float *stats, float threshold)
{
    if (src == nullptr || stats == nullptr || width < 1 || height < 1 ||
        int64_t(width) * int64_t(height) > INT_MAX)
        return -3;
    const long total = long(width) * long(height);
    try {
        const ExponentTable table;
        LogHistogram a, b;
        for_each_log(width, height, src, table, [&](float la, float lb) {
            a.extend(la);
            b.extend(lb);
        });
        if (a.empty() || b.empty())
            return -3;
        a.start_counting();
        b.start_counting();
        for_each_log(width, height, src, table, [&](float la, float lb) {
            a.count(la);
            b.count(lb);
        });
        const float a1 = a.at(total, 0.01f), a50 = a.at(total, 0.5f), a99 = a.at(total, 0.99f);
        const float b1 = b.at(total, 0.01f), b50 = b.at(total, 0.5f), b99 = b.at(total, 0.99f);
        stats[0] = float(a50 - 0.25 * (double(a50) - a1));
        stats[1] = float(a50 + 0.5 * (double(a99) - a50));
        stats[2] = (b1 + b50) / 2.0f;
        stats[3] = b50;
        stats[4] = b99;
        stats[5] = float(2.0 * threshold * (double(b.max) - b.min)) * (b99 - b50);
    } catch (const std::bad_alloc &) {
        return -4;
    }
    return 1;
}

void smooth_line(float *out, const float *in, int stride, int n, int spacing)
{
    if (out == nullptr || in == nullptr || n < 1 || spacing < 0 || int64_t(spacing) * 2 > n)
        return;
    const ptrdiff_t step = stride;
    const int d = spacing, last = n - 1;
    auto s = [&](int j) {
        j = j < 0 ? -j : (j > last ? 2 * last - j : j);
        return in[ptrdiff_t(j) * step];
    };
    for (int i = 0; i < d; ++i)
        out[i] = 2.0f * s(i) + s(i - d) + s(i + d);
    for (int i = d; i < n - d; ++i)
        out[i] = 2.0f * in[i * step] + in[(i - d) * step] + in[(i + d) * step];
    for (int i = n - d; i < n; ++i)
        out[i] = 2.0f * s(i) + s(i - d) + s(i + d);
}

namespace merge::detail {

float noise_coefficient(int level)
{
    return float(0.8002 * std::exp(-2.6 * std::sqrt(double(level) + 1.0)) / std::exp(-2.6));
}

size_t line_floats(int width, int height)
{
    return size_t(kColumnBlock) * size_t(std::max(width, height));
}

void smooth_plane(const float *in, float *out, float *line, int width, int height, int spacing)
{
    const size_t w = size_t(width), block = size_t(kColumnBlock);
    for (int y = 0; y < height; ++y) {
        smooth_line(line, in + size_t(y) * w, 1, width, spacing);
        float *row = out + size_t(y) * w;
        for (int x = 0; x < width; ++x)
            row[x] = 0.25f * line[x];
    }
    // Columns a block at a time: the block is copied out in row segments, then filtered back a
    // row at a time, so every access runs along memory. Same sums, in the same order, as
    // smooth_line down each column.
    const int last = height - 1;
    auto mirror = [last](int j) { return j < 0 ? -j : (j > last ? 2 * last - j : j); };
    for (size_t x0 = 0; x0 < w; x0 += block) {
        const size_t nb = std::min(block, w - x0);
        for (int y = 0; y < height; ++y)
            std::copy_n(out + size_t(y) * w + x0, nb, line + size_t(y) * block);
        for (int y = 0; y < height; ++y) {
            const float *c = line + size_t(y) * block;
            const float *up = line + size_t(mirror(y - spacing)) * block;
            const float *down = line + size_t(mirror(y + spacing)) * block;
            float *dst = out + size_t(y) * w + x0;
            for (size_t j = 0; j < nb; ++j)
                dst[j] = 0.25f * (2.0f * c[j] + up[j] + down[j]);
        }
    }
}

} // namespace merge::detail
