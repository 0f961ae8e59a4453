// The one image comparison of the test suite: the largest absolute difference between two
// buffers and the share of values whose difference exceeds a threshold; plus buffer statistics
// for "neither flat nor clipped" checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testsupport {

struct ImageDiff {
    double maxDiff = 0;    // largest |a - b|
    double shareOver = 0;  // count / n (0 when n is 0)
    size_t count = 0;      // values with |a - b| > threshold
    size_t worstIndex = 0; // first index holding maxDiff
};

// Compares n values of a and b. For floats, two NaNs are equal and a NaN against a number is an
// infinite difference.
ImageDiff compare_images(const uint8_t *a, const uint8_t *b, size_t n, double threshold);
ImageDiff compare_images(const uint16_t *a, const uint16_t *b, size_t n, double threshold);
ImageDiff compare_images(const float *a, const float *b, size_t n, double threshold);

template <class T>
ImageDiff compare_images(const std::vector<T> &a, const std::vector<T> &b, double threshold)
{
    return compare_images(a.data(), b.data(), a.size() < b.size() ? a.size() : b.size(), threshold);
}

struct BufferStats {
    double mean = 0;
    double stddev = 0; // population standard deviation
    double min = 0, max = 0;
};

// Statistics of p[0], p[stride], p[2 x stride] ... below p[n] (p + 1 with stride 3 reads the
// green samples of an RGB buffer of n - 1 values). NaNs are skipped; all zero when nothing is
// read.
BufferStats buffer_stats(const uint8_t *p, size_t n, size_t stride = 1);
BufferStats buffer_stats(const uint16_t *p, size_t n, size_t stride = 1);
BufferStats buffer_stats(const float *p, size_t n, size_t stride = 1);

// The share of the same values at or above hi, or at or below lo: the clipped fraction.
double share_at_or_above(const uint8_t *p, size_t n, double hi, size_t stride = 1);
double share_at_or_above(const uint16_t *p, size_t n, double hi, size_t stride = 1);
double share_at_or_below(const uint8_t *p, size_t n, double lo, size_t stride = 1);
double share_at_or_below(const uint16_t *p, size_t n, double lo, size_t stride = 1);

// Pearson correlation of two series of equal length: 0 when they are empty or either is flat.
double correlation(const std::vector<double> &a, const std::vector<double> &b);

// The hue of an RGB triple in degrees, [0, 360): red 0, yellow 60, green 120, blue 240; 0 for
// a grey. hue_distance: the smaller angle between two hues, 0..180.
double hue_degrees(double r, double g, double b);
double hue_distance(double a, double b);

} // namespace testsupport
