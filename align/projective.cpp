// Transform checks and the elimination solve of the aligner's fits.
#include "align/projective.h"

#include <utility>

bool transform_is_finite(const float *t, int width, int height)
{
    if (!t)
        return false;
    for (int i = 0; i < kTransformSize; ++i)
        if (!std::isfinite(t[i]))
            return false;
    const double corners[4][2] = {
        {0, 0}, {double(width), 0}, {0, double(height)}, {double(width), double(height)}};
    for (const auto &c : corners) {
        float X, Y;
        map_point_stored(t, float(c[0]), float(c[1]), &X, &Y);
        if (!std::isfinite(X) || !std::isfinite(Y))
            return false;
    }
    return true;
}

int gauss_elim(int n, double *a, double *b, double *x)
{
    if (n < 1 || !a || !b || !x)
        return -3;
    const auto at = [n, a](int r, int c) -> double & {
        return a[size_t(r) * size_t(n) + size_t(c)];
    };
    for (int k = 0; k < n; ++k) {
        int pivot = k;
        double largest = std::fabs(at(k, k));
        for (int r = k + 1; r < n; ++r)
            if (std::fabs(at(r, k)) > largest) {
                largest = std::fabs(at(r, k));
                pivot = r;
            }
        if (largest == 0.0 || !std::isfinite(largest))
            return -1;
        if (pivot != k) {
            for (int c = 0; c < n; ++c)
                std::swap(at(k, c), at(pivot, c));
            std::swap(b[k], b[pivot]);
        }
        for (int r = k + 1; r < n; ++r) {
            const double factor = at(r, k) / at(k, k);
            for (int c = k; c < n; ++c)
                at(r, c) -= factor * at(k, c);
            b[r] -= factor * b[k];
        }
    }
    for (int k = n - 1; k >= 0; --k) {
        double s = b[k];
        for (int c = k + 1; c < n; ++c)
            s -= at(k, c) * x[c];
        x[k] = s / at(k, k);
    }
    return 1;
}
