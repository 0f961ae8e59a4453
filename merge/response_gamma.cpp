// The response gamma. Only grid pixels lit but unclipped in every photo are compared, and only
// pairs of codes in the middle half of the range, where a camera's tone curve is closest to a
// power; each photo pair gives ln(exposure ratio) / mean ln(brightness ratio).
#include "merge/response_gamma.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <numeric>
#include <vector>

#include "platform/checked_size.h"

namespace {

constexpr int kGrid = 50;
constexpr float kDefaultGamma = 2.2f;

struct Rgb {
    int r, g, b;
    int brightness() const { return int(0.1 * r + 0.6 * g + 0.3 * b); }
};

template <class T> struct Photos {
    const T *stack;
    size_t photoSamples;
    int width, spp, rpos, gpos, bpos;
    Rgb at(int k, int x, int y) const
    {
        constexpr unsigned shift = sizeof(T) == 2 ? 8 : 0;
        const T *px = stack + size_t(k) * photoSamples +
                      (size_t(y) * size_t(width) + size_t(x)) * size_t(spp);
        return {int(px[rpos] >> shift), int(px[gpos] >> shift), int(px[bpos] >> shift)};
    }
};

// Middle-bright photos tell the most.
int middle_weight(int mean)
{
    return mean <= 128 ? mean : 255 - mean;
}

template <class T>
int estimate(const Photos<T> &ph, int n, int width, int height, const float *exposures)
{
    // Grid pixels neither black nor white in any photo; the last one found is not used.
    std::vector<std::pair<int, int>> points;
    const int sy = height / kGrid + 1, sx = width / kGrid + 1;
    for (int y = 0; y < height; y += sy)
        for (int x = 0; x < width; x += sx) {
            bool usable = true;
            for (int k = 0; k < n && usable; ++k) {
                const int b = ph.at(k, x, y).brightness();
                usable = b >= 1 && b <= 254;
            }
            if (usable)
                points.emplace_back(x, y);
        }
    if (points.size() < 2)
        return -1;
    points.pop_back();
    const int64_t count = int64_t(points.size());

    std::vector<int> mean(size_t(n), 0);
    for (int k = 0; k < n; ++k) {
        int64_t sum = 0;
        for (auto [x, y] : points) {
            const Rgb c = ph.at(k, x, y);
            sum += c.r + c.g + c.b;
        }
        mean[size_t(k)] = int(sum / (3 * count));
    }
    // Brightest first; photos of equal means by index.
    std::vector<int> ranked(static_cast<size_t>(n));
    std::iota(ranked.begin(), ranked.end(), 0);
    std::stable_sort(ranked.begin(), ranked.end(),
                     [&](int a, int b) { return mean[size_t(a)] > mean[size_t(b)]; });

    float sum = 0.0f, weights = 0.0f;
    for (int i = 0; i + 1 < n; ++i) {
        const int k = ranked[size_t(i)], kd = ranked[size_t(i + 1)];
        if (exposures[kd] == 0.0f)
            continue;
        float inverse = 0.0f;
        int used = 0;
        for (auto [x, y] : points) {
            const int a = ph.at(k, x, y).brightness(), b = ph.at(kd, x, y).brightness();
            if (a < 65 || a > 191 || b < 65 || b > 191)
                continue;
            const float l = std::log(float(a) / float(b));
            if (l != 0.0f) {
                inverse += 1.0f / l;
                ++used;
            }
        }
        if (used == 0)
            continue;
        const float gamma =
            float(std::log(double(exposures[k]) / double(exposures[kd]))) * (inverse / float(used));
        if (!(gamma > 1.0f && gamma < 3.2f))
            continue;
        const float w =
            float(int((middle_weight(mean[size_t(k)]) + middle_weight(mean[size_t(kd)])) * 0.5));
        sum += gamma * w;
        weights += w;
    }
    const float gamma = weights > 0.0f ? sum / weights : kDefaultGamma;
    return int(gamma * 1000.0f);
}

} // namespace

int calc_courbe(int n, int width, int height, int bps, int spp, const float *exposures,
                const void *stack)
{
    if (exposures == nullptr || stack == nullptr || n < 1 || width < 1 || spp < 1 ||
        (bps != 8 && bps != 16))
        return -3;
    if (height < 1)
        return -1;
    const auto bytes = platform::checked_product({n, width, height, spp, bps / 8});
    if (!bytes)
        return -3;
    const int bpos = spp == 4 ? 2 : (spp == 2 ? 0 : spp - 1);
    const size_t photoSamples = size_t(width) * size_t(height) * size_t(spp);
    try {
        if (bps == 8)
            return estimate(Photos<uint8_t>{static_cast<const uint8_t *>(stack), photoSamples,
                                            width, spp, 0, bpos / 2, bpos},
                            n, width, height, exposures);
        return estimate(Photos<uint16_t>{static_cast<const uint16_t *>(stack), photoSamples, width,
                                         spp, 0, bpos / 2, bpos},
                        n, width, height, exposures);
    } catch (const std::bad_alloc &) {
        return -4;
    }
}
