// Box-filter Hessian detector and the fixed-window descriptor. All filter sums come from the
// integral image in modulo-2^32 arithmetic, which is exact for every box of an 8-bit tile.
#include "align/feature_points.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <numeric>
#include <vector>

#include "align/align_log.h"
#include "align/detail/spread.h"
#include "align/projective.h"
#include "imagecore/banded.h"
#include "platform/checked_size.h"

namespace {

constexpr int kLayers = 3;
constexpr int kLobes[kLayers] = {3, 5, 7}; // filter sizes 9, 15, 21
constexpr double kLayerNorm[kLayers] = {1.0, 7.72, 29.64};
constexpr float kMinResponse = 10000.0f;
constexpr int kMiddleLayer = 1;
constexpr int kMaxTileSide = std::numeric_limits<int>::max() / 100 - 1;

struct Integral {
    const uint32_t *p;
    ptrdiff_t stride;
    uint32_t at(int x, int y) const { return p[ptrdiff_t(y) * stride + x]; }
    // Columns x0..x1, rows y0..y1; a start at 0 takes the zero border.
    uint32_t box(int x0, int y0, int x1, int y1) const
    {
        uint32_t s = at(x1, y1);
        if (x0 > 0)
            s -= at(x0 - 1, y1);
        if (y0 > 0) {
            s -= at(x1, y0 - 1);
            if (x0 > 0)
                s += at(x0 - 1, y0 - 1);
        }
        return s;
    }
    int64_t sum(int x0, int y0, int x1, int y1) const { return int64_t(box(x0, y0, x1, y1)); }
};

// C++ leaves signed overflow undefined; the product is taken in 64 bits and reduced to the
// 32-bit value the detector's threshold and ranking were tuned on.
int32_t wrap32(int64_t v)
{
    return int32_t(uint32_t(uint64_t(v)));
}

struct Hessian {
    int32_t dxx, dyy, dxy;
};

// Box second derivatives of lobe l (filter size 3 l) centred on (x, y).
Hessian hessian(const Integral &I, int x, int y, int l)
{
    const int outer = (3 * l - 1) / 2, inner = (l + 1) / 2, half = (l - 1) / 2, r = l - 1;
    const int64_t dxx = I.sum(x - outer, y - r, x - inner, y + r) +
                        I.sum(x + inner, y - r, x + outer, y + r) -
                        2 * I.sum(x - half, y - r, x + half, y + r);
    const int64_t dyy = I.sum(x - r, y - outer, x + r, y - inner) +
                        I.sum(x - r, y + inner, x + r, y + outer) -
                        2 * I.sum(x - r, y - half, x + r, y + half);
    const int64_t dxy = I.sum(x - l, y - l, x - 1, y - 1) + I.sum(x + 1, y + 1, x + l, y + l) -
                        I.sum(x + 1, y - l, x + l, y - 1) - I.sum(x - l, y + 1, x - 1, y + l);
    return {wrap32(dxx), wrap32(dyy), wrap32(dxy)};
}

float response(const Integral &I, int x, int y, int layer)
{
    const Hessian h = hessian(I, x, y, kLobes[layer]);
    const int32_t det = wrap32(int64_t(h.dxx) * int64_t(h.dyy));
    return float((double(det) - 0.81 * (double(h.dxy) * double(h.dxy))) / kLayerNorm[layer]);
}

struct Volume {
    int w, h;
    std::vector<float> v; // kLayers planes of w x h
    float at(int layer, int x, int y) const
    {
        return v[(size_t(layer) * size_t(h) + size_t(y)) * size_t(w) + size_t(x)];
    }
    float &at(int layer, int x, int y)
    {
        return v[(size_t(layer) * size_t(h) + size_t(y)) * size_t(w) + size_t(x)];
    }
};

// v is a strict extremum of its 3 x 3 x 3 block, beyond the response threshold.
bool is_extremum(const Volume &vol, int x, int y)
{
    const float v = vol.at(kMiddleLayer, x, y);
    const bool maximum = v >= kMinResponse;
    if (!maximum && !(v <= -kMinResponse))
        return false;
    for (int layer = 0; layer < kLayers; ++layer)
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                if (layer == kMiddleLayer && dx == 0 && dy == 0)
                    continue;
                const float n = vol.at(layer, x + dx, y + dy);
                if (maximum ? !(v > n) : !(v < n))
                    return false;
            }
    return true;
}

// Offsets (x, y, size) of the quadratic through the block's centre; false when its system
// cannot be solved.
bool refine(const Volume &vol, int x, int y, double delta[3])
{
    const auto m = [&](int dx, int dy) { return double(vol.at(kMiddleLayer, x + dx, y + dy)); };
    const auto lo = [&](int dx, int dy) { return double(vol.at(0, x + dx, y + dy)); };
    const auto hi = [&](int dx, int dy) { return double(vol.at(2, x + dx, y + dy)); };
    const double v = m(0, 0);
    const double dx = (m(1, 0) - m(-1, 0)) / 2, dy = (m(0, 1) - m(0, -1)) / 2;
    const double ds = (hi(0, 0) - lo(0, 0)) / 2;
    const double dxx = m(1, 0) + m(-1, 0) - 2 * v, dyy = m(0, 1) + m(0, -1) - 2 * v;
    const double dss = hi(0, 0) + lo(0, 0) - 2 * v;
    const double dxy = (m(1, 1) - m(-1, 1) - m(1, -1) + m(-1, -1)) / 4;
    const double dxs = (hi(1, 0) - hi(-1, 0) - lo(1, 0) + lo(-1, 0)) / 4;
    const double dys = (hi(0, 1) - hi(0, -1) - lo(0, 1) + lo(0, -1)) / 4;
    double a[9] = {dxx, dxy, dxs, dxy, dyy, dys, dxs, dys, dss};
    double b[3] = {-dx, -dy, -ds};
    return gauss_elim(3, a, b, delta) == 1;
}

bool window_inside(int x, int y, int width, int height)
{
    return x - 16 >= 0 && x + 15 < width && y - 16 >= 0 && y + 15 < height;
}

// An accepted point: position in hundredths of a pixel, scale, the pixel it was found at and
// the magnitude of its response.
struct Found {
    int x100, y100, scale;
    int x, y;
    float strength;
};

// Which points of a tile to keep, in scan order, when more than budget were found. Taking them
// in scan order would spend the whole budget on the top rows of a detailed tile (on hand-held
// photos of 1080 rows the budget ran out after a quarter of them, and the fit then extrapolated
// its perspective terms to the rest of the frame); the strongest points of each cell of a grid
// cover the whole tile.
std::vector<size_t> spread_points(const std::vector<Found> &found, int64_t budget, int width,
                                  int height)
{
    std::vector<int> cells(found.size());
    for (size_t i = 0; i < found.size(); ++i)
        cells[i] = align::detail::spread_cell(found[i].x, found[i].y, width, height);
    return align::detail::spread_over_cells(cells, size_t(budget), [&found](size_t a, size_t b) {
        return found[a].strength > found[b].strength ||
               (found[a].strength == found[b].strength && a < b);
    });
}

} // namespace

std::vector<size_t>
align::detail::spread_over_cells(const std::vector<int> &cells, size_t budget,
                                 const std::function<bool(size_t, size_t)> &better)
{
    std::vector<size_t> kept;
    if (cells.size() <= budget) {
        kept.resize(cells.size());
        std::iota(kept.begin(), kept.end(), size_t(0));
        return kept;
    }
    std::vector<std::vector<size_t>> byCell(
        size_t(align::detail::kSpreadGrid * align::detail::kSpreadGrid));
    for (size_t i = 0; i < cells.size(); ++i)
        byCell[size_t(cells[i])].push_back(i);
    for (auto &cell : byCell)
        std::sort(cell.begin(), cell.end(), better);
    std::vector<size_t> round;
    for (size_t r = 0; kept.size() < budget; ++r) {
        round.clear();
        for (const auto &cell : byCell)
            if (r < cell.size())
                round.push_back(cell[r]);
        const size_t room = budget - kept.size();
        if (round.size() > room) {
            std::sort(round.begin(), round.end(), better);
            round.resize(room);
        }
        kept.insert(kept.end(), round.begin(), round.end());
    }
    std::sort(kept.begin(), kept.end());
    return kept;
}

uint32_t sommation(int x0, int y0, int x1, int y1, int base, int stride,
                   const unsigned int *integral)
{
    if (!integral || x0 < 0 || y0 < 0 || x1 < x0 || y1 < y0 || base < 0 || stride < 1)
        return 0;
    const Integral I{integral + base, stride};
    return I.box(x0, y0, x1, y1);
}

int kvdescriptor(int count, int width, int height, const int *xs, const int *ys, int *scales,
                 const unsigned int *integral, float *descriptors)
{
    if (count < 1)
        return 0;
    if (width < 1 || height < 1 || !xs || !ys || !scales || !integral || !descriptors)
        return -3;
    for (int i = 0; i < count; ++i)
        if (!window_inside(xs[i], ys[i], width, height))
            return -3;
    const Integral I{integral, width};
    for (int i = 0; i < count; ++i) {
        const int x = xs[i], y = ys[i];
        const Hessian h = hessian(I, x, y, kLobes[kMiddleLayer]);
        const int magnitude = scales[i] == std::numeric_limits<int>::min()
                                  ? std::numeric_limits<int>::max()
                                  : std::abs(scales[i]);
        scales[i] = int64_t(h.dxx) + int64_t(h.dyy) < 0 ? -magnitude : magnitude;

        float *d = descriptors + size_t(kDescriptorSize) * size_t(i);
        for (int cell = 0; cell < 16; ++cell) {
            int64_t sums[4] = {0, 0, 0, 0};
            for (int square = 0; square < 4; ++square) {
                const int sx = x - 16 + (cell % 4) * 8 + (square % 2) * 4;
                const int sy = y - 16 + (cell / 4) * 8 + (square / 2) * 4;
                const int64_t hx =
                    I.sum(sx, sy, sx + 1, sy + 3) - I.sum(sx + 2, sy, sx + 3, sy + 3);
                const int64_t hy =
                    I.sum(sx, sy, sx + 3, sy + 1) - I.sum(sx, sy + 2, sx + 3, sy + 3);
                sums[0] += hx;
                sums[1] += hx < 0 ? -hx : hx;
                sums[2] += hy;
                sums[3] += hy < 0 ? -hy : hy;
            }
            for (int k = 0; k < 4; ++k)
                d[cell * 4 + k] = float(sums[k]);
        }
        double norm = 0;
        for (int k = 0; k < kDescriptorSize; ++k)
            norm += double(d[k]) * double(d[k]);
        norm = std::sqrt(norm);
        if (norm > 0)
            for (int k = 0; k < kDescriptorSize; ++k)
                d[k] = float(double(d[k]) / norm);
    }
    return count;
}

int kvdetect(int nOctaves, int width, int height, int maxPoints, int x0, int y0,
             const unsigned char *grey, int nbProc, int *xs, int *ys, int *scales,
             float *descriptors)
{
    if (!grey || !xs || !ys || !scales || !descriptors || width < 1 || height < 1 ||
        maxPoints < 0 || x0 < 0 || y0 < 0)
        return -3;
    if (nOctaves < 1)
        return 0;
    // Positions are carried in hundredths of a pixel while refined.
    if (width > kMaxTileSide || height > kMaxTileSide)
        return -3;
    const auto pixels = platform::checked_product({width, height, kLayers});
    if (!pixels || *pixels > size_t(std::numeric_limits<ptrdiff_t>::max()) / sizeof(float))
        return -3;
    try {
        const size_t w = size_t(width);
        // The integral image in two banded passes: each row's running sums, then each column's
        // down the rows (sums modulo 2^32, the same in any order); responses and the search for
        // extrema are per pixel, the points of each band of rows joined in band order, so the
        // points never depend on the thread count.
        std::vector<uint32_t> integral(w * size_t(height));
        imagecore::run_banded(nbProc, height, [&](const imagecore::Band &b) {
            for (int y = b.begin; y < b.end; ++y) {
                uint32_t row = 0;
                for (int x = 0; x < width; ++x) {
                    row += grey[size_t(y) * w + size_t(x)];
                    integral[size_t(y) * w + size_t(x)] = row;
                }
            }
        });
        imagecore::run_chunked(nbProc, width, [&](const imagecore::Band &b) {
            for (int y = 1; y < height; ++y)
                for (int x = b.begin; x < b.end; ++x)
                    integral[size_t(y) * w + size_t(x)] += integral[size_t(y - 1) * w + size_t(x)];
        });
        const Integral I{integral.data(), width};
        Volume vol{width, height, std::vector<float>(*pixels, 0.0f)};
        const int yFirst = std::min(y0, height) + kDetectMargin;
        const int xFirst = std::min(x0, width) + kDetectMargin;
        if (height - kDetectMargin > yFirst)
            imagecore::run_banded(nbProc, height - kDetectMargin - yFirst,
                                  [&](const imagecore::Band &b) {
                                      for (int y = yFirst + b.begin; y < yFirst + b.end; ++y)
                                          for (int x = xFirst; x < width - kDetectMargin; ++x)
                                              for (int layer = 0; layer < kLayers; ++layer)
                                                  vol.at(layer, x, y) = response(I, x, y, layer);
                                  });

        std::vector<Found> found;
        const int edge = kDetectMargin + 1;
        std::array<std::vector<Found>, imagecore::kMaxBands> bandFound;
        const imagecore::BandReport searched = imagecore::run_banded(
            nbProc, std::max(height - 2 * edge, 0), [&](const imagecore::Band &b) {
                for (int y = edge + b.begin; y < edge + b.end; ++y)
                    for (int x = edge; x < width - edge; ++x) {
                        if (!is_extremum(vol, x, y))
                            continue;
                        double delta[3];
                        if (!refine(vol, x, y, delta)) {
                            align_log("%d  %d rejete - resolution impossible\n", y, x);
                            continue;
                        }
                        if (!(std::fabs(delta[0]) <= 0.6 && std::fabs(delta[1]) <= 0.6 &&
                              std::fabs(delta[2]) <= 0.5))
                            continue;
                        bandFound[size_t(b.index)].push_back(
                            {100 * x + int(100.0 * delta[0]), 100 * y + int(100.0 * delta[1]),
                             int(100.0 * delta[2]), x, y, std::fabs(vol.at(kMiddleLayer, x, y))});
                    }
            });
        if (searched.threw > 0) // only an allocation can throw there
            return -4;
        for (int k = 0; k < searched.count; ++k)
            found.insert(found.end(), bandFound[size_t(k)].begin(), bandFound[size_t(k)].end());
        const std::vector<size_t> kept =
            spread_points(found, int64_t(maxPoints) + 1, width, height);
        const int count = int(kept.size());
        for (int i = 0; i < count; ++i) {
            const Found &f = found[kept[size_t(i)]];
            // Whole pixels, halves up (positions are positive here).
            xs[i] = (f.x100 + 50) / 100;
            ys[i] = (f.y100 + 50) / 100;
            scales[i] = f.scale;
        }
        return kvdescriptor(count, width, height, xs, ys, scales, integral.data(), descriptors);
    } catch (const std::bad_alloc &) {
        return -4;
    }
}
