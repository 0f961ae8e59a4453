// Feature-based alignment driver: brightness order, tiling, detection and matching tile by
// tile with a fallback to neighbouring tiles, one fit per step, the crop to the common area
// and the banded warp.
#include "align/feature_align.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "align/align_context.h"
#include "align/align_log.h"
#include "align/detail/matching.h"
#include "align/detail/spread.h"
#include "align/detail/tiling.h"
#include "align/feature_points.h"
#include "align/matching.h"
#include "align/projective.h"
#include "align/transform_utils.h"
#include "imagecore/banded.h"
#include "imagecore/brightness.h"
#include "platform/checked_size.h"

namespace {

using align::detail::make_tiling;
using align::detail::Region;
using align::detail::Tiling;

constexpr int kTileSide = 1024;
constexpr int kExtraTileFrom = 257; // a remainder this wide gets a tile of its own
constexpr int kTileMargin = 20;
constexpr int kBorderPoints = 40;
constexpr int kFewPairs = 20;       // below this a tile asks its neighbours
constexpr int kNeighbourPoints = 9; // a neighbour's list must hold more than this
constexpr int kNarrowRadius = 3;    // pixels a refined fit's pairs may lie from it
// Steps are first looked for on copies reduced to at most this many pixels a side. The detector
// has one scale (filters of 9 to 21 pixels): on a hand-held phone bracket of 3264 x 2448 a
// quarter of the points of one exposure came back in the next and between 1/100 and 1/250 s
// 6 of 12 pairs were right; reduced by 3, 88 % of 232 pairs were right (by a SIFT fit of the
// same photos). A tripod bracket of 1600 x 1200 aligns as well either way.
constexpr int kDetectionSide = 1100;

// Feature points of one tile: kvdetect's lists, in image coordinates.
struct PointList {
    int n = 0;
    std::vector<int> x, y, s;
    std::vector<float> d;

    void reserve(int capacity)
    {
        const size_t c = size_t(capacity);
        x.resize(c), y.resize(c), s.resize(c), d.resize(c * kDescriptorSize);
    }
    void push(const PointList &from, int i)
    {
        x[size_t(n)] = from.x[size_t(i)];
        y[size_t(n)] = from.y[size_t(i)];
        s[size_t(n)] = from.s[size_t(i)];
        std::copy_n(from.d.begin() + ptrdiff_t(i) * kDescriptorSize, kDescriptorSize,
                    d.begin() + ptrdiff_t(n) * kDescriptorSize);
        ++n;
    }
};

struct Pairs {
    std::vector<int> x1, y1, x2, y2;
    std::vector<float> d;
    int n() const { return int(x1.size()); }
};

// Matches side a against side b with at most maxPairs pairs and appends them; returns the
// count appended or the matcher's negative code.
int match_into(Pairs &out, int maxPairs, int maxShiftX, int maxShiftY, const PointList &a,
               const PointList &b)
{
    if (maxPairs < 1)
        return 0;
    const size_t cap = size_t(maxPairs);
    std::vector<int> x1(cap), y1(cap), x2(cap), y2(cap);
    std::vector<float> d(cap);
    const int got = find_paires(maxPairs, maxShiftX, maxShiftY, a.n, a.x.data(), a.y.data(),
                                a.s.data(), a.d.data(), b.n, b.x.data(), b.y.data(), b.s.data(),
                                b.d.data(), x1.data(), y1.data(), x2.data(), y2.data(), d.data());
    for (int k = 0; k < got; ++k) {
        out.x1.push_back(x1[size_t(k)]);
        out.y1.push_back(y1[size_t(k)]);
        out.x2.push_back(x2[size_t(k)]);
        out.y2.push_back(y2[size_t(k)]);
        out.d.push_back(d[size_t(k)]);
    }
    return got;
}

// The main matching of a tile: of all its pairs, at most maxPairs shared by the cells of a grid
// over the region, the nearest of each cell first. The nearest pairs of the whole tile would
// crowd into its most textured part, and a projective fit through them extrapolates to the
// rest: on a hand-held phone bracket they held to a sixth of the frame and the fit was 6 pixels
// off at the far side while every pair agreed with it.
int match_spread(Pairs &out, int maxPairs, int maxShiftX, int maxShiftY, const PointList &a,
                 const PointList &b, const Region &r)
{
    Pairs all;
    const int got = match_into(all, kMaxCandidatePairs, maxShiftX, maxShiftY, a, b);
    if (got < 0)
        return got;
    std::vector<int> cells(static_cast<size_t>(got));
    for (int k = 0; k < got; ++k)
        cells[size_t(k)] = align::detail::spread_cell(all.x1[size_t(k)] - r.x0,
                                                      all.y1[size_t(k)] - r.y0, r.w, r.h);
    // The candidates come nearest first.
    const std::vector<size_t> kept = align::detail::spread_over_cells(
        cells, size_t(std::max(maxPairs, 0)), [](size_t i, size_t j) { return i < j; });
    for (size_t k : kept) {
        out.x1.push_back(all.x1[k]);
        out.y1.push_back(all.y1[k]);
        out.x2.push_back(all.x2[k]);
        out.y2.push_back(all.y2[k]);
        out.d.push_back(all.d[k]);
    }
    return int(kept.size());
}

// Detection on a region of the photo that starts at byte photo: grey bytes row by row, then
// kvdetect, in nThreads bands of rows; points moved to image coordinates.
int detect_region(const unsigned char *photo, int width, int spp, int bps, const Region &r,
                  int nThreads, std::vector<unsigned char> &grey, PointList &out)
{
    grey.resize(size_t(r.w) * size_t(r.h));
    const size_t pixelBytes = size_t(spp) * size_t(bps / 8);
    imagecore::run_banded(nThreads, r.h, [&](const imagecore::Band &b) {
        for (int y = b.begin; y < b.end; ++y) {
            const unsigned char *row =
                photo + (size_t(r.y0 + y) * size_t(width) + size_t(r.x0)) * pixelBytes;
            greyscale(r.w, 1, spp, bps, 0, row, grey.data() + size_t(y) * size_t(r.w));
        }
    });
    out.reserve(kTileMaxPoints + 1);
    const int n = kvdetect(1, r.w, r.h, kTileMaxPoints, 0, 0, grey.data(), nThreads, out.x.data(),
                           out.y.data(), out.s.data(), out.d.data());
    out.n = std::max(n, 0);
    for (int i = 0; i < out.n; ++i) {
        out.x[size_t(i)] += r.x0;
        out.y[size_t(i)] += r.y0;
    }
    return n;
}

// A point of the reference through the transforms of order[1] .. order[k].
void map_chain(const float *transforms, const int *order, int k, float x, float y, float *X,
               float *Y)
{
    for (int j = 1; j <= k; ++j)
        map_point_stored(transforms + size_t(order[j]) * kTransformSize, x, y, &x, &y);
    *X = x;
    *Y = y;
}

template <class T>
void warp_rows(int width, int height, int newWidth, int rowStart, int rowEnd, int spp, int offsetX,
               int offsetY, const int *order, const float *transforms, int k, const T *src, T *dst)
{
    constexpr float top = sizeof(T) == 1 ? 255.0f : 65535.0f;
    constexpr float round = sizeof(T) == 1 ? 0.5f : 0.0f;
    const size_t s = size_t(spp), mid = size_t((spp - 1) / 2), last = s - 1;
    const size_t stride = size_t(width) * s;
    const float maxX = float(width - 1), maxY = float(height - 1);
    // The reference's own transform is the identity, which maps every float to itself: the
    // chain starts at place 1. A row's source points are mapped first, transform by transform,
    // in loops the compiler can vectorise.
    std::vector<float> rowX(static_cast<size_t>(newWidth)), rowY(rowX.size());
    for (int y = rowStart; y < rowEnd; ++y) {
        T *out = dst + size_t(y - rowStart) * size_t(newWidth) * s;
        for (int x = 0; x < newWidth; ++x) {
            rowX[size_t(x)] = float(x - offsetX);
            rowY[size_t(x)] = float(y - offsetY);
        }
        for (int j = 1; j <= k; ++j) {
            const float *t = transforms + size_t(order[j]) * kTransformSize;
            for (int x = 0; x < newWidth; ++x)
                map_point_stored(t, rowX[size_t(x)], rowY[size_t(x)], &rowX[size_t(x)],
                                 &rowY[size_t(x)]);
        }
        for (int x = 0; x < newWidth; ++x, out += s) {
            const float sx = rowX[size_t(x)], sy = rowY[size_t(x)];
            // Truncation takes (-1, 0) to pixel 0, sampled with a negative fraction; the last
            // column and row are inside, their missing neighbour weighing 0.
            if (!(sx > -1.0f && sx <= maxX && sy > -1.0f && sy <= maxY)) {
                std::fill(out, out + s, T(0));
                out[0] = out[mid] = out[last] = T(top);
                continue;
            }
            const int ix = int(sx), iy = int(sy);
            const float fx = sx - float(ix), fy = sy - float(iy);
            const size_t x1 = size_t(std::min(ix + 1, width - 1));
            const size_t y1 = size_t(std::min(iy + 1, height - 1));
            const T *r0 = src + size_t(iy) * stride, *r1 = src + y1 * stride;
            const T *p00 = r0 + size_t(ix) * s, *p10 = r0 + x1 * s;
            const T *p01 = r1 + size_t(ix) * s, *p11 = r1 + x1 * s;
            for (size_t c = 0; c < s; ++c) {
                const float v = float(p00[c]) * (1 - fy) * (1 - fx) +
                                float(p10[c]) * (1 - fy) * fx + float(p01[c]) * (1 - fx) * fy +
                                float(p11[c]) * fx * fy;
                out[c] = T(std::clamp(v, 0.0f, top) + round);
            }
        }
    }
}

// The photos the feature stage reads: n photos of width x height, photoBytes apart.
struct Stack {
    const unsigned char *images;
    int width, height, spp, bps;
    size_t photoBytes;
    const unsigned char *photo(int k) const { return images + size_t(k) * photoBytes; }
};

int detection_factor(int width, int height)
{
    return (std::max(width, height) + kDetectionSide - 1) / kDetectionSide;
}

// Grey copies of the photos reduced by D on each side (means of D x D blocks).
Stack reduce_stack(const Stack &full, int n, int D, int nThreads, std::vector<unsigned char> &out)
{
    const int w = full.width / D, h = full.height / D;
    out.assign(size_t(n) * size_t(w) * size_t(h), 0);
    const size_t pixelBytes = size_t(full.spp) * size_t(full.bps / 8);
    // Every reduced row on its own: bands over the rows of all the photos.
    const imagecore::BandReport report =
        imagecore::run_banded(nThreads, n * h, [&](const imagecore::Band &b) {
            std::vector<unsigned char> row(static_cast<size_t>(full.width));
            std::vector<uint32_t> sums(static_cast<size_t>(w));
            for (int ky = b.begin; ky < b.end; ++ky) {
                const int k = ky / h, y = ky % h;
                std::fill(sums.begin(), sums.end(), 0u);
                for (int j = 0; j < D; ++j) {
                    greyscale(full.width, 1, full.spp, full.bps, 0,
                              full.photo(k) + size_t(y * D + j) * size_t(full.width) * pixelBytes,
                              row.data());
                    for (int x = 0; x < w; ++x)
                        for (int i = 0; i < D; ++i)
                            sums[size_t(x)] += row[size_t(x * D + i)];
                }
                unsigned char *dst = out.data() + (size_t(k) * size_t(h) + size_t(y)) * size_t(w);
                for (int x = 0; x < w; ++x)
                    dst[x] = static_cast<unsigned char>((sums[size_t(x)] + uint32_t(D * D / 2)) /
                                                        uint32_t(D * D));
            }
        });
    if (report.threw > 0) // a band's row buffers
        throw std::bad_alloc();
    return {out.data(), w, h, 1, 8, size_t(w) * size_t(h)};
}

// A transform fitted on photos reduced by D, for the full photos.
void scale_transform(float *t, float d)
{
    t[2] *= d, t[5] *= d, t[6] /= d, t[7] /= d;
}

// One transform per place i >= 1 of the order: from the photo at place i - 1 to the photo at
// place i, into transforms + 8 x photo (left as they are where the step fails).
int fit_steps(AlignContext &ctx, const Stack &st, int n, const int *order, int maxShiftX,
              int maxShiftY, int nThreads, progressCallback cb, float progressFrom,
              float progressSpan, const std::vector<char> &todo, float *transforms,
              std::vector<char> &acceptedSteps)
{
    const int width = st.width, height = st.height, spp = st.spp, bps = st.bps;
    const Tiling tiling = make_tiling(width, height, ctx.maxMatchesOptimized);
    const int tiles = tiling.nx * tiling.ny;
    if (tiles < 1)
        return -1;
    const int nx = tiling.nx, perTile = tiling.matchesPerTile;
    std::vector<PointList> cache(static_cast<size_t>(tiles)), border(static_cast<size_t>(tiles));
    std::vector<unsigned char> grey;
    int cached = -1; // the photo whose points the cache holds
    for (int i = 1; i < n; ++i) {
        if (!todo[size_t(i)])
            continue;
        const int P = order[size_t(i)], Q = order[size_t(i - 1)];
        Pairs pairs;
        for (int t = 0; t < tiles; ++t) {
            const Region &r = tiling.regions[size_t(t)];
            PointList ref;
            if (cached != Q) {
                if (int rc = detect_region(st.photo(Q), width, spp, bps, r, nThreads, grey, ref);
                    rc < 0)
                    return rc;
            } else {
                ref = std::move(cache[size_t(t)]);
            }
            if (t < tiles - 1) {
                PointList &b = border[size_t(t)];
                b.n = 0;
                b.reserve(kBorderPoints);
                for (int p = 0; p < ref.n && b.n < kBorderPoints; ++p)
                    if (ref.x[size_t(p)] - r.x0 > r.w - maxShiftX - kTileMargin ||
                        ref.y[size_t(p)] - r.y0 > r.h - maxShiftY - kTileMargin)
                        b.push(ref, p);
            }
            PointList &cur = cache[size_t(t)];
            if (int rc = detect_region(st.photo(P), width, spp, bps, r, nThreads, grey, cur);
                rc < 0)
                return rc;
            Pairs tilePairs;
            const int found = match_spread(tilePairs, perTile, maxShiftX, maxShiftY, ref, cur, r);
            if (found < 0)
                return found;
            if (t > 0 && found < kFewPairs) {
                // The tiles to the left and above: their points of P against this tile's
                // reference side, then their border points against P here.
                const PointList *left = t % nx > 0 ? &cache[size_t(t - 1)] : nullptr;
                const PointList *above = t >= nx ? &cache[size_t(t - nx)] : nullptr;
                const PointList *leftBorder = left ? &border[size_t(t - 1)] : nullptr;
                const PointList *aboveBorder = above ? &border[size_t(t - nx)] : nullptr;
                const std::pair<const PointList *, const PointList *> tries[] = {
                    {&ref, left}, {&ref, above}, {leftBorder, &cur}, {aboveBorder, &cur}};
                for (const auto &[a, b] : tries) {
                    if (tilePairs.n() > kFewPairs)
                        break;
                    const PointList *neighbour = a == &ref ? b : a;
                    if (!neighbour || neighbour->n <= kNeighbourPoints)
                        continue;
                    // A failed attempt adds nothing.
                    match_into(tilePairs, perTile - tilePairs.n(), maxShiftX, maxShiftY, *a, *b);
                }
            }
            pairs.x1.insert(pairs.x1.end(), tilePairs.x1.begin(), tilePairs.x1.end());
            pairs.y1.insert(pairs.y1.end(), tilePairs.y1.begin(), tilePairs.y1.end());
            pairs.x2.insert(pairs.x2.end(), tilePairs.x2.begin(), tilePairs.x2.end());
            pairs.y2.insert(pairs.y2.end(), tilePairs.y2.begin(), tilePairs.y2.end());
            pairs.d.insert(pairs.d.end(), tilePairs.d.begin(), tilePairs.d.end());
            const float done = float((i - 1) * tiles + t + 1) / float((n - 1) * tiles);
            if (!progress(cb, progressFrom + progressSpan * done))
                return -1000;
        }
        cached = P;
        float *T = transforms + size_t(P) * kTransformSize;
        const float fit = find_at9(&ctx, width, height, pairs.n(), pairs.x1.data(), pairs.y1.data(),
                                   pairs.x2.data(), pairs.y2.data(), pairs.d.data(), T, nThreads);
        const bool accepted =
            fit >= 0 && step_accepted(T, width, height, pairs.n(), pairs.x1.data(), pairs.y1.data(),
                                      pairs.x2.data(), pairs.y2.data());
        // A failed fit, its own -4 included, leaves the identity.
        if (!accepted)
            make_identity(T);
        acceptedSteps[size_t(i)] = accepted ? 1 : 0;
    }
    return 0;
}

// The points of every tile of one photo.
using TilePoints = std::vector<PointList>;

int detect_tiles(const Stack &st, int k, const Tiling &tiling, int nThreads, TilePoints &out)
{
    // A photo has few tiles (9 at 12 MP): each tile's rows are banded rather than the tiles, so
    // no band waits for a thread that took two tiles.
    const int tiles = int(tiling.regions.size());
    out.assign(size_t(tiles), PointList{});
    std::vector<unsigned char> grey;
    for (int t = 0; t < tiles; ++t)
        if (const int rc = detect_region(st.photo(k), st.width, st.spp, st.bps,
                                         tiling.regions[size_t(t)], nThreads, grey, out[size_t(t)]);
            rc < 0)
            return rc;
    return 0;
}

// Pairs of one step matched around a known motion: each point of the earlier photo is looked
// for only within radius pixels of where t sends it, by the matcher's rules; each tile keeps at
// most its budget, shared by the cells of a grid.
int guided_pairs(const TilePoints &a, const TilePoints &b, const Tiling &tiling, const float *t,
                 int radius, Pairs &out)
{
    std::vector<align::detail::Candidate> found;
    std::vector<int> px, py, cells;
    for (size_t k = 0; k < tiling.regions.size(); ++k) {
        const PointList &A = a[k], &B = b[k];
        const Region &r = tiling.regions[k];
        px.resize(size_t(A.n)), py.resize(size_t(A.n));
        for (int i = 0; i < A.n; ++i) {
            float X, Y;
            map_point_stored(t, float(A.x[size_t(i)]), float(A.y[size_t(i)]), &X, &Y);
            // Far outside (or not finite) stays far outside.
            px[size_t(i)] = int(std::clamp(std::round(X), -1e6f, 1e6f));
            py[size_t(i)] = int(std::clamp(std::round(Y), -1e6f, 1e6f));
        }
        const int n = align::detail::match_candidates(radius, radius, A.n, px.data(), py.data(),
                                                      A.s.data(), A.d.data(), B.n, B.x.data(),
                                                      B.y.data(), B.s.data(), B.d.data(), found);
        if (n < 0)
            return n;
        cells.resize(size_t(n));
        for (int c = 0; c < n; ++c) {
            const int i = found[size_t(c)].a;
            cells[size_t(c)] =
                align::detail::spread_cell(A.x[size_t(i)] - r.x0, A.y[size_t(i)] - r.y0, r.w, r.h);
        }
        const std::vector<size_t> kept = align::detail::spread_over_cells(
            cells, size_t(tiling.matchesPerTile), [](size_t i, size_t j) { return i < j; });
        for (size_t c : kept) {
            const align::detail::Candidate &f = found[c];
            out.x1.push_back(A.x[size_t(f.a)]);
            out.y1.push_back(A.y[size_t(f.a)]);
            out.x2.push_back(B.x[size_t(f.b)]);
            out.y2.push_back(B.y[size_t(f.b)]);
            out.d.push_back(f.d);
        }
    }
    return 0;
}

// Refines the transform of one step at full size: pairs matched around the present transform,
// first within a wide radius (what a fit on reduced photos may be off by), then within a narrow
// one around the better fit. Returns 1 with t refined when the step test takes both fits, 0
// (t unchanged) when not, or a negative code.
int refine_step(AlignContext &ctx, const TilePoints &a, const TilePoints &b, const Tiling &tiling,
                int width, int height, int wideRadius, int nThreads, float *t)
{
    float trial[kTransformSize];
    std::copy(t, t + kTransformSize, trial);
    for (int radius : {wideRadius, kNarrowRadius}) {
        Pairs pairs;
        if (int rc = guided_pairs(a, b, tiling, trial, radius, pairs); rc < 0)
            return rc;
        float fit[kTransformSize];
        const float norm =
            find_at9(&ctx, width, height, pairs.n(), pairs.x1.data(), pairs.y1.data(),
                     pairs.x2.data(), pairs.y2.data(), pairs.d.data(), fit, nThreads);
        const bool ok =
            norm >= 0 && step_accepted(fit, width, height, pairs.n(), pairs.x1.data(),
                                       pairs.y1.data(), pairs.x2.data(), pairs.y2.data());
        if (!ok)
            return 0;
        std::copy(fit, fit + kTransformSize, trial);
    }
    std::copy(trial, trial + kTransformSize, t);
    return 1;
}

} // namespace

namespace {

// One side of a region: the tile's span plus a margin where the image goes on.
void region_side(int origin, int tile, int size, int *start, int *length)
{
    *start = origin > kTileMargin ? origin - kTileMargin : origin;
    int end = std::min(size, origin + tile);
    if (end < size - kTileMargin)
        end += kTileMargin;
    *length = end - *start;
}

} // namespace

align::detail::Tiling align::detail::make_tiling(int width, int height, int budget)
{
    Tiling t;
    if (width < 1 || height < 1)
        return t;
    const int tw = std::min(width, kTileSide), th = std::min(height, kTileSide);
    const int nx0 = width / tw, ny0 = height / th;
    t.matchesPerTile = budget / (nx0 * ny0);
    t.nx = width - nx0 * tw >= kExtraTileFrom ? nx0 + 1 : nx0;
    t.ny = height - ny0 * th >= kExtraTileFrom ? ny0 + 1 : ny0;
    const int count = t.nx * t.ny;
    for (int i = 0; i < count; ++i)
        t.origins.push_back({(i % t.nx) * tw, (i / t.nx) * th});
    const int ySlack = height - (t.origins.back().second + th);
    const int xSlack = width - (t.origins.back().first + tw);
    for (auto &[ox, oy] : t.origins) {
        if (ySlack > 0)
            oy += ySlack;
        if (xSlack > 15)
            ox += xSlack >> 1;
        Region r;
        region_side(ox, tw, width, &r.x0, &r.w);
        region_side(oy, th, height, &r.y0, &r.h);
        t.regions.push_back(r);
    }
    return t;
}

int classementImages(int n, int width, int height, int spp, int bps, const unsigned char *images,
                     int *keys, int *order, int nThreads)
{
    if (n < 1)
        return 0;
    if (!images || !keys || !order || width < 1 || height < 1 || spp < 1 || (bps != 8 && bps != 16))
        return -3;
    const auto photo = platform::checked_product({width, height, spp, bps / 8});
    if (!photo || !platform::checked_mul(*photo, size_t(n)))
        return -3;
    const uint64_t pixels = uint64_t(width) * uint64_t(height);
    for (int k = 0; k < n; ++k) {
        imagecore::LumaHistogram hist{};
        imagecore::add_luma_histogram(images + size_t(k) * *photo, pixels, spp, bps, 65535, hist,
                                      nThreads);
        keys[k] = imagecore::brightness_key(hist, pixels);
    }
    imagecore::brightness_order(n, keys, order);
    return n;
}

int align_with_transf_orig(int width, int height, int newWidth, int rowStart, int rowEnd, int spp,
                           int bps, int offsetX, int offsetY, const int *order,
                           const float *transforms, int k, int64_t photoOffset, const void *images,
                           void *dst)
{
    if ((bps != 8 && bps != 16) || !order || !transforms || !images || !dst)
        return 0;
    if (rowStart >= rowEnd)
        return rowStart;
    if (bps == 8)
        warp_rows(width, height, newWidth, rowStart, rowEnd, spp, offsetX, offsetY, order,
                  transforms, k, static_cast<const uint8_t *>(images) + photoOffset,
                  static_cast<uint8_t *>(dst));
    else
        warp_rows(width, height, newWidth, rowStart, rowEnd, spp, offsetX, offsetY, order,
                  transforms, k, static_cast<const uint16_t *>(images) + photoOffset,
                  static_cast<uint16_t *>(dst));
    return rowEnd;
}

void align_with_transf_threaded(warpThreadArgs *a)
{
    const int band = a->newHeight / a->bandCount;
    const int rowStart = a->band * band;
    const int rowEnd = a->band == a->bandCount - 1 ? a->newHeight : rowStart + band;
    unsigned char *dst =
        static_cast<unsigned char *>(a->dst) +
        size_t(a->newWidth) * size_t(rowStart) * size_t(a->spp) * size_t(a->bps / 8);
    a->result = align_with_transf_orig(a->width, a->height, a->newWidth, rowStart, rowEnd, a->spp,
                                       a->bps, a->offsetX, a->offsetY, a->order, a->transforms,
                                       a->k, a->photoOffset, a->images, dst);
}

int rt_align(int nThreads, int maxShiftX, int maxShiftY, int n, int width, int height, int spp,
             int bps, int *alignDims, unsigned char *images, progressCallback cb)
{
    if (n < 1 || width < 1 || height < 1)
        return -1;
    if (!alignDims || !images || spp < 1 || (bps != 8 && bps != 16))
        return -3;
    const auto photoSamples = platform::checked_product({width, height, spp});
    const auto photoBytes = platform::checked_product({width, height, spp, bps / 8});
    if (!photoSamples || !photoBytes || !platform::checked_mul(*photoBytes, size_t(n)) ||
        *photoSamples > size_t(INT64_MAX) / size_t(n))
        return -3;
    try {
        AlignContext ctx;
        std::vector<int> keys(static_cast<size_t>(n)), order(static_cast<size_t>(n));
        classementImages(n, width, height, spp, bps, images, keys.data(), order.data(), nThreads);
        std::vector<float> transforms(size_t(n) * kTransformSize);
        for (int k = 0; k < n; ++k)
            make_identity(transforms.data() + size_t(k) * kTransformSize);
        const auto photo = [&](int k) { return images + size_t(k) * *photoBytes; };

        float minX = 0, maxX = 0, minY = 0, maxY = 0;
        if (n > 1) {
            const int D = detection_factor(width, height);
            Stack full{images, width, height, spp, bps, *photoBytes};
            // Steps are found on photos reduced to a size whose features repeat from one
            // exposure to the next (by D), refined on photos a third as much reduced (by R, the
            // full size up to 3 x 1100 pixels a side), and looked for there where that fails.
            const int R = std::max(1, D / 3);
            std::vector<unsigned char> fineCopy;
            const Stack fine = R > 1 ? reduce_stack(full, n, R, nThreads, fineCopy) : full;
            std::vector<char> todo(static_cast<size_t>(n), 1), accepted(todo.size(), 0);
            todo[0] = 0;
            for (int pass = 0; pass < (D > R ? 2 : 1); ++pass) {
                const int f = pass == 0 ? D : R;
                std::vector<unsigned char> reduced;
                const Stack s = f == R ? fine : reduce_stack(full, n, f, nThreads, reduced);
                align_context_start(&ctx, s.width, s.height);
                // Progress: the first pass to 0.45, its refinement to 0.9; a second pass stays
                // at 0.9.
                if (int rc = fit_steps(ctx, s, n, order.data(), maxShiftX / f, maxShiftY / f,
                                       nThreads, cb, pass == 0 ? 0.0f : 0.9f,
                                       pass == 0 ? 0.45f : 0.0f, todo, transforms.data(), accepted);
                    rc < 0)
                    return rc;
                reduced = std::vector<unsigned char>();
                align_context_start(&ctx, fine.width, fine.height);
                const Tiling tiling = make_tiling(fine.width, fine.height, ctx.maxMatchesOptimized);
                TilePoints previous, current;
                int previousPhoto = -1;
                for (int i = 1; i < n; ++i) {
                    if (!todo[size_t(i)])
                        continue;
                    float *T = transforms.data() + size_t(order[size_t(i)]) * kTransformSize;
                    todo[size_t(i)] = 0;
                    if (!accepted[size_t(i)]) {
                        todo[size_t(i)] = 1;
                        continue;
                    }
                    scale_transform(T, float(f) / float(R));
                    if (previousPhoto != order[size_t(i - 1)])
                        if (int rc = detect_tiles(fine, order[size_t(i - 1)], tiling, nThreads,
                                                  previous);
                            rc < 0)
                            return rc;
                    if (int rc = detect_tiles(fine, order[size_t(i)], tiling, nThreads, current);
                        rc < 0)
                        return rc;
                    const int refined =
                        refine_step(ctx, previous, current, tiling, fine.width, fine.height,
                                    2 * ((f + R - 1) / R) + 2, nThreads, T);
                    if (refined < 0)
                        return refined;
                    if (refined) {
                        scale_transform(T, float(R));
                    } else {
                        make_identity(T);
                        todo[size_t(i)] = 1;
                    }
                    std::swap(previous, current);
                    previousPhoto = order[size_t(i)];
                    if (pass == 0 && !progress(cb, 0.45f + 0.45f * float(i) / float(n - 1)))
                        return -1000;
                }
            }
            // The reference's corners as each photo sees them.
            const float W = float(width), H = float(height);
            const float corners[4][2] = {{0, 0}, {W, 0}, {0, H}, {W, H}};
            for (int i = 1; i < n; ++i) {
                float cx[4], cy[4];
                for (int c = 0; c < 4; ++c)
                    map_chain(transforms.data(), order.data(), i, corners[c][0], corners[c][1],
                              &cx[c], &cy[c]);
                for (float v : {cx[0], cx[2], cx[1] - W, cx[3] - W})
                    minX = std::min(minX, v), maxX = std::max(maxX, v);
                for (float v : {cy[0], cy[1], cy[2] - H, cy[3] - H})
                    minY = std::min(minY, v), maxY = std::max(maxY, v);
            }
        }

        // A span past the frame (or not a number) leaves no common area: the fallback below.
        const float spanX = maxX - minX, spanY = maxY - minY;
        int newWidth = spanX < float(width) ? width - int(std::ceil(spanX)) : 0;
        int newHeight = spanY < float(height) ? height - int(std::ceil(spanY)) : 0;
        if (0.3 * height > newHeight || 0.3 * width > newWidth) {
            for (int k = 0; k < n; ++k)
                make_identity(transforms.data() + size_t(k) * kTransformSize);
            newWidth = width, newHeight = height;
            minX = maxX = minY = maxY = 0;
        }
        if (alignDims[0] == 1)
            newWidth = width, newHeight = height;
        const int offsetX = int(minX), offsetY = int(minY);

        const size_t outBytes =
            size_t(newWidth) * size_t(newHeight) * size_t(spp) * size_t(bps / 8);
        std::vector<unsigned char> warped(outBytes);
        for (int k = 0; k < n; ++k) {
            const int P = order[size_t(k)];
            const float *T = transforms.data() + size_t(P) * kTransformSize;
            align_log("photo: %d  %1.6f %1.6f %1.6f %1.6f    %1.6f %1.6f %1.6f %1.6f\n", k,
                      double(T[0]), double(T[1]), double(T[2]), double(T[3]), double(T[4]),
                      double(T[5]), double(T[6]), double(T[7]));
            warpThreadArgs base{width,
                                height,
                                newWidth,
                                newHeight,
                                spp,
                                bps,
                                offsetX,
                                offsetY,
                                k,
                                int64_t(P) * int64_t(*photoSamples),
                                order.data(),
                                transforms.data(),
                                images,
                                warped.data(),
                                0,
                                1,
                                0};
            imagecore::run_banded(nThreads, newHeight, [&base](const imagecore::Band &b) {
                warpThreadArgs a = base;
                a.band = b.index;
                a.bandCount = b.count;
                align_with_transf_threaded(&a);
            });
            std::memcpy(photo(P), warped.data(), outBytes);
            if (!progress(cb, 0.9f + 0.1f * float(k + 1) / float(n)))
                return -1000;
        }
        if ((newWidth != width || newHeight != height) && n > 1)
            for (int j = 1; j < n; ++j)
                std::memmove(images + size_t(j) * outBytes, photo(j), outBytes);

        alignDims[0] = newWidth;
        alignDims[1] = newHeight;
        const int result = int((maxX - minX) + (maxY - minY));
        align_log("rt_align: %d  from %d x %d  to  %d x %d\n", result, width, height, newWidth,
                  newHeight);
        return result;
    } catch (const std::bad_alloc &) {
        return -4;
    }
}
