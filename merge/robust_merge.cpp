// The ghost-robust merge. Radiance agreement is judged against 3 x 3 medians rather than the
// pixel itself, so noise and edges move the weights little while an object present in one photo
// only departs from every other photo's median.
#include "merge/robust_merge.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include "merge/detail/classic_steps.h"
#include "merge/detail/quick_select.h"

namespace {

using merge::detail::kLumaCodes;

constexpr int kClipLuma = 64000, kDarkLuma = 1280;
constexpr int kJump = 52000;                // a clipped photo after one this much darker is kept
constexpr float kAgreement = 1.0f / 256.0f; // deviation sums below it count as full agreement

struct Plan {
    int n, width, height, spp;
    std::vector<const uint8_t *> ranked; // photo pixels by ascending exposure
    std::vector<float> inv;              // reciprocal exposures in ranking order
    std::vector<float> hat;
    const float *lut;
};

inline int luma_at(const uint8_t *px, int gpos, int bpos)
{
    return 54 * px[0] + 183 * px[gpos] + 19 * px[bpos];
}

// The photos' 3 x 3 medians of linear luma at an interior pixel, in ranking order: without the
// centre (the photo's own reference) and with it (the reference for the other photos).
void local_medians(const Plan &p, size_t at, int gpos, int bpos, float *own, float *others)
{
    const size_t dx = size_t(p.spp), dy = size_t(p.width) * size_t(p.spp);
    const size_t offsets[8] = {at - dy - dx, at - dy,      at - dy + dx, at - dx,
                               at + dx,      at + dy - dx, at + dy,      at + dy + dx};
    for (int l = 0; l < p.n; ++l) {
        const uint8_t *photo = p.ranked[size_t(l)];
        float eight[8], nine[9];
        for (int i = 0; i < 8; ++i)
            nine[i] = eight[i] = p.lut[luma_at(photo + offsets[i], gpos, bpos) >> 8];
        nine[8] = p.lut[luma_at(photo + at, gpos, bpos) >> 8];
        own[l] = merge::detail::quick_select(eight, nullptr, 8);
        others[l] = merge::detail::quick_select(nine, nullptr, 9);
    }
}

void merge_rows(const Plan &p, merge::detail::ClassicStats &st, uint8_t *out)
{
    const int gpos = p.spp >= 3 ? 1 : 0, bpos = p.spp >= 3 ? 2 : 0;
    std::vector<float> own(size_t(p.n)), others(size_t(p.n));
    for (int row = 0; row < p.height; ++row) {
        uint8_t *outRow = out + size_t(4) * size_t(p.width) * size_t(row);
        for (int x = 0; x < p.width; ++x) {
            const size_t at = (size_t(row) * size_t(p.width) + size_t(x)) * size_t(p.spp);
            const bool inside = row > 0 && row < p.height - 1 && x > 0 && x < p.width - 1;
            if (inside)
                local_medians(p, at, gpos, bpos, own.data(), others.data());
            float sr = 0.0f, sg = 0.0f, sb = 0.0f, sw = 0.0f;
            for (int j = 0; j < p.n; ++j) {
                const uint8_t *px = p.ranked[size_t(j)] + at;
                const int v = luma_at(px, gpos, bpos);
                if (v > kClipLuma) {
                    if (j == 0) {
                        sr = sg = sb = merge::detail::kMarker;
                        sw = 1.0f;
                        break;
                    }
                    if (v - luma_at(p.ranked[size_t(j - 1)] + at, gpos, bpos) < kJump)
                        break;
                } else if (v < kDarkLuma) {
                    if (j == p.n - 1) {
                        sr = sg = sb = 0.0f;
                        break;
                    }
                    sr = sg = sb = sw = 0.0f;
                }
                const float h = p.hat[size_t(v)];
                float w = h;
                if (inside) {
                    const float radiance = p.lut[v >> 8] * p.inv[size_t(j)];
                    float deviation = 0.0f;
                    for (int l = 0; l < p.n; ++l) {
                        const float m = l == j ? own[size_t(l)] : others[size_t(l)];
                        if (m > 0.0f)
                            deviation += h * std::fabs(1.0f - radiance / (p.inv[size_t(l)] * m));
                    }
                    w = h > 0.0f ? h / std::max(deviation, h * kAgreement) : 0.0f;
                }
                sw += w;
                const float q = w * p.inv[size_t(j)];
                sr += q * p.lut[px[0]];
                sg += q * p.lut[px[gpos]];
                sb += q * p.lut[px[bpos]];
            }
            float rgb[3] = {0.0f, 0.0f, 0.0f};
            if (sw > 0.0f) {
                rgb[0] = sr / sw;
                rgb[1] = sg / sw;
                rgb[2] = sb / sw;
            }
            st.add(rgb[0], rgb[1], rgb[2]);
            merge::detail::put_classic(outRow, p.width, x, rgb[0], rgb[1], rgb[2], false);
        }
    }
}

int merge_checked(int selector, int n, int width, int height, int spp, int bps, int curveMode,
                  float *lut, float *exposures, const void *stack, float *stats, uint8_t *out,
                  float target)
{
    if (bps != 8)
        return -1;
    merge::detail::ClassicStart start;
    if (const int r = merge::detail::classic_start(n, width, height, spp, bps, curveMode, lut,
                                                   exposures, stack, stats, out, target, start);
        r < 0)
        return r;
    const std::vector<float> &t = start.exposures;

    // Everything is allocated before the first write.
    Plan p{n, width, height, spp, {}, {}, {}, lut};
    p.hat.resize(kLumaCodes);
    const size_t photoBytes = size_t(width) * size_t(height) * size_t(spp);
    for (int j = 0; j < n; ++j) {
        const size_t k = size_t(start.order[size_t(j)]);
        p.ranked.push_back(static_cast<const uint8_t *>(stack) + k * photoBytes);
        p.inv.push_back(1.0f / t[k]);
    }
    merge::detail::hat_table(p.hat.data());

    merge::detail::gamma_curve(256, start.curve.gamma, lut, start.curve.scale);
    for (int k = 0; k < n; ++k)
        exposures[k] = 1.0f / t[size_t(k)];

    merge::detail::ClassicStats st;
    merge_rows(p, st, out);
    merge::detail::finish_classic(st, stats, out, width, height > 0 ? height : 0, selector != 2);
    return height > 0 ? height : 0;
}

} // namespace

float fqs(float *values, int count)
{
    return values == nullptr ? 0.0f : merge::detail::quick_select(values, nullptr, count);
}

int calc_hdr_robust(int selector, int n, int width, int height, int spp, int bps, int curveMode,
                    float *lut, float *exposures, const void *stack, float *stats, uint8_t *rgbeOut,
                    float target)
{
    try {
        return merge_checked(selector, n, width, height, spp, bps, curveMode, lut, exposures, stack,
                             stats, rgbeOut, target);
    } catch (const std::bad_alloc &) {
        return -4;
    }
}
