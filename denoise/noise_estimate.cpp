// The noise estimate: a cheap scan of 16 sample pixels a block picks candidates; the quietest
// darker and brighter ones are measured again over 576 pairs; the mean of the four quietest
// measures, compensated for brightness, maps linearly to the level.
#include "denoise/noise_estimate.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>
#include <numeric>
#include <vector>

#include "denoise/nr_params.h"
#include "imagecore/pixel_buffers.h"

namespace {

constexpr int kBlock = 32;
constexpr int kMaxQuiet = 32;

struct BlockScan {
    float deviation = 0;
    int level = 0;
    std::size_t offset = 0;
};

// Noise grows less than the signal: brighter blocks are measured against a smaller share.
float brightness_compensated(float deviation, int level)
{
    return static_cast<float>(deviation / (1.0 - 0.8 * level / 255.0));
}

bool clipped(int v)
{
    return v == 0 || v == 255;
}

BlockScan scan_block(const unsigned char *copy, int rowStride, std::size_t offset)
{
    int sum[3] = {0, 0, 0}, dev[3] = {0, 0, 0}, excluded = 0;
    for (int r = 0; r < kBlock; r += 8) {
        for (int c = 0; c < kBlock; c += 8) {
            const unsigned char *p = copy + offset + std::size_t(r) * rowStride + c * 3;
            for (int k = 0; k < 3; ++k) {
                const int v = p[k];
                sum[k] += v;
                if (clipped(v)) {
                    excluded += 2;
                    continue;
                }
                for (int n : {int(p[k + 3]), int(p[std::size_t(rowStride) + k])}) {
                    if (clipped(n))
                        ++excluded;
                    else
                        dev[k] += std::abs(v - n);
                }
            }
        }
    }
    BlockScan b;
    b.offset = offset;
    int total = 0;
    for (int k = 0; k < 3; ++k)
        total += dev[k] * 288 / (288 - excluded); // at most 96 exclusions
    b.level = total == 0 ? 0 : (sum[0] / 16 + sum[1] / 16 + sum[2] / 16) / 3;
    b.deviation = brightness_compensated(float(total), b.level);
    return b;
}

// Indices of the k quietest blocks of a group, in the order of fClassementCroissant over their
// scan deviations (ascending, equal values the later block first). A partial sort: a 24-megapixel
// photo has some 23000 blocks, too many for the quadratic shared ranking.
std::vector<int> quietest(const std::vector<BlockScan> &group, int k)
{
    std::vector<int> order(group.size());
    std::iota(order.begin(), order.end(), 0);
    std::partial_sort(order.begin(), order.begin() + k, order.end(), [&](int a, int b) {
        const float da = group[std::size_t(a)].deviation, db = group[std::size_t(b)].deviation;
        return da != db ? da < db : a > b;
    });
    order.resize(std::size_t(k));
    return order;
}

} // namespace

float recalcDeviations(int /*width*/, int /*height*/, int rowStride, int size, int offset,
                       const unsigned char *copy)
{
    const unsigned char *block = copy + offset;
    const int pos[3] = {size / 4, size / 2, 3 * size / 4};
    long sum = 0;
    int excluded = 0;
    auto pair = [&](int a, int b) {
        if (a > 1 && a < 254 && b > 1 && b < 254)
            sum += std::abs(a - b);
        else
            ++excluded;
    };
    for (int i = 0; i < size; ++i) {
        const unsigned char *row = block + std::size_t(i) * rowStride;
        for (int p : pos) {
            for (int k = 0; k < 3; ++k) {
                pair(row[(p - 1) * 3 + k], row[p * 3 + k]);
                pair(block[std::size_t(p - 1) * rowStride + i * 3 + k],
                     block[std::size_t(p) * rowStride + i * 3 + k]);
            }
        }
    }
    const int pairs = 18 * size - excluded;
    if (pairs <= 0)
        return std::numeric_limits<float>::infinity();
    return static_cast<float>(double(sum) / pairs * (6.0 * (size - 1) * (size - 1)));
}

int auto_profile(int width, int height, int rowStride, float *nrParam, const unsigned char *copy)
{
    if (!nrParam || !copy || width < 1 || height < 1 || rowStride / 3 < width)
        return -3;
    const int nbx = width / kBlock, nby = height / kBlock;
    if (nbx < 1 || nby < 1)
        return -2;
    try {
        // Blocks kept, in block order.
        std::vector<BlockScan> kept;
        for (int by = 0; by < nby; ++by) {
            for (int bx = 0; bx < nbx; ++bx) {
                const BlockScan b = scan_block(
                    copy, rowStride, std::size_t(by) * kBlock * rowStride + std::size_t(bx) * 96);
                if (b.level >= 4 && b.level <= 251)
                    kept.push_back(b);
            }
        }
        const int n = static_cast<int>(kept.size());
        if (n == 0)
            return -2;

        std::vector<int> levels(kept.size()), order(kept.size(), 0);
        for (int i = 0; i < n; ++i)
            levels[std::size_t(i)] = kept[std::size_t(i)].level;
        if (iclassement(n, levels.data(), order.data()) < 0)
            return -4;
        const int midpoint = levels[std::size_t(order[std::size_t(n / 2)])];

        std::vector<BlockScan> darker, brighter;
        for (const BlockScan &b : kept)
            (b.level < midpoint ? darker : brighter).push_back(b);
        if (darker.empty() || brighter.empty())
            return -3;
        const int k = std::min({int(darker.size()), int(brighter.size()), kMaxQuiet});

        // The k quietest of each group by scan, then measured again.
        std::vector<float> measured;
        for (const std::vector<BlockScan> *group : {&darker, &brighter}) {
            for (int i : quietest(*group, k)) {
                const BlockScan &b = (*group)[std::size_t(i)];
                const float d = recalcDeviations(width, height, rowStride, kBlock,
                                                 static_cast<int>(b.offset), copy);
                measured.push_back(brightness_compensated(d, b.level) / 5766.0f);
            }
        }

        // Mean of the four quietest measurable blocks.
        std::vector<int> rank(measured.size(), 0);
        if (fClassementCroissant(int(measured.size()), measured.data(), rank.data()) < 0)
            return -4;
        double sum = 0;
        int m = 0;
        for (std::size_t i = 0; i < measured.size() && m < 4; ++i) {
            const float v = measured[std::size_t(rank[i])];
            if (!std::isfinite(v))
                break;
            sum += v;
            ++m;
        }
        if (m == 0)
            return -2;
        float level = static_cast<float>(35.0 * (sum / m) - 15.0);
        if (level <= 15.0f)
            level = 15.0f;
        const float entry = nrParam[kNrNoiseLevel];
        if (entry >= 0.5f && entry <= 1.5f)
            level = static_cast<float>(level * std::exp2(2.0 * (entry - 1.0)));

        nrParam[kNrNoiseLevel] = level;
        double chroma = level * -0.002857142857142857 - 0.07142857142857142;
        nrParam[kNrChromaMix] =
            static_cast<float>(chroma < -0.5 ? -0.5 : (chroma > 0 ? 0 : chroma));
        nrParam[kNrRampStart] = 100.0f;
        const double span = 2.0 * level + 45.0;
        nrParam[kNrRampSpan] = static_cast<float>(span < 0 ? 0 : (span > 155 ? 155 : span));
        return static_cast<int>(level);
    } catch (const std::bad_alloc &) {
        return -4;
    }
}
