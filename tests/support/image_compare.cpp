// Comparison and statistics over plain buffers; one template per operation serves every sample
// type.
#include "tests/support/image_compare.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace testsupport {
namespace {

double difference(double a, double b)
{
    if (std::isnan(a) || std::isnan(b))
        return std::isnan(a) && std::isnan(b) ? 0.0 : std::numeric_limits<double>::infinity();
    return std::fabs(a - b);
}

template <class T>
ImageDiff compare(const T *a, const T *b, size_t n, int spp, const uint8_t *mask, double threshold)
{
    ImageDiff d;
    size_t compared = 0;
    for (size_t i = 0; i < n; ++i) {
        if (mask && !mask[i / size_t(spp)])
            continue;
        ++compared;
        double diff = difference(double(a[i]), double(b[i]));
        if (diff > d.maxDiff) {
            d.maxDiff = diff;
            d.worstIndex = i;
        }
        if (diff > threshold)
            ++d.count;
    }
    d.shareOver = compared ? double(d.count) / double(compared) : 0.0;
    return d;
}

template <class T> BufferStats stats(const T *p, size_t n, size_t stride)
{
    BufferStats s;
    if (stride == 0)
        stride = 1;
    double sum = 0, sum2 = 0;
    size_t k = 0;
    for (size_t i = 0; i < n; i += stride) {
        double v = double(p[i]);
        if (std::isnan(v))
            continue;
        if (k == 0 || v < s.min)
            s.min = v;
        if (k == 0 || v > s.max)
            s.max = v;
        sum += v;
        ++k;
    }
    if (k == 0)
        return s;
    s.mean = sum / double(k);
    // Two passes: the one-pass formula loses the variance of large offsets.
    for (size_t i = 0; i < n; i += stride) {
        double v = double(p[i]);
        if (!std::isnan(v))
            sum2 += (v - s.mean) * (v - s.mean);
    }
    s.stddev = std::sqrt(sum2 / double(k));
    return s;
}

template <class T, class Pred> double share(const T *p, size_t n, size_t stride, Pred pred)
{
    if (stride == 0)
        stride = 1;
    size_t k = 0, hit = 0;
    for (size_t i = 0; i < n; i += stride, ++k)
        if (pred(double(p[i])))
            ++hit;
    return k ? double(hit) / double(k) : 0.0;
}

} // namespace

ImageDiff compare_images(const uint8_t *a, const uint8_t *b, size_t n, double threshold)
{
    return compare(a, b, n, 1, nullptr, threshold);
}
ImageDiff compare_images(const uint16_t *a, const uint16_t *b, size_t n, double threshold)
{
    return compare(a, b, n, 1, nullptr, threshold);
}
ImageDiff compare_images(const float *a, const float *b, size_t n, double threshold)
{
    return compare(a, b, n, 1, nullptr, threshold);
}

BufferStats buffer_stats(const uint8_t *p, size_t n, size_t stride)
{
    return stats(p, n, stride);
}
BufferStats buffer_stats(const uint16_t *p, size_t n, size_t stride)
{
    return stats(p, n, stride);
}
BufferStats buffer_stats(const float *p, size_t n, size_t stride)
{
    return stats(p, n, stride);
}

double share_at_or_above(const uint8_t *p, size_t n, double hi, size_t stride)
{
    return share(p, n, stride, [hi](double v) { return v >= hi; });
}
double share_at_or_above(const uint16_t *p, size_t n, double hi, size_t stride)
{
    return share(p, n, stride, [hi](double v) { return v >= hi; });
}
double share_at_or_below(const uint8_t *p, size_t n, double lo, size_t stride)
{
    return share(p, n, stride, [lo](double v) { return v <= lo; });
}
double share_at_or_below(const uint16_t *p, size_t n, double lo, size_t stride)
{
    return share(p, n, stride, [lo](double v) { return v <= lo; });
}

double correlation(const std::vector<double> &a, const std::vector<double> &b)
{
    const size_t n = std::min(a.size(), b.size());
    if (n == 0)
        return 0;
    double ma = 0, mb = 0;
    for (size_t i = 0; i < n; ++i)
        ma += a[i], mb += b[i];
    ma /= double(n), mb /= double(n);
    double sab = 0, saa = 0, sbb = 0;
    for (size_t i = 0; i < n; ++i) {
        sab += (a[i] - ma) * (b[i] - mb);
        saa += (a[i] - ma) * (a[i] - ma);
        sbb += (b[i] - mb) * (b[i] - mb);
    }
    return saa > 0 && sbb > 0 ? sab / std::sqrt(saa * sbb) : 0.0;
}

double hue_degrees(double r, double g, double b)
{
    const double mx = std::max({r, g, b}), mn = std::min({r, g, b}), d = mx - mn;
    if (!(d > 0))
        return 0;
    double h = mx == r ? (g - b) / d : mx == g ? (b - r) / d + 2 : (r - g) / d + 4;
    h *= 60;
    return h < 0 ? h + 360 : h;
}

double hue_distance(double a, double b)
{
    const double d = std::fmod(std::fabs(a - b), 360.0);
    return d > 180 ? 360 - d : d;
}

} // namespace testsupport
