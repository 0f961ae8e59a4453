// Exposure estimate from brightness keys. The key is the median luma bin, switched to a low or
// high percentile when the median sits at either end of the range and says nothing; the factor
// table turns key ratios into EV, steeper towards white where the tone curve flattens.
#include "merge/ev_estimate.h"

#include <array>
#include <climits>
#include <cmath>
#include <new>
#include <vector>

#include "imagecore/banded.h"
#include "merge/detail/knots.h"

namespace {

constexpr int kTableTop = 65280; // last knot of the factor table

using merge::detail::Knot;
constexpr Knot kKnots[] = {{0, 1.1f},     {2048, 1.2f},  {3584, 1.3f},
                           {15360, 1.5f}, {23040, 1.8f}, {32000, 2.3f},
                           {40960, 3.3f}, {48640, 4.7f}, {kTableTop, 6.0f}};

// Entry m of the EV-factor table (linear between the knots, single precision), m in 0..65280.
float ev_factor(int m)
{
    if (m >= kTableTop)
        return kKnots[8].y;
    return merge::detail::knot_value(kKnots, std::size(kKnots), m);
}

using Histogram = std::array<int64_t, 256>;

// First histogram bin whose running count exceeds limit; 256 when none does.
int bin_above(const Histogram &hist, int64_t limit)
{
    int64_t run = 0;
    for (int b = 0; b < 256; ++b) {
        run += hist[size_t(b)];
        if (run > limit)
            return b;
    }
    return 256;
}

// Adds the luma of rows [y0, y1) of a photo to hist.
template <class T>
void luma_histogram(const T *photo, int width, int y0, int y1, int rowLen, int spp, Histogram &hist)
{
    const int bpos = spp == 4 ? 2 : (spp == 2 ? 0 : spp - 1);
    const int gpos = bpos / 2;
    constexpr int shift = sizeof(T) == 2 ? 8 : 0;
    for (int y = y0; y < y1; ++y) {
        const T *p = photo + size_t(y) * size_t(rowLen);
        for (int x = 0; x < width; ++x, p += spp) {
            const unsigned r = p[0] >> shift, g = p[gpos] >> shift, b = p[bpos] >> shift;
            ++hist[(54 * r + 183 * g + 19 * b) >> 8];
        }
    }
}

} // namespace

int mediane_images(int n, int width, int height, int rowLen, int spp, int bps, const void *stack,
                   int *moyBuf, int nbProc)
{
    if (stack == nullptr || moyBuf == nullptr || n < 1 || width < 1 || height < 1 || spp < 1 ||
        (bps != 8 && bps != 16) || int64_t(rowLen) < int64_t(width) * spp)
        return -3;
    const int64_t pixels = int64_t(width) * height;
    const int64_t half = pixels / 2;
    const int64_t low = int64_t(0.17 * double(pixels));
    const int64_t high = int64_t(0.95 * double(pixels));
    const size_t photoSamples = size_t(height) * size_t(rowLen);
    std::array<Histogram, imagecore::kMaxBands> bands;
    for (int k = 0; k < n; ++k) {
        // Counts are integers: the bands' histograms add up to the one of a single pass.
        for (Histogram &b : bands)
            b.fill(0);
        imagecore::run_banded(nbProc, height, [&](const imagecore::Band &b) {
            if (bps == 8)
                luma_histogram(static_cast<const uint8_t *>(stack) + size_t(k) * photoSamples,
                               width, b.begin, b.end, rowLen, spp, bands[b.index]);
            else
                luma_histogram(static_cast<const uint16_t *>(stack) + size_t(k) * photoSamples,
                               width, b.begin, b.end, rowLen, spp, bands[b.index]);
        });
        Histogram hist{};
        for (const Histogram &b : bands)
            for (size_t i = 0; i < hist.size(); ++i)
                hist[i] += b[i];
        const int median = bin_above(hist, half);
        int key = median <= 4 ? bin_above(hist, high) : median * 256;
        if (key > 64512)
            key = bin_above(hist, low) * 65536;
        moyBuf[k] = key;
    }
    return half > INT_MAX ? INT_MAX : int(half);
}

int guess_ev(int mode, int n, int *moyBuf, float *exposureTimes, float evSpacing)
{
    if (moyBuf == nullptr || exposureTimes == nullptr || n < 1)
        return -3;
    for (int k = 0; k < n; ++k)
        if (moyBuf[k] < 0)
            return -3;
    try {
        // Selection of the largest remaining key; the strict comparison gives ties to the lower
        // index.
        std::vector<int> keys(moyBuf, moyBuf + n);
        std::vector<int> rank(size_t(n), 0);
        for (int j = 0; j < n; ++j) {
            int best = -1, pick = 0;
            for (int k = 0; k < n; ++k) {
                if (keys[size_t(k)] > best) {
                    best = keys[size_t(k)];
                    pick = k;
                }
            }
            rank[size_t(j)] = pick;
            keys[size_t(pick)] = -999999;
        }

        const int a = n / 2;
        std::vector<float> ev(size_t(n), 0.0f);
        if (evSpacing > 0.0f) {
            for (int j = 0; j < n; ++j)
                ev[size_t(j)] = float(double(a - j) * double(evSpacing));
        } else {
            const float q = float(1.0 / std::log(2.0));
            // One step from rank `from` to its neighbour `to`: EV_to = EV_from - qF x ln(s_from /
            // s_to). A key of 0 would make the ratio 0 or infinite; it counts as 1.
            auto step = [&](int from, int to) {
                const int kf = moyBuf[rank[size_t(from)]], kt = moyBuf[rank[size_t(to)]];
                int m = int((float(kf) + float(kt)) * 0.5f);
                if (m > kTableTop)
                    m = kTableTop;
                const float qf = q * ev_factor(m);
                const float ratio = float(kf > 0 ? kf : 1) / float(kt > 0 ? kt : 1);
                ev[size_t(to)] =
                    float(double(ev[size_t(from)]) - double(qf) * std::log(double(ratio)));
            };
            for (int j = a + 1; j < n; ++j)
                step(j - 1, j);
            for (int j = a - 1; j >= 0; --j)
                step(j + 1, j);
        }

        if (mode == 0) {
            for (int j = 0; j < n; ++j)
                exposureTimes[rank[size_t(j)]] = float(std::exp2(double(ev[size_t(j)])));
        } else {
            for (int j = 0; j < n; ++j) {
                moyBuf[j] = rank[size_t(j)];
                exposureTimes[j] = ev[size_t(j)];
            }
        }
        return n;
    } catch (const std::bad_alloc &) {
        return -4;
    }
}
