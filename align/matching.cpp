// Descriptor matching and the sampled projective fit.
#include "align/matching.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>
#include <vector>

#include "align/detail/matching.h"
#include "align/detail/transform_fit.h"
#include "align/feature_points.h"
#include "align/lm_adapter.h"
#include "align/projective.h"
#include "align/transform_utils.h"
#include "imagecore/float_clamp.h"

namespace {

constexpr float kNoMatch = 99999999.0f; // 1e8 in single precision
constexpr int kScaleBand = 50;
constexpr double kRatio = 0.4;

template <bool scaled> void residuals(const double *par, int m, const void *data, double *fvec)
{
    if (!par || !data || !fvec || m < 1)
        return;
    const auto *p = static_cast<const PairBlock *>(data);
    for (int k = 0; k < m / 2; ++k) {
        double X, Y;
        map_point(par, double(p->x1[k]), double(p->y1[k]), &X, &Y);
        fvec[2 * k] = double(p->x2[k]) - X;
        fvec[2 * k + 1] = double(p->y2[k]) - Y;
        if constexpr (scaled) {
            fvec[2 * k] /= 1000.0;
            fvec[2 * k + 1] /= 1000.0;
        }
    }
    if (m % 2)
        fvec[m - 1] = 0.0;
}

// One anchor's best sample.
struct Sample {
    float t[kTransformSize] = {};
    int r1 = 0, r2 = 0, r3 = 0;
    int count = 0;
    float meanError = 0.0f;
};

// Position of a draw among nUse, computed in float as rand() x 2^-31 x nUse: a draw near the top
// rounds to nUse and is capped.
int draw_position(AlignContext *ctx, int nUse)
{
    const float r = float(align_rand(ctx)) * 4.656612873077393e-10f * float(nUse);
    return std::min(int(r), nUse - 1);
}

bool plausible(const float *t, int width)
{
    const float w = float(width);
    for (int i = 0; i < kTransformSize; ++i)
        if (!std::isfinite(t[i]))
            return false;
    return std::fabs(t[2]) / w <= 0.2f && std::fabs(t[5]) / w <= 0.2f && std::fabs(t[0]) >= 0.7f &&
           std::fabs(t[0]) <= 1.3f && std::fabs(t[1]) < 0.3f && std::fabs(t[3]) < 0.3f &&
           std::fabs(t[4]) >= 0.7f && std::fabs(t[4]) <= 1.3f;
}

// The squared error of pair k under t, the mapped point computed in single precision and
// truncated to whole pixels; -1 for a point mapped past the int range, which is never converted.
int64_t pair_error(const float *t, const PairBlock &pairs, int k)
{
    const float g = t[6] / float(kPerspectiveScale), h = t[7] / float(kPerspectiveScale);
    const float x = float(pairs.x1[k]), y = float(pairs.y1[k]);
    const float q = g * x + h * y + 1.0f;
    const float X = (t[0] * x + t[1] * y + t[2]) / q;
    const float Y = (t[3] * x + t[4] * y + t[5]) / q;
    if (!(std::fabs(X) < 1e9f) || !(std::fabs(Y) < 1e9f))
        return -1;
    const int64_t ex = int64_t(pairs.x2[k]) - int64_t(int(X));
    const int64_t ey = int64_t(pairs.y2[k]) - int64_t(int(Y));
    return ex * ex + ey * ey;
}

// An inlier lies within this squared error (under 2 pixels).
constexpr int64_t kInlierError = 4;

// Inliers of t among the positions: the count starts at 2 and skips the anchor, r1 and r2; r3
// is tested like any other position.
void count_inliers(const float *t, const PairBlock &pairs, const std::vector<int> &pos, int a,
                   int r1, int r2, int *count, int *errorSum)
{
    *count = 2;
    *errorSum = 0;
    for (int p = 0; p < int(pos.size()); ++p) {
        if (p == a || p == r1 || p == r2)
            continue;
        const int64_t err = pair_error(t, pairs, pos[size_t(p)]);
        if (err >= 0 && err < kInlierError) {
            ++*count;
            *errorSum += int(err);
        }
    }
}

// Local scale and shear of the mapping at (x, y): the Jacobian, by central differences over
// one pixel, written as a rotation times [[sx, k], [0, sy]].
struct LocalMotion {
    double sx, sy, k;
};

LocalMotion local_motion(const float *t, double x, double y)
{
    double xl, yl, xr, yr, xu, yu, xd, yd;
    map_point(t, x - 1, y, &xl, &yl);
    map_point(t, x + 1, y, &xr, &yr);
    map_point(t, x, y - 1, &xu, &yu);
    map_point(t, x, y + 1, &xd, &yd);
    const double jxx = (xr - xl) / 2, jyx = (yr - yl) / 2, jxy = (xd - xu) / 2, jyy = (yd - yu) / 2;
    const double sx = std::hypot(jxx, jyx);
    if (!(sx > 0))
        return {0, 0, 1e9};
    const double c = jxx / sx, s = jyx / sx;
    return {sx, -s * jxy + c * jyy, c * jxy + s * jyy};
}

} // namespace

// Chosen from the steps of three real brackets (a hand-held phone bracket of 3264 x 2448 and two
// tripod brackets of 1600 x 1200 and 2816 x 2112, 12 steps, each fitted on reduced copies and
// refined at full size):
// - the steps taken (on the phone bracket a SIFT measure puts neighbouring photos 1 to 5 pixels
//   apart after them, 13 to 25 before): local scale 0.984 .. 1.015 over the frame (the phone
//   refocuses between exposures), shear at most 0.008, and 25 to 97 % of the pairs within 2
//   pixels of the fit, never fewer than 30 pairs;
// - false fits: two steps of the phone bracket matched at full size, fitted with 3 and 1 of 133
//   pairs agreeing (and before this test one accepted with scale 1.127); one fit on reduced
//   copies 10 pixels off at full size, with shear 0.017 and scale 0.987 .. 1.024; and the tripod
//   step of shear -0.22 that cut 1024 x 683 to 853 x 622.
// The limits lie between the two.
constexpr double kMaxScaleChange = 0.03;
constexpr double kMaxShear = 0.01;
constexpr int kMinAgreeing = 12;
constexpr double kMinAgreeingShare = 0.15;

bool step_accepted(const float *t, int width, int height, int nPairs, const int *x1, const int *y1,
                   const int *x2, const int *y2)
{
    if (!t || width < 1 || height < 1 || nPairs < 1 || !x1 || !y1 || !x2 || !y2 ||
        !transform_is_finite(t, width, height))
        return false;
    const PairBlock pairs{x1, y1, x2, y2};
    int agreeing = 0;
    for (int k = 0; k < nPairs; ++k) {
        const int64_t err = pair_error(t, pairs, k);
        agreeing += err >= 0 && err < kInlierError;
    }
    if (agreeing < kMinAgreeing || double(agreeing) < kMinAgreeingShare * double(nPairs))
        return false;
    const double w = width, h = height;
    const double at[5][2] = {{w / 2, h / 2}, {0, 0}, {w, 0}, {0, h}, {w, h}};
    for (const auto &p : at) {
        const LocalMotion m = local_motion(t, p[0], p[1]);
        if (!(std::fabs(m.sx - 1) <= kMaxScaleChange && std::fabs(m.sy - 1) <= kMaxScaleChange &&
              std::fabs(m.k) <= kMaxShear))
            return false;
    }
    return true;
}

void evaluate_single_transform8(const double *par, int m, const void *data, double *fvec, int *)
{
    residuals<false>(par, m, data, fvec);
}

void evaluate_transform(const double *par, int m, const void *data, double *fvec, int *)
{
    residuals<true>(par, m, data, fvec);
}

int align::detail::match_candidates(int maxShiftX, int maxShiftY, int nA, const int *xA,
                                    const int *yA, const int *scaleA, const float *descA, int nB,
                                    const int *xB, const int *yB, const int *scaleB,
                                    const float *descB, std::vector<Candidate> &candidates)
{
    candidates.clear();
    if (nA < 0 || nB < 0)
        return -3;
    if (nA == 0 || nB == 0)
        return 0;
    if (!xA || !yA || !scaleA || !descA || !xB || !yB || !scaleB || !descB)
        return -3;
    try {
        candidates.reserve(size_t(std::min(nA, kMaxCandidatePairs)));
        std::vector<int> slotOfB(size_t(nB), -1);
        for (int i = 0; i < nA && int(candidates.size()) < kMaxCandidatePairs; ++i) {
            const int64_t s = scaleA[i], xa = xA[i], ya = yA[i];
            float best = kNoMatch, second = kNoMatch;
            int bestJ = -1;
            for (int j = 0; j < nB; ++j) {
                // B is sorted by y, not by scale: a point outside the band is skipped, never
                // taken as the end of the list.
                if (scaleB[j] < s - kScaleBand || scaleB[j] > s + kScaleBand)
                    continue;
                if (yB[j] < ya - maxShiftY)
                    continue;
                if (yB[j] > ya + maxShiftY)
                    break;
                if (xB[j] < xa - maxShiftX || xB[j] > xa + maxShiftX)
                    continue;
                float d;
                descr_diff5(descA + size_t(i) * kDescriptorSize, 0,
                            descB + size_t(j) * kDescriptorSize, 0, kDescriptorSize, &d);
                if (d < best) {
                    second = best;
                    best = d;
                    bestJ = j;
                }
            }
            if (!(best < kNoMatch))
                continue;
            if (second < kNoMatch) {
                const float ratio = second > 0.0f ? best / second : 0.0f;
                if (double(ratio) > kRatio)
                    continue;
            }
            int &slot = slotOfB[size_t(bestJ)];
            if (slot >= 0) {
                if (candidates[size_t(slot)].d > best)
                    candidates[size_t(slot)] = {i, bestJ, best};
            } else {
                slot = int(candidates.size());
                candidates.push_back({i, bestJ, best});
            }
        }
        std::stable_sort(candidates.begin(), candidates.end(),
                         [](const Candidate &l, const Candidate &r) { return l.d < r.d; });
        return int(candidates.size());
    } catch (const std::bad_alloc &) {
        candidates.clear();
        return -4;
    }
}

int find_paires(int maxPairs, int maxShiftX, int maxShiftY, int nA, const int *xA, const int *yA,
                const int *scaleA, const float *descA, int nB, const int *xB, const int *yB,
                const int *scaleB, const float *descB, int *x1, int *y1, int *x2, int *y2,
                float *distance)
{
    if (maxPairs < 0 || nA < 0 || nB < 0)
        return -3;
    if (maxPairs == 0 || nA == 0 || nB == 0)
        return 0;
    if (!x1 || !y1 || !x2 || !y2 || !distance)
        return -3;
    std::vector<align::detail::Candidate> candidates;
    const int found = align::detail::match_candidates(maxShiftX, maxShiftY, nA, xA, yA, scaleA,
                                                      descA, nB, xB, yB, scaleB, descB, candidates);
    if (found < 0)
        return found;
    const int n = std::min(found, maxPairs);
    for (int k = 0; k < n; ++k) {
        const align::detail::Candidate &c = candidates[size_t(k)];
        x1[k] = xA[c.a];
        y1[k] = yA[c.a];
        x2[k] = xB[c.b];
        y2[k] = yB[c.b];
        distance[k] = c.d;
    }
    return n;
}

int calc_transform4(const float *pairs, float *transform)
{
    if (!pairs || !transform)
        return -3;
    int ip[16];
    for (int i = 0; i < 16; ++i) {
        if (!(std::fabs(pairs[i]) < 2147483520.0f)) // the largest float below 2^31
            return -3;
        ip[i] = int(pairs[i]);
    }
    // Affine start through the first three pairs, kept in double for the fit.
    double par[kTransformSize] = {};
    if (align::detail::solve_affine3(pairs, par) != 1)
        return -1;
    int x1[4], y1[4], x2[4], y2[4];
    for (int k = 0; k < 4; ++k) {
        x1[k] = ip[4 * k];
        y1[k] = ip[4 * k + 1];
        x2[k] = ip[4 * k + 2];
        y2[k] = ip[4 * k + 3];
    }
    const PairBlock block{x1, y1, x2, y2};
    lm_status_struct status;
    lmmin(kTransformSize, par, 8, &block, evaluate_single_transform8, &lm_control_double, &status);
    if (status.outcome == -4)
        return -4;
    bool finite = true;
    for (int i = 0; i < kTransformSize; ++i) {
        transform[i] = float(par[i]);
        finite = finite && std::isfinite(transform[i]);
    }
    return finite && status.fnorm <= 10.0 ? 1 : -1;
}

float find_at9(AlignContext *ctx, int width, int height, int nPairs, const int *x1, const int *y1,
               const int *x2, const int *y2, const float *distance, float *transform, int)
{
    if (!transform)
        return -3.0f;
    make_identity(transform);
    if (!ctx || width < 1 || height < 1 || nPairs < 0 ||
        (nPairs > 0 && (!x1 || !y1 || !x2 || !y2 || !distance)))
        return -3.0f;
    // Every pair is ranked and sampled. Capping them at the run's budget left the later tiles
    // of a large photo out of the fit (on a 5 x 12 MP bracket 441 of 791 pairs were used).
    const int nUse = nPairs;
    const int nSel = nUse - 1;
    if (nSel < 1)
        return -1.0f;
    try {
        // Positions: the first nSel pairs by whole distance (stable), the last position pair 0.
        std::vector<int> pos(size_t(nUse), 0);
        for (int k = 0; k < nSel; ++k)
            pos[size_t(k)] = k;
        std::stable_sort(pos.begin(), pos.begin() + nSel, [distance](int l, int r) {
            return imagecore::clamp_to_int(distance[l]) < imagecore::clamp_to_int(distance[r]);
        });
        const PairBlock pairs{x1, y1, x2, y2};
        const auto px = [&](int p) { return int64_t(x1[pos[size_t(p)]]); };
        const auto py = [&](int p) { return int64_t(y1[pos[size_t(p)]]); };

        std::vector<Sample> samples(static_cast<size_t>(nSel));
        int bestCount = 0, bestAnchor = 0;
        for (int a = 0; a < nSel; ++a) {
            Sample &rec = samples[size_t(a)];
            int r3 = 0;
            for (int pass = 0; pass < 5; ++pass) {
                for (int attempt = 0; attempt < 50; ++attempt) {
                    int r1 = 0, r2 = 0;
                    int64_t widest = 0;
                    for (int draw = 0; draw < 10; ++draw) {
                        const int t1 = draw_position(ctx, nUse);
                        if (t1 == a)
                            continue;
                        const int t2 = draw_position(ctx, nUse);
                        if (t2 == a || t2 == t1)
                            continue;
                        const int t3 = draw_position(ctx, nUse);
                        if (t3 == a || t3 == t1 || t3 == t2)
                            continue;
                        const int64_t spread =
                            std::llabs(px(t1) - px(a)) + std::llabs(px(t2) - px(a)) +
                            std::llabs(py(t1) - py(a)) + std::llabs(py(t2) - py(a)) +
                            std::llabs(px(t3) - px(a)) + std::llabs(px(t3) - px(t1)) +
                            std::llabs(py(t3) - py(a)) + std::llabs(py(t3) - py(t1));
                        if (spread > widest) {
                            widest = spread;
                            r1 = t1, r2 = t2, r3 = t3;
                        }
                    }
                    float four[16];
                    const int sample[4] = {a, r1, r2, r3};
                    for (int k = 0; k < 4; ++k) {
                        const int pair = pos[size_t(sample[k])];
                        four[4 * k] = float(x1[pair]);
                        four[4 * k + 1] = float(y1[pair]);
                        four[4 * k + 2] = float(x2[pair]);
                        four[4 * k + 3] = float(y2[pair]);
                    }
                    float t[kTransformSize];
                    const int fit = calc_transform4(four, t);
                    if (fit == -4)
                        return -4.0f;
                    if (fit != 1 || !plausible(t, width))
                        continue;
                    int count, errorSum;
                    count_inliers(t, pairs, pos, a, r1, r2, &count, &errorSum);
                    if (count > rec.count) {
                        std::copy(t, t + kTransformSize, rec.t);
                        rec.r1 = r1, rec.r2 = r2, rec.r3 = r3;
                        rec.count = count;
                        rec.meanError = float(errorSum) / float(count);
                    }
                    if (count > bestCount) {
                        bestCount = count;
                        bestAnchor = a;
                    }
                    break;
                }
            }
        }
        if (bestCount < 5)
            return -1.0f;

        // Refinement list: the positions of every anchor close to the best, each once.
        const int qualifying = bestCount * 80 / 100;
        std::vector<char> listed(size_t(nUse), 0);
        std::vector<int> rx1, ry1, rx2, ry2;
        const Sample *check = nullptr;
        float smallestError = 999999.0f;
        for (int a = 0; a < nSel; ++a) {
            const Sample &rec = samples[size_t(a)];
            if (rec.count < qualifying)
                continue;
            for (int p : {a, rec.r1, rec.r2, rec.r3}) {
                if (listed[size_t(p)])
                    continue;
                listed[size_t(p)] = 1;
                const int pair = pos[size_t(p)];
                rx1.push_back(x1[pair]);
                ry1.push_back(y1[pair]);
                rx2.push_back(x2[pair]);
                ry2.push_back(y2[pair]);
            }
            if (rec.meanError < smallestError) {
                smallestError = rec.meanError;
                check = &rec;
            }
        }
        if (check && (std::fabs(check->t[2]) / float(width) > 0.2f ||
                      std::fabs(check->t[5]) / float(height) > 0.2f))
            return -1.0f;

        double par[kTransformSize];
        std::copy(samples[size_t(bestAnchor)].t, samples[size_t(bestAnchor)].t + kTransformSize,
                  par);
        const PairBlock block{rx1.data(), ry1.data(), rx2.data(), ry2.data()};
        lm_control_struct control = lm_control_double;
        control.ftol = 1e-6;
        control.maxfev = 99999;
        lm_status_struct status;
        lmmin(kTransformSize, par, 2 * int(rx1.size()), &block, evaluate_transform, &control,
              &status);
        if (status.outcome == -4)
            return -4.0f;
        float refined[kTransformSize];
        for (int i = 0; i < kTransformSize; ++i)
            refined[i] = float(par[i]);
        const float norm = float(status.fnorm);
        if (!transform_is_finite(refined, width, height) || !std::isfinite(norm))
            return -1.0f;
        std::copy(refined, refined + kTransformSize, transform);
        return norm;
    } catch (const std::bad_alloc &) {
        return -4.0f;
    }
}
