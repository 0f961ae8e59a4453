// Pyramid pieces of the local operator's stages 1 and 2: the level layout, the binomial
// reduction, gradient magnitudes through a three-row window, the spreading of a coarse level
// over the next finer one (as a product in stage 1, as a starting guess in stage 2), the
// divergence of the attenuated gradients, and the slider readings.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "imagecore/banded.h"
#include "imagecore/float_clamp.h"
#include "tonemap/detail/deredid_levels.h"
#include "tonemap/tm_params.h"

namespace tonemap::detail {
namespace {

// Border weights of the reduction: an edge pixel's centre, edge and diagonal neighbours, a
// corner's centre and neighbours.
constexpr float kEdgeCentre = 0.33333f, kEdgeSide = 0.166667f, kEdgeDiagonal = 1.0f / 12.0f;
constexpr float kCornerCentre = 0.5f, kCornerSide = 0.25f;

float interior(float c, float l, float r, float u, float d, float ul, float ur, float dl, float dr)
{
    return 0.25f * c + 0.125f * (l + r + u + d) + 0.0625f * (ul + ur + dl + dr);
}

// One output pixel centred on (cx, cy) of an input with at least one neighbour missing.
float reduce_border(const float *in, int64_t w, int64_t h, int64_t cx, int64_t cy, bool wrap)
{
    auto at = [&](int64_t x, int64_t y) { return in[y * w + x]; };
    const bool hasL = cx > 0, hasR = cx + 1 < w, hasU = cy > 0, hasD = cy + 1 < h;
    const float c = at(cx, cy);
    if ((!hasL || !hasR) && (!hasU || !hasD)) { // a corner: no diagonal, never wrapped
        const float side = at(hasL ? cx - 1 : cx + 1, cy);
        const float vert = at(cx, hasU ? cy - 1 : cy + 1);
        return kCornerCentre * c + kCornerSide * side + kCornerSide * vert;
    }
    if (!hasU) { // top row
        const float l = at(cx - 1, 0), r = at(cx + 1, 0), d = at(cx, 1);
        const float dl = at(cx - 1, 1), dr = at(cx + 1, 1);
        if (wrap) {
            const float first = at(0, 0);
            return interior(c, l, r, first, d, first, at(w / 2, 0), dl, dr);
        }
        return kEdgeCentre * c + kEdgeSide * (l + r + d) + kEdgeDiagonal * (dl + dr);
    }
    if (!hasD) { // last row of an odd height: the row above stands in for the missing one
        const float l = at(cx - 1, cy), r = at(cx + 1, cy), u = at(cx, cy - 1);
        return kEdgeCentre * c + kEdgeSide * (l + r + u) +
               kEdgeDiagonal * (at(cx - 1, cy - 1) + at(cx + 1, cy - 1));
    }
    // Left column, or the right column of an odd width.
    const int64_t in_x = hasL ? cx - 1 : cx + 1;
    const float u = at(cx, cy - 1), d = at(cx, cy + 1), s = at(in_x, cy);
    const float su = at(in_x, cy - 1), sd = at(in_x, cy + 1);
    if (wrap) {
        const int64_t out_x = hasL ? 0 : w - 1; // the opposite edge
        return interior(c, s, at(out_x, cy), u, d, su, at(out_x, cy - 1), sd, at(out_x, cy + 1));
    }
    return kEdgeCentre * c + kEdgeSide * (u + d + s) + kEdgeDiagonal * (su + sd);
}

// The coarse value over fine pixel (x, y) from coarse row y / 2 (row) and, for an odd y, the row
// below it (next; null for the last row of an even height); see multiply_upsampled.
inline float spread(const float *row, const float *next, bool yOdd, int64_t cw, int64_t x,
                    bool wrap)
{
    const int64_t i = x / 2;
    const bool xo = x & 1, hasR = i + 1 < cw;
    if (!yOdd || !next) {
        if (!xo)
            return row[i];
        if (hasR)
            return (row[i] + row[i + 1]) * 0.5f;
        // The last column of an even width wraps on even rows; the bottom-right corner of an
        // even level never does.
        return wrap && !yOdd ? (row[i] + row[0]) * 0.5f : row[i];
    }
    if (!xo)
        return (row[i] + next[i]) * 0.5f;
    if (hasR)
        return (row[i] + row[i + 1] + next[i] + next[i + 1]) * 0.25f;
    return wrap ? (row[i] + row[0] + next[i] + next[0]) * 0.25f : (row[i] + next[i]) * 0.5f;
}

// The coarse row that fine row y reads below row y / 2, or null.
inline const float *next_coarse_row(const float *coarse, int64_t cw, int64_t ch, int64_t y)
{
    return (y & 1) && y / 2 + 1 < ch ? coarse + (y / 2 + 1) * cw : nullptr;
}

// Rows of an in-place row filter in bands: the original values of the rows a band reads but
// the band beside it may overwrite first, saved before the bands run. Row r of the copy is
// asked for only at a band's edge.
class BandEdges {
public:
    // Saves rows begin - 1 (above) and, with below, begin of every band but the first.
    BandEdges(const float *level, int64_t w, int64_t h, int threads, bool below)
        : m_w(w), m_count(imagecore::band_count(threads, int(h)))
    {
        m_rows.resize(size_t(2 * m_count) * size_t(w));
        for (int k = 1; k < m_count; ++k) {
            const int64_t b = imagecore::band_rows(k, m_count, int(h)).begin;
            std::memcpy(row(k, 0), level + (b - 1) * w, size_t(w) * sizeof(float));
            if (below)
                std::memcpy(row(k, 1), level + b * w, size_t(w) * sizeof(float));
        }
    }
    int count() const { return m_count; }
    // The original row above band k's first row, and band k's first row.
    const float *above(int k) const { return m_rows.data() + at(k, 0); }
    const float *first(int k) const { return m_rows.data() + at(k, 1); }

private:
    size_t at(int k, int which) const { return size_t(2 * k + which) * size_t(m_w); }
    float *row(int k, int which) { return m_rows.data() + at(k, which); }
    int64_t m_w;
    int m_count;
    std::vector<float> m_rows;
};

// Band work here throws only when its scratch cannot be allocated; the runner catches it in the
// band, and this brings it back to the calling thread.
void run_or_throw(int threads, int64_t h, const imagecore::BandWork &work)
{
    if (imagecore::run_banded(threads, int(h), work).threw > 0)
        throw std::bad_alloc();
}

// Runs fn(first row, end row) over threads.count bands of h rows (pixel-wise work: the values
// never depend on the split).
template <class Fn> void row_bands(ThreadCount threads, int64_t h, Fn &&fn)
{
    run_or_throw(threads.count, h,
                 [&fn](const imagecore::Band &b) { fn(int64_t(b.begin), int64_t(b.end)); });
}

} // namespace

std::vector<Level> halving_levels(int64_t w, int64_t h, int count)
{
    std::vector<Level> lv{{w, h, 0}};
    for (int k = 1; k < count && lv.back().w > 5 && lv.back().h > 5; ++k) {
        const Level &b = lv.back();
        lv.push_back({(b.w + 1) / 2, (b.h + 1) / 2, b.offset + b.pixels()});
    }
    return lv;
}

AttenuationParams attenuation_params(const float *p)
{
    AttenuationParams a;
    const float p7 = p[kDeMicrosmoothing], p6 = p[kDeMicrocontrast];
    a.epsFactor = p7 > 11 ? static_cast<float>((p7 - 11) / 10.0 + 0.7333) : p7 / 15.0f;
    a.sldA = p6 <= 2 ? 0.1 * std::pow(2.0, p6 / 2.5) : 0.1 * std::pow(2.0, (p6 - 2) * 0.125 + 0.8);
    const float x = static_cast<float>((p[kDeLuminosity] + 10) * 0.6 + 1);
    a.e = static_cast<float>((x / -100.0 + 1) - 1);
    a.is360 = imagecore::clamp_to_int(p[kDeIs360]);
    return a;
}

void reduce_level(const float *in, int64_t w, int64_t h, int is360, float *out, ThreadCount threads)
{
    const int64_t ow = (w + 1) / 2, oh = (h + 1) / 2;
    const bool wrap = is360 != 0;
    row_bands(threads, oh, [&](int64_t j0, int64_t j1) {
        for (int64_t j = j0; j < j1; ++j) {
            const int64_t cy = 2 * j;
            float *o = out + j * ow;
            if (cy == 0 || cy + 1 >= h) {
                for (int64_t i = 0; i < ow; ++i)
                    o[i] = reduce_border(in, w, h, 2 * i, cy, wrap);
                continue;
            }
            const float *u = in + (cy - 1) * w, *c = u + w, *d = c + w;
            o[0] = reduce_border(in, w, h, 0, cy, wrap);
            // An odd width's last column is a border.
            const int64_t last = (w % 2 == 1) ? ow - 1 : ow;
            for (int64_t i = 1; i < last; ++i) {
                const int64_t x = 2 * i;
                o[i] = interior(c[x], c[x - 1], c[x + 1], u[x], d[x], u[x - 1], u[x + 1], d[x - 1],
                                d[x + 1]);
            }
            if (last < ow && ow > 1)
                o[ow - 1] = reduce_border(in, w, h, 2 * (ow - 1), cy, wrap);
        }
    });
}

double gradient_magnitudes(float *level, int64_t w, int64_t h, int is360, float s,
                           ThreadCount threads)
{
    const bool wrap = is360 != 0;
    const size_t W = static_cast<size_t>(w);
    // A single-precision sum in index order runs low once the running total dwarfs each
    // magnitude: 0.14 % on a 6-megapixel photo, 0.75 % on an 8-megapixel one, more on larger
    // ones. alpha and epsilon follow the mean, so the picture would depend on the photo's size;
    // a double sum keeps the mean exact to far below a float's resolution. Each row is summed
    // on its own and the rows' sums added in row order, whatever the bands.
    std::vector<double> rowSums(static_cast<size_t>(h));
    auto component = [](float g) { return std::fabs(g) > 100.0f ? 0.0f : g; };
    const BandEdges edges(level, w, h, threads.count, true);
    run_or_throw(edges.count(), h, [&](const imagecore::Band &b) {
        std::vector<float> window(2 * W); // the original rows y - 1 and y
        float *prev = window.data(), *cur = prev + W;
        if (b.index > 0)
            std::memcpy(prev, edges.above(b.index), W * sizeof(float));
        for (int64_t y = b.begin; y < b.end; ++y) {
            float *row = level + y * w;
            std::memcpy(cur, row, W * sizeof(float));
            // The band below may have overwritten its first row: its copy stands in.
            const float *next = y + 1 >= h      ? cur
                                : y + 1 < b.end ? row + w
                                                : edges.first(b.index + 1);
            const bool edgeRow = y == 0 || y == h - 1;
            double sum = 0;
            for (int64_t x = 0; x < w; ++x) {
                const bool corner = edgeRow && (x == 0 || x == w - 1);
                const float c = cur[x];
                float l = x > 0 ? cur[x - 1] : c, r = x + 1 < w ? cur[x + 1] : c;
                if (wrap && !corner) {
                    if (x == 0)
                        l = cur[w - 1];
                    if (x == w - 1)
                        r = cur[0];
                }
                const float up = y > 0 ? prev[x] : (wrap && !corner ? cur[w / 2] : c);
                const float gx = component(r - l), gy = component(next[x] - up);
                const float m = std::sqrt(gx * gx + gy * gy) * s;
                row[x] = m;
                sum += m;
            }
            rowSums[size_t(y)] = sum;
            std::swap(prev, cur);
        }
    });
    double sum = 0;
    for (double v : rowSums)
        sum += v;
    return sum;
}

void multiply_upsampled(const float *coarse, int64_t cw, int64_t ch, float *fine, int64_t fw,
                        int64_t fh, int is360, ThreadCount threads)
{
    const bool wrap = is360 != 0;
    row_bands(threads, fh, [&](int64_t y0, int64_t y1) {
        for (int64_t y = y0; y < y1; ++y) {
            const float *row = coarse + y / 2 * cw, *next = next_coarse_row(coarse, cw, ch, y);
            float *f = fine + y * fw;
            for (int64_t x = 0; x < fw; ++x)
                f[x] *= spread(row, next, y & 1, cw, x, wrap);
        }
    });
}

void prolongate_row(const float *row, const float *next, int64_t cw, float *fine, int64_t fw,
                    int64_t y, int is360)
{
    for (int64_t x = 0; x < fw; ++x)
        fine[x] = spread(row, next, y & 1, cw, x, is360 != 0);
}

void prolongate(const float *coarse, int64_t cw, int64_t ch, float *fine, int64_t fw, int64_t fh,
                int is360, ThreadCount threads)
{
    row_bands(threads, fh, [&](int64_t y0, int64_t y1) {
        for (int64_t y = y0; y < y1; ++y)
            prolongate_row(coarse + y / 2 * cw, next_coarse_row(coarse, cw, ch, y), cw,
                           fine + y * fw, fw, y, is360);
    });
}

namespace {

// Rows y0 .. y1 - 1 of divergence_rows; prev holds P's original row y0 - 1 (unread for row 0).
bool divergence_band(const RowSource &L, float *P, int64_t w, int64_t h, int64_t y0, int64_t y1,
                     float *prev, float *cur)
{
    const size_t W = static_cast<size_t>(w);
    const float *up = y0 > 0 ? L(y0 - 1) : nullptr, *l = L(y0);
    if (y0 > 0 && !up)
        return false;
    for (int64_t y = y0; y < y1; ++y) {
        const float *down = y + 1 < h ? L(y + 1) : nullptr;
        if (!l || (y + 1 < h && !down))
            return false;
        float *p = P + y * w;
        std::memcpy(cur, p, W * sizeof(float));
        for (int64_t x = 0; x < w; ++x) {
            const float c = l[x];
            float v = 0;
            if (x + 1 < w)
                v += (l[x + 1] - c) * cur[x];
            if (down)
                v += (down[x] - c) * cur[x];
            if (x > 0)
                v += (l[x - 1] - c) * cur[x - 1];
            if (up)
                v += (up[x] - c) * prev[x];
            p[x] = v;
        }
        std::swap(prev, cur);
        up = l;
        l = down;
    }
    return true;
}

} // namespace

bool divergence_rows(const RowSource &L, float *P, int64_t w, int64_t h)
{
    std::vector<float> window(2 * static_cast<size_t>(w)); // P of rows y - 1 and y, as they were
    return divergence_band(L, P, w, h, 0, h, window.data(), window.data() + w);
}

void divergence(const float *L, float *P, int64_t w, int64_t h, ThreadCount threads)
{
    const RowSource rows = [&](int64_t y) { return L + y * w; };
    // A band reads P's original row above it, which the band above overwrites.
    const BandEdges edges(P, w, h, threads.count, false);
    run_or_throw(edges.count(), h, [&](const imagecore::Band &b) {
        std::vector<float> window(2 * static_cast<size_t>(w));
        if (b.index > 0)
            std::memcpy(window.data(), edges.above(b.index), size_t(w) * sizeof(float));
        divergence_band(rows, P, w, h, b.begin, b.end, window.data(), window.data() + w);
    });
}

int cg_max_iterations(float slot17)
{
    const double n = 50.0 * std::pow(3.0, static_cast<double>(slot17) / 10.0);
    return n >= 1e9 ? 1000000000 : static_cast<int>(n > 0 ? n : 0);
}

float cg_base_tolerance(float slot18)
{
    const double v = slot18;
    const int code = v > -1e6 && v < 1e6 ? static_cast<int>(v) : 1; // NaN: the plain 1e-6
    switch (code) {
    case -1:
        return 1e-4f;
    case -2:
        return 3e-4f;
    case 0:
        return 1e-5f;
    case 2:
        return 1e-7f;
    default:
        return 1e-6f;
    }
}

float cg_tolerance_factor(int64_t w, int64_t h, bool coarsest)
{
    if (coarsest)
        return 0.0001f;
    const int64_t m = (w + h) / 2;
    // In real arithmetic: an integer quotient would give 0 for mean sides of 1601 to 1999.
    return m <= 1600 ? 1.0f : static_cast<float>(20.0 * std::log(static_cast<double>(m) / 1000.0));
}

} // namespace tonemap::detail
