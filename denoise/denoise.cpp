// The noise-reduction driver: argument checks, the tile grid and its work area, the estimate,
// the tiles, and the final luma/chroma mix with the highlight ramp.
#include "denoise/denoise.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "denoise/detail/nr_ops.h"
#include "denoise/detail/tile_grid.h"
#include "denoise/noise_estimate.h"
#include "denoise/nr_filter.h"
#include "imagecore/banded.h"
#include "imagecore/float_clamp.h"
#include "platform/checked_size.h"

using namespace denoise::detail;

namespace denoise::detail {

TileSpan TileGrid::tile(int k) const
{
    TileSpan t;
    t.mainBegin = k * step;
    t.mainEnd = k == count - 1 ? side : (k + 1) * step;
    t.begin = std::max(0, k * step - kTileOverlap);
    t.end = k == count - 1 ? side : std::min(side, (k + 1) * step + kTileOverlap);
    t.padBefore = k == 0 ? kTileEdgePad : 0;
    t.padAfter = k == count - 1 ? kTileEdgePad : 0;
    return t;
}

TileGrid tile_grid(int side, int maxTile)
{
    TileGrid g;
    g.side = side;
    g.step = std::min(side + 2 * kTileEdgePad, maxTile);
    g.count = (side + 2 * kTileEdgePad) / g.step;
    // Inner tiles span step + 64 pixels, the last as little as step + 24: take every tile.
    for (int k = 0; k < g.count; ++k)
        g.maxExtent = std::max(g.maxExtent, g.tile(k).extent());
    return g;
}

} // namespace denoise::detail

namespace {

constexpr int kMaxSide = 1 << 30;
constexpr int kLevels = 4;

// Sizes of the work area of one grid, in floats.
struct WorkLayout {
    std::size_t T = 0, P = 0; // pixels of the largest padded tile and of its pyramid
    std::size_t bytes() const { return 24 * (T + P); }
};

int work_layout(int width, int height, int maxTile, WorkLayout *layout, TileGrid *gx, TileGrid *gy)
{
    if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide || maxTile < kMinTile)
        return -3;
    *gx = tile_grid(width, maxTile);
    *gy = tile_grid(height, maxTile);
    const long long tw = gx->maxExtent, th = gy->maxExtent;
    const long long T = tw * th;
    const long long P = len_pyram(int(tw), int(th), kLevels - 1);
    if (24 * (T + P) > INT_MAX)
        return -3;
    layout->T = std::size_t(T);
    layout->P = std::size_t(P);
    return 0;
}

// Rounds to nearest and clamps to 0..hi; NaN gives 0.
int round_clamp(float v, int hi)
{
    return imagecore::clamp_to_int(double(v) + 0.5, 0, hi);
}

template <class S>
void load_tile(const S *src, int rowStride, const TileSpan &tx, const TileSpan &ty, float scale,
               int nThreads, float *tile)
{
    const int tw = tx.extent(), th = ty.extent();
    imagecore::run_banded(nThreads, th, [&](const imagecore::Band &b) {
        for (int r = b.begin; r < b.end; ++r) {
            // Padding repeats the edge pixels, so a flat photo stays flat up to its border.
            const int sy = std::clamp(ty.begin - ty.padBefore + r, ty.begin, ty.end - 1);
            const S *row = src + std::size_t(sy) * rowStride;
            float *out = tile + std::size_t(r) * tw * 3;
            for (int c = 0; c < tw; ++c) {
                const int sx = std::clamp(tx.begin - tx.padBefore + c, tx.begin, tx.end - 1);
                for (int k = 0; k < 3; ++k)
                    out[c * 3 + k] = float(row[sx * 3 + k]) * scale;
            }
        }
    });
}

template <class S>
void store_tile(const float *tile, int tw, const int *rect, int rowStride, int x, int y,
                float scale, int hi, int nThreads, S *dst)
{
    imagecore::run_banded(nThreads, rect[3] - rect[2], [&](const imagecore::Band &b) {
        for (int r = rect[2] + b.begin; r < rect[2] + b.end; ++r) {
            const float *in = tile + (std::size_t(r) * tw + rect[0]) * 3;
            S *out = dst + std::size_t(y + r - rect[2]) * rowStride + std::size_t(x) * 3;
            const int n = (rect[1] - rect[0]) * 3;
            for (int i = 0; i < n; ++i)
                out[i] = static_cast<S>(round_clamp(in[i] * scale, hi));
        }
    });
}

// The final mix of filtered dst with src over rows r0..r1 - 1 (mix_pixel), the ramp in 8-bit
// units at either depth.
template <class S>
void mix(const S *src, S *dst, int width, int rowStride, const NrDerived &p, int hi, int r0, int r1)
{
    const float rampScale = hi == 255 ? 1.0f : 1.0f / 256.0f;
    for (int r = r0; r < r1; ++r) {
        const S *s = src + std::size_t(r) * rowStride;
        S *d = dst + std::size_t(r) * rowStride;
        for (int c = 0; c < width; ++c, s += 3, d += 3) {
            const float sp[3] = {float(s[0]), float(s[1]), float(s[2])};
            const float dp[3] = {float(d[0]), float(d[1]), float(d[2])};
            float out[3];
            mix_pixel(sp, dp, p, rampScale, out);
            for (int k = 0; k < 3; ++k)
                d[k] = static_cast<S>(round_clamp(out[k], hi));
        }
    }
}

// The noise estimate on an 8-bit view of the photo, or the defaults when it cannot decide.
void estimate(int width, int height, int rowStride, float *nrParam, const unsigned char *copy)
{
    const float entry = nrParam[kNrNoiseLevel];
    if (auto_profile(width, height, rowStride, nrParam, copy) >= 0)
        return;
    nr_def(nrParam);
    if (entry >= 0.5f && entry <= 1.5f)
        nrParam[kNrNoiseLevel] = 80.0f * entry;
}

template <class S>
int run(int width, int height, int rowStride, int nThreads, float *nrParam, float *area,
        const WorkLayout &layout, const TileGrid &gx, const TileGrid &gy, const S *src, S *dst,
        const unsigned char *copy)
{
    constexpr bool k8 = sizeof(S) == 1;
    const int hi = k8 ? 255 : 65535;
    estimate(width, height, rowStride, nrParam, copy);
    NrDerived params;
    calcParams(nrParam, &params);

    float *pyramidBuf = area;
    float *detailBuf = area + 3 * layout.P;
    float *filteredBuf = area + 6 * layout.P;
    float *scratchBuf = filteredBuf + 3 * layout.T;
    const float inScale = k8 ? 1.0f : 1.0f / 256.0f, outScale = k8 ? 1.0f : 256.0f;
    for (int j = 0; j < gy.count; ++j) {
        const TileSpan ty = gy.tile(j);
        for (int i = 0; i < gx.count; ++i) {
            const TileSpan tx = gx.tile(i);
            const int tw = tx.extent(), th = ty.extent();
            load_tile(src, rowStride, tx, ty, inScale, nThreads, pyramidBuf);
            int rect[4] = {
                tx.padBefore + tx.mainBegin - tx.begin, tx.padBefore + tx.mainEnd - tx.begin,
                ty.padBefore + ty.mainBegin - ty.begin, ty.padBefore + ty.mainEnd - ty.begin};
            const int main[4] = {rect[0], rect[1], rect[2], rect[3]};
            const int tileEdges[4] = {i == 0, i == gx.count - 1, j == 0, j == gy.count - 1};
            if (denoise_tile(tw, th, rect, 3, tileEdges, nThreads, params, detailBuf, filteredBuf,
                             scratchBuf, pyramidBuf) < 0)
                return -3;
            store_tile(pyramidBuf, tw, main, rowStride, tx.mainBegin, ty.mainBegin, outScale, hi,
                       nThreads, dst);
        }
    }
    // Pixels are independent: bands give the same bytes as one pass.
    imagecore::run_banded(nThreads, height, [&](const imagecore::Band &b) {
        mix(src, dst, width, rowStride, params, hi, b.begin, b.end);
    });
    return 1;
}

bool overlaps(const void *a, const void *b, std::size_t n)
{
    const auto pa = reinterpret_cast<std::uintptr_t>(a), pb = reinterpret_cast<std::uintptr_t>(b);
    return pa < pb + n && pb < pa + n;
}

} // namespace

int mem4denoise(int width, int height, int maxTile)
{
    WorkLayout layout;
    TileGrid gx, gy;
    const int rc = work_layout(width, height, maxTile, &layout, &gx, &gy);
    return rc < 0 ? rc : static_cast<int>(layout.bytes());
}

int denoise2(int width, int height, int spp, int rowStride, int bitsPerSample, int maxTile,
             int nThreads, float *nrParam, void *work, const void *src, void *dst)
{
    if (spp != 3 || (bitsPerSample != 8 && bitsPerSample != 16))
        return -2;
    if (!nrParam || !src || !dst || width < 1 || height < 1 || rowStride / 3 < width)
        return -3;
    WorkLayout layout;
    TileGrid gx, gy;
    if (work_layout(width, height, maxTile, &layout, &gx, &gy) < 0)
        return -3;
    const int bytesPerSample = bitsPerSample / 8;
    // Samples from the first of the photo to the last one read.
    const auto samples = platform::checked_product({height - 1, rowStride});
    if (!samples || *samples > SIZE_MAX / 2 - std::size_t(3) * width)
        return -3;
    const std::size_t extent = *samples + std::size_t(3) * width;
    if (overlaps(src, dst, extent * bytesPerSample))
        return -3;
    if (reinterpret_cast<std::uintptr_t>(work) % alignof(float) != 0 ||
        (bytesPerSample == 2 && (reinterpret_cast<std::uintptr_t>(src) % alignof(uint16_t) != 0 ||
                                 reinterpret_cast<std::uintptr_t>(dst) % alignof(uint16_t) != 0)))
        return -3;
    try {
        std::unique_ptr<float[]> ownArea;
        float *area = static_cast<float *>(work);
        if (!area) {
            ownArea = std::make_unique_for_overwrite<float[]>(layout.bytes() / sizeof(float));
            area = ownArea.get();
        }
        if (bitsPerSample == 8) {
            const auto *s = static_cast<const uint8_t *>(src);
            return run(width, height, rowStride, nThreads, nrParam, area, layout, gx, gy, s,
                       static_cast<uint8_t *>(dst), s);
        }
        // The estimate reads 8 bits: the high bytes, in the work area while they fit there
        // (the tiles overwrite them later), else in an allocation of their own.
        std::unique_ptr<uint8_t[]> ownCopy;
        uint8_t *copy = reinterpret_cast<uint8_t *>(area);
        if (extent > layout.bytes()) {
            ownCopy = std::make_unique_for_overwrite<uint8_t[]>(extent);
            copy = ownCopy.get();
        }
        const auto *s = static_cast<const uint16_t *>(src);
        imagecore::run_banded(nThreads, height, [&](const imagecore::Band &b) {
            for (int r = b.begin; r < b.end; ++r) {
                const std::size_t row = std::size_t(r) * rowStride;
                for (std::size_t i = row; i < row + std::size_t(3) * width; ++i)
                    copy[i] = static_cast<uint8_t>(s[i] >> 8);
            }
        });
        return run(width, height, rowStride, nThreads, nrParam, area, layout, gx, gy, s,
                   static_cast<uint16_t *>(dst), copy);
    } catch (const std::bad_alloc &) {
        return -4;
    }
}
