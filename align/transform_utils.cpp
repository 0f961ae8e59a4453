// Residuals, exact fits and simplex fits of alignment transforms, and their small helpers.
// The simplex follows Nelder and Mead (1965): reflection, expansion, contraction and shrink of
// ndim + 1 vertices, ranked by integer residuals.
#include "align/transform_utils.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

#include "align/detail/transform_fit.h"
#include "align/projective.h"
#include "imagecore/float_clamp.h"
#include "platform/checked_size.h"

namespace {

constexpr int kAffineSize = 6;

using ResidualFn = int (*)(int, int, const float *, int, const int *, const int *, const int *,
                           const int *);

struct SimplexMember {
    int ndim;
    ResidualFn residual;
    int passLimit;
    float tolerance;
};

// The sum of |X - X'| + |Y - Y'| over the pairs, (X', Y') the source point mapped by map.
template <class Map>
int summed_residual(int n, const float *transforms, int index, const int *x, const int *y,
                    const int *X, const int *Y, Map map)
{
    if (n < 1)
        return 0;
    if (!transforms || index < 0 || !x || !y || !X || !Y)
        return -3;
    const float *t = transforms + index;
    float sum = 0.0f;
    for (int k = 0; k < n; ++k) {
        float mx, my;
        map(t, float(x[k]), float(y[k]), &mx, &my);
        sum += std::fabs(float(X[k]) - mx) + std::fabs(float(Y[k]) - my);
    }
    // NaN or beyond the int range ranks last, never first.
    return imagecore::clamp_to_int(double(sum), 0, INT_MAX, INT_MAX);
}

template <class Sample, int shift>
void grey_pixels(const Sample *src, size_t pixels, int spp, unsigned char *grey)
{
    const size_t mid = size_t((spp - 1) / 2), last = size_t(spp - 1);
    for (size_t i = 0; i < pixels; ++i, src += spp) {
        const unsigned s0 = src[0] >> shift, sm = src[mid] >> shift, sl = src[last] >> shift;
        grey[i] = static_cast<unsigned char>((54 * s0 + 183 * sm + 19 * sl) >> 8);
    }
}

} // namespace

int convert_trans_6to8(const float *affine, float *projective)
{
    if (!affine || !projective)
        return -3;
    for (int i = 0; i < kAffineSize; ++i)
        projective[i] = affine[i];
    projective[6] = projective[7] = 0.0f;
    return 0;
}

int calc_diff4trans(int, int n, const float *transforms, int index, const int *x, const int *y,
                    const int *X, const int *Y)
{
    const auto affine = [](const float *t, float px, float py, float *mx, float *my) {
        *mx = t[0] * px + t[1] * py + t[2];
        *my = t[3] * px + t[4] * py + t[5];
    };
    return summed_residual(n, transforms, index, x, y, X, Y, affine);
}

int calc_diff8trans(int, int n, const float *transforms, int index, const int *x, const int *y,
                    const int *X, const int *Y)
{
    return summed_residual(n, transforms, index, x, y, X, Y, map_point_stored);
}

int trRot(float *affine, FloatPoint p1, FloatPoint p2, FloatPoint q1, FloatPoint q2)
{
    if (!affine)
        return -3;
    if (p1.x == p2.x || p1.y == p2.y)
        return -1;
    const float ux = p1.x - p2.x, uy = p1.y - p2.y;
    const float vx = q1.x - q2.x, vy = q1.y - q2.y;
    const float len = ux * ux + uy * uy;
    const float s = (ux * vy - uy * vx) / len;
    if (!(s >= -1.0f && s <= 1.0f)) // also refuses NaN
        return -1;
    const float k = (ux * vx + uy * vy) / len;
    // Both components decide the quadrant; either alone loses the sign or folds angles past 90
    // degrees.
    const float theta = std::atan2(s, k);
    const float cs = std::cos(theta), sn = std::sin(theta);
    const float out[kAffineSize] = {cs, -sn, q1.x - p1.x * cs + p1.y * sn,
                                    sn, cs,  q1.y - p1.x * sn - p1.y * cs};
    for (float v : out)
        if (!std::isfinite(v))
            return -1;
    for (int i = 0; i < kAffineSize; ++i)
        affine[i] = out[i];
    return 1;
}

int align::detail::solve_affine3(const float *pairs, double *abcdef)
{
    // Unknowns in the order a, b, d, e, c, f.
    double a[36] = {}, b[6], x[6];
    for (int k = 0; k < 3; ++k) {
        const double px = pairs[4 * k], py = pairs[4 * k + 1];
        double *rx = a + 12 * k, *ry = rx + 6;
        rx[0] = px, rx[1] = py, rx[4] = 1.0;
        ry[2] = px, ry[3] = py, ry[5] = 1.0;
        b[2 * k] = pairs[4 * k + 2];
        b[2 * k + 1] = pairs[4 * k + 3];
    }
    if (gauss_elim(6, a, b, x) != 1)
        return -1;
    const double out[kAffineSize] = {x[0], x[1], x[4], x[2], x[3], x[5]};
    for (int i = 0; i < kAffineSize; ++i) {
        if (!std::isfinite(out[i]))
            return -1;
        abcdef[i] = out[i];
    }
    return 1;
}

int calc_transform3(float *affine, FloatPoint p1, FloatPoint q1, FloatPoint p2, FloatPoint q2,
                    FloatPoint p3, FloatPoint q3)
{
    if (!affine)
        return -3;
    const float pairs[12] = {p1.x, p1.y, q1.x, q1.y, p2.x, p2.y,
                             q2.x, q2.y, p3.x, p3.y, q3.x, q3.y};
    double t[kAffineSize];
    if (align::detail::solve_affine3(pairs, t) != 1)
        return -1;
    float out[kAffineSize];
    for (int i = 0; i < kAffineSize; ++i) {
        out[i] = float(t[i]);
        if (!std::isfinite(out[i])) // beyond the float range
            return -1;
    }
    for (int i = 0; i < kAffineSize; ++i)
        affine[i] = out[i];
    return 1;
}

int align::detail::downhill_simplex(SimplexFit fit, int ndim, int n, const int *x, const int *y,
                                    const int *X, const int *Y, const float *start, float *result,
                                    int *passes)
{
    static constexpr SimplexMember kProjective{kTransformSize, calc_diff8trans, 150000, 0.0001f};
    static constexpr SimplexMember kAffine{kAffineSize, calc_diff4trans, 15, 0.001f};
    const SimplexMember &member = fit == SimplexFit::Affine ? kAffine : kProjective;
    if (passes)
        *passes = 0;
    if (ndim != member.ndim || n < 0 || !start || !result || (n > 0 && (!x || !y || !X || !Y)))
        return -3;
    try {
        const int nv = ndim + 1;
        const size_t dim = size_t(ndim);
        std::vector<float> p(start, start + size_t(nv) * dim);
        std::vector<int> r(static_cast<size_t>(nv));
        std::vector<float> mid(dim), refl(dim), trial(dim);
        const auto vertex = [&p, dim](int i) { return p.data() + size_t(i) * dim; };
        const auto residual = [&](const float *v) {
            return member.residual(ndim, n, v, 0, x, y, X, Y);
        };
        const auto replace = [&](int i, const std::vector<float> &v, int rv) {
            std::copy(v.begin(), v.end(), vertex(i));
            r[size_t(i)] = rv;
        };
        for (int i = 0; i < nv; ++i)
            r[size_t(i)] = residual(vertex(i));

        int lo = 0, pass = 0;
        bool last = false;
        while (!last && pass < member.passLimit) {
            ++pass;
            int hi = r[1] > r[0] ? 1 : 0, nhi = 1 - hi;
            lo = 0;
            for (int i = 0; i < nv; ++i) {
                const int ri = r[size_t(i)];
                if (ri < r[size_t(lo)])
                    lo = i;
                if (ri > r[size_t(hi)]) {
                    nhi = hi;
                    hi = i;
                } else if (i != hi && ri > r[size_t(nhi)]) {
                    nhi = i;
                }
            }
            const int rLo = r[size_t(lo)], rHi = r[size_t(hi)], rNhi = r[size_t(nhi)];
            if (rLo == 0)
                last = true;
            // In double: the int sum can overflow. 0 / 0 gives NaN, which does not stop.
            const float spread = float(std::fabs((double(rHi) - rLo) / (double(rLo) + rHi)));
            if (spread < member.tolerance)
                break;

            const float *pHi = vertex(hi);
            for (size_t j = 0; j < dim; ++j) {
                float sum = 0.0f;
                for (int i = 0; i < nv; ++i)
                    if (i != hi)
                        sum += vertex(i)[j];
                mid[j] = sum / float(ndim);
                refl[j] = 2.0f * mid[j] - pHi[j];
            }
            const int rR = residual(refl.data());
            if (rR <= rLo) {
                for (size_t j = 0; j < dim; ++j)
                    trial[j] = float(2.0 * double(refl[j]) - double(mid[j]));
                const int rE = residual(trial.data());
                if (rE < rLo)
                    replace(hi, trial, rE);
                else
                    replace(hi, refl, rR);
            } else if (rR >= rNhi) {
                if (rR < rHi)
                    replace(hi, refl, rR);
                for (size_t j = 0; j < dim; ++j)
                    trial[j] = 0.5f * (mid[j] + pHi[j]);
                const int rK = residual(trial.data());
                if (rK < r[size_t(hi)]) {
                    replace(hi, trial, rK);
                } else {
                    const float *pLo = vertex(lo);
                    for (int i = 0; i < nv; ++i) {
                        if (i == lo)
                            continue;
                        float *v = vertex(i);
                        for (size_t j = 0; j < dim; ++j)
                            v[j] = 0.5f * (v[j] + pLo[j]);
                        r[size_t(i)] = residual(v);
                    }
                }
            } else {
                replace(hi, refl, rR);
            }
        }
        if (passes)
            *passes = pass;
        std::copy(vertex(lo), vertex(lo) + dim, result);
        return 1;
    } catch (const std::bad_alloc &) {
        return -4;
    }
}

int find_transform(int ndim, int n, const int *x, const int *y, const int *X, const int *Y,
                   const float *start, float *result)
{
    return align::detail::downhill_simplex(align::detail::SimplexFit::Projective, ndim, n, x, y, X,
                                           Y, start, result, nullptr);
}

int find_affine(int ndim, int n, const int *x, const int *y, const int *X, const int *Y,
                const float *start, float *result)
{
    return align::detail::downhill_simplex(align::detail::SimplexFit::Affine, ndim, n, x, y, X, Y,
                                           start, result, nullptr);
}

int descr_diff5(const float *A, int indexA, const float *B, int indexB, int length, float *result)
{
    if (!result)
        return -3;
    if (length < 1) {
        *result = 0.0f;
        return 0;
    }
    if (!A || !B || indexA < 0 || indexB < 0)
        return -3;
    const float *a = A + indexA, *b = B + indexB;
    float d = 0.0f;
    for (int i = 0; i < length; ++i) {
        const float diff = a[i] - b[i];
        d += diff * diff;
    }
    *result = d;
    return length;
}

int greyscale(int width, int height, int spp, int bps, int offset, const void *stack,
              unsigned char *grey)
{
    if (!stack || !grey || width < 1 || spp < 1 || offset < 0)
        return -3;
    if ((bps != 8 && bps != 16) || height < 1)
        return 0;
    // The last byte read must have an address: offset + samples, in bytes, may not overflow.
    const auto samples = platform::checked_product({width, height, spp});
    if (!samples || *samples > SIZE_MAX - size_t(offset) ||
        !platform::checked_mul(*samples + size_t(offset), size_t(bps / 8)))
        return -3;
    const size_t pixels = size_t(width) * size_t(height);
    if (bps == 8)
        grey_pixels<uint8_t, 0>(static_cast<const uint8_t *>(stack) + offset, pixels, spp, grey);
    else
        grey_pixels<uint16_t, 8>(static_cast<const uint16_t *>(stack) + offset, pixels, spp, grey);
    return height;
}

int matrix_mult(int n, const float *A, const float *B, float *C)
{
    if (n < 1)
        return 0;
    if (!A || !B || !C)
        return -3;
    const size_t m = size_t(n);
    for (size_t i = 0; i < m; ++i)
        for (size_t j = 0; j < m; ++j) {
            float sum = 0.0f;
            for (size_t k = 0; k < m; ++k)
                sum += A[i * m + k] * B[k * m + j];
            C[i * m + j] = sum;
        }
    return n;
}
