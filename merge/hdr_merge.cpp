// The merge kernel. Everything that would cost a power, a division or a branch per sample is
// tabulated once per call (linearisation curve, per-photo weight tables with the clipping cut
// built in, reciprocal exposures); the pixel loop visits each pixel once, photos innermost, and
// writes each output byte once. Rows are merged in bands; the statistics keep one sum a row,
// added in row order, so every band count gives the same bytes and the same statistics.
#include "merge/hdr_merge.h"

#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "imagecore/banded.h"
#include "merge/detail/clean_up.h"
#include "merge/detail/gamma_curve.h"
#include "merge/detail/weight_tables.h"
#include "merge/ev_estimate.h"
#include "platform/checked_size.h"

namespace {

using merge::detail::kLumaCodes;
using merge::detail::usable_exposure;
constexpr float kMarker = 1e9f;
constexpr int kLocalPhotos = 8; // photos whose per-photo values a band copies into locals

struct Stats {
    float min = 1e9f, max = 0.0f;
    double sum = 0.0;
    int64_t count = 0;
    int64_t zeros = 0, markers = 0; // encoded pixels the clean-up pass will rewrite
};

// The reports one pass over the rows would make, before rows 50, 50 + step, 50 + 2 step, ...
// (step = height / 16, only when above 50), made by whichever band completes the row count that
// reaches one: each once, in order, one at a time.
class RowProgress {
public:
    RowProgress(progressCallback callback, int height)
        : m_callback(callback), m_height(height), m_step(height / 16),
          m_next(callback && height / 16 > 50 ? 50 : kNever), m_due(m_next)
    {
    }
    void row_done()
    {
        if (m_callback == nullptr)
            return;
        if (m_done.fetch_add(1, std::memory_order_relaxed) + 1 <
            m_due.load(std::memory_order_relaxed))
            return;
        std::lock_guard<std::mutex> lock(m_mutex);
        const int64_t done = m_done.load(std::memory_order_relaxed);
        for (; m_next <= done && m_next < m_height; m_next += m_step)
            progress(m_callback, float(m_next) / float(m_height));
        m_due.store(m_next < m_height ? m_next : kNever, std::memory_order_relaxed);
    }

private:
    static constexpr int64_t kNever = INT64_MAX;
    progressCallback m_callback;
    int64_t m_height, m_step;
    int64_t m_next; // the next report's row, guarded by the mutex
    std::atomic<int64_t> m_done{0}, m_due;
    std::mutex m_mutex;
};

// The photos in ascending exposure: pixels, weight table by luma code (zero above the
// saturation level), 1 / exposure and saturation level of each.
struct MergePlan {
    int n, width, height, spp;
    const uint8_t *const *pixels;
    const float *const *tabs;
    const float *inv;
    const unsigned *levels;
    const float *lut;
    RowProgress *progress;
    double *rowSums; // the statistics' sum of each row
    uint8_t *out;
};

// Channel positions, luma shift and photo count of one instantiation of the pixel code: constants
// where the template fixes them, the plan's values otherwise.
template <class T, int SPP, int N> struct Layout {
    static constexpr unsigned shift = sizeof(T) == 2 ? 8 : 0; // luma from the high bytes
    int spp, gpos, bpos, n;
    explicit Layout(const MergePlan &p)
        : spp(SPP ? SPP : p.spp), gpos((spp - 1) / 2), bpos(spp - 1), n(N ? N : p.n)
    {
    }
};

// Vectors of four lanes, one pixel a lane. Every lane does the IEEE single- or double-precision
// operation the scalar code does for its pixel, so results are the same bit for bit; the lanes
// only let four pixels' long dependency chains (sums, division, statistics, encoding) overlap.
typedef float F4 __attribute__((vector_size(16)));
typedef int32_t I4 __attribute__((vector_size(16)));
typedef uint32_t U4 __attribute__((vector_size(16)));
typedef float F2 __attribute__((vector_size(8)));
typedef double D2 __attribute__((vector_size(16)));
typedef uint8_t B4 __attribute__((vector_size(4)));

inline F4 select(I4 mask, F4 a, F4 b)
{
    return F4(((I4)a & mask) | ((I4)b & ~mask));
}
inline I4 select(I4 mask, I4 a, I4 b)
{
    return (a & mask) | (b & ~mask);
}

// Running statistics of one row, lane by lane (the sum in pixel order).
struct RowStats {
    F4 min = {1e9f, 1e9f, 1e9f, 1e9f}, max = {0.0f, 0.0f, 0.0f, 0.0f};
    I4 count = {0, 0, 0, 0}, zeros = {0, 0, 0, 0}, markers = {0, 0, 0, 0}; // negated counts
    double sum = 0.0;
};

// Luminance of a pixel in double, stored as float.
inline float luminance(float r, float g, float b)
{
    return float(0.2 * double(r) + 0.7 * double(g) + 0.1 * double(b));
}

inline F2 low_half(F4 v)
{
    return __builtin_shufflevector(v, v, 0, 1);
}
inline F2 high_half(F4 v)
{
    return __builtin_shufflevector(v, v, 2, 3);
}

// luminance() of two pixels.
inline F2 luminance2(F2 r, F2 g, F2 b)
{
    const D2 rd = __builtin_convertvector(r, D2), gd = __builtin_convertvector(g, D2),
             bd = __builtin_convertvector(b, D2);
    return __builtin_convertvector(0.2 * rd + 0.7 * gd + 0.1 * bd, F2);
}

// The pixel at x, scalar: used for the pixels after the last group of four.
template <class T, int SPP, int N>
inline void merge_pixel(const MergePlan &p, int x, const T *const *rows, const float *const *tabs,
                        const float *inv, const unsigned *levels, uint8_t *const *out, Stats &st)
{
    const Layout<T, SPP, N> lay(p);
    const size_t at = size_t(x) * size_t(lay.spp);
    float sw = 0.0f, sr = 0.0f, sg = 0.0f, sb = 0.0f;
    int clipped = 0;
    for (int k = 0; k < lay.n; ++k) {
        const T *px = rows[k] + at;
        const unsigned r = px[0], g = px[lay.gpos], b = px[lay.bpos];
        const unsigned v =
            54u * (r >> lay.shift) + 183u * (g >> lay.shift) + 19u * (b >> lay.shift);
        clipped += v > levels[k];
        const float w = tabs[k][v];
        sw += w;
        const float q = w * inv[k];
        sr += q * p.lut[r];
        sg += q * p.lut[g];
        sb += q * p.lut[b];
    }
    float rgb[3] = {0.0f, 0.0f, 0.0f};
    if (clipped == lay.n) {
        rgb[0] = rgb[1] = rgb[2] = kMarker;
    } else if (sw > 0.0f) {
        rgb[0] = sr / sw;
        rgb[1] = sg / sw;
        rgb[2] = sb / sw;
    }
    const float y = luminance(rgb[0], rgb[1], rgb[2]);
    if (double(y) < 999999999.0) {
        ++st.count;
        st.max = y > st.max ? y : st.max;
        st.sum += double(y);
    }
    if (y > 0.0f)
        st.min = y < st.min ? y : st.min;
    const merge::Rgbe c = merge::encode_rgbe(rgb[0], rgb[1], rgb[2]);
    st.zeros += c.e == 0;
    st.markers += c.e == 255;
    out[0][x] = c.r;
    out[1][x] = c.g;
    out[2][x] = c.b;
    out[3][x] = c.e;
}

// Four byte lanes (0..255 each) stored at dst.
inline void store_bytes(uint8_t *dst, I4 v)
{
#if defined(__SSE2__)
    const __m128i words = _mm_packs_epi32(__m128i(v), __m128i(v));
    const int32_t b = _mm_cvtsi128_si32(_mm_packus_epi16(words, words));
#else
    const B4 b = __builtin_convertvector(v, B4);
#endif
    std::memcpy(dst, &b, 4);
}

// Pixels x .. x + 3: the same steps as merge_pixel, lane by lane.
template <class T, int SPP, int N>
inline void merge_group(const MergePlan &p, int x, const T *const *rows, const float *const *tabs,
                        const float *inv, const unsigned *levels, uint8_t *const *out, RowStats &rs)
{
    const Layout<T, SPP, N> lay(p);
    const float *lut = p.lut;
    const size_t at = size_t(x) * size_t(lay.spp);
    F4 sw = {0, 0, 0, 0}, sr = sw, sg = sw, sb = sw;
    I4 clipped = {0, 0, 0, 0};
#pragma GCC unroll 8
    for (int k = 0; k < lay.n; ++k) {
        const T *px = rows[k] + at;
        unsigned c[4][3], v[4];
#pragma GCC unroll 4
        for (int j = 0; j < 4; ++j) {
            const T *q = px + size_t(j) * size_t(lay.spp);
            c[j][0] = q[0];
            c[j][1] = SPP == 1 ? q[0] : q[lay.gpos];
            c[j][2] = SPP == 1 ? q[0] : q[lay.bpos];
            v[j] = SPP == 1 ? 256u * (c[j][0] >> lay.shift)
                            : 54u * (c[j][0] >> lay.shift) + 183u * (c[j][1] >> lay.shift) +
                                  19u * (c[j][2] >> lay.shift);
        }
        const I4 luma = {int(v[0]), int(v[1]), int(v[2]), int(v[3])};
        clipped += luma > int(levels[k]); // -1 a clipped photo
        const float *t = tabs[k];
        const F4 w = {t[v[0]], t[v[1]], t[v[2]], t[v[3]]};
        const F4 q = w * inv[k];
        sw += w;
        const F4 lr = {lut[c[0][0]], lut[c[1][0]], lut[c[2][0]], lut[c[3][0]]};
        sr += q * lr;
        if constexpr (SPP != 1) {
            const F4 lg = {lut[c[0][1]], lut[c[1][1]], lut[c[2][1]], lut[c[3][1]]};
            const F4 lb = {lut[c[0][2]], lut[c[1][2]], lut[c[2][2]], lut[c[3][2]]};
            sg += q * lg;
            sb += q * lb;
        }
    }
    const F4 zero = {0, 0, 0, 0};
    const F4 marker = {kMarker, kMarker, kMarker, kMarker};
    const I4 all = clipped == -lay.n;
    const I4 weighted = sw > zero;
    // Lanes without weight divide 0 by 0 here; the selects drop those results.
    const F4 r = select(all, marker, select(weighted, sr / sw, zero));
    const F4 g = SPP == 1 ? r : select(all, marker, select(weighted, sg / sw, zero));
    const F4 b = SPP == 1 ? r : select(all, marker, select(weighted, sb / sw, zero));

    // Statistics: luminance in double, two lanes at a time.
    const F2 y01 = luminance2(low_half(r), low_half(g), low_half(b));
    const F2 y23 = luminance2(high_half(r), high_half(g), high_half(b));
    const F4 y = __builtin_shufflevector(y01, y23, 0, 1, 2, 3);
    const F4 limit = {1e9f, 1e9f, 1e9f, 1e9f}; // y < 1e9f is double(y) < 999999999
    const I4 counted = y < limit;
    rs.count += counted;
    rs.max = select(counted & (y > rs.max), y, rs.max);
    rs.min = select((y > zero) & (y < rs.min), y, rs.min);
    // In pixel order; an uncounted pixel adds +0, which leaves the non-negative sum as it is.
    const F4 yc = select(counted, y, zero);
    const D2 lo = __builtin_convertvector(low_half(yc), D2);
    const D2 hi = __builtin_convertvector(high_half(yc), D2);
    rs.sum = (((rs.sum + lo[0]) + lo[1]) + hi[0]) + hi[1];

    // Encoding as merge::encode_rgbe. m lies in (1e-32, 1e9) where it matters: a normal float,
    // whose exponent field gives frexp's exponent, and the scale 2^(8 - e) is built from it;
    // products with a power of two are exact, so they equal the encoder's double ones.
    F4 m = select(r > g, r, g);
    m = select(m > b, m, b);
    const F4 tiny = {1e-32f, 1e-32f, 1e-32f, 1e-32f}; // m >= 1e-32f is double(m) > 1e-32
    const I4 black = ~(m >= tiny);
    const I4 sat = m >= limit;
    const U4 field = (U4(m) >> 23) & 0xffu;
    const F4 scale = F4((261u - field) << 23);
    const F4 top = {255.0f, 255.0f, 255.0f, 255.0f};
    const I4 zeroI = {0, 0, 0, 0}, topI = {255, 255, 255, 255};
    auto mantissa = [&](F4 ch) {
        F4 t = ch * scale;
        t = select(t > zero, t, zero);
        t = select(t < top, t, top);
        return select(sat, topI, select(black, zeroI, __builtin_convertvector(t, I4)));
    };
    const I4 e = select(sat, topI, select(black, zeroI, I4(field + 2u)));
    rs.zeros += black;
    rs.markers += sat;
    store_bytes(out[0] + x, mantissa(r));
    store_bytes(out[1] + x, mantissa(g));
    store_bytes(out[2] + x, mantissa(b));
    store_bytes(out[3] + x, e);
}

// One row: groups of four pixels, then the rest one by one. The per-photo arrays and the
// statistics are locals, so the byte stores cannot alias them.
template <class T, int SPP, int N>
inline void merge_row(const MergePlan &p, int row, const T *const *rows, const float *const *tabs,
                      const float *inv, const unsigned *levels, Stats &stats)
{
    const int width = p.width;
    uint8_t *r = p.out + size_t(4) * size_t(width) * size_t(row);
    uint8_t *const out[4] = {r, r + width, r + 2 * size_t(width), r + 3 * size_t(width)};
    RowStats rs;
    int x = 0;
    for (; x + 4 <= width; x += 4)
        merge_group<T, SPP, N>(p, x, rows, tabs, inv, levels, out, rs);
    Stats tail;
    tail.sum = rs.sum;
    for (; x < width; ++x)
        merge_pixel<T, SPP, N>(p, x, rows, tabs, inv, levels, out, tail);

    float mn = tail.min, mx = tail.max;
    int64_t count = tail.count, zeros = tail.zeros, markers = tail.markers;
    for (int j = 0; j < 4; ++j) {
        mn = rs.min[j] < mn ? rs.min[j] : mn;
        mx = rs.max[j] > mx ? rs.max[j] : mx;
        count -= rs.count[j];
        zeros -= rs.zeros[j];
        markers -= rs.markers[j];
    }
    stats.min = mn < stats.min ? mn : stats.min;
    stats.max = mx > stats.max ? mx : stats.max;
    p.rowSums[row] = tail.sum;
    stats.count += count;
    stats.zeros += zeros;
    stats.markers += markers;
}

// Rows [band.begin, band.end); spare holds n row pointers of this band's own when there are more
// than kLocalPhotos photos.
template <class T, int SPP, int N>
void merge_rows(const MergePlan &p, const imagecore::Band &band, const T **spare, Stats &st)
{
    // Local copies of the per-photo values keep them out of reach of the output stores.
    constexpr int kLocal = kLocalPhotos;
    const T *rowsLocal[kLocal];
    const T **rows = p.n <= kLocal ? rowsLocal : spare;
    const float *tabsLocal[kLocal];
    float invLocal[kLocal];
    unsigned levelsLocal[kLocal];
    const float *const *tabs = p.tabs;
    const float *inv = p.inv;
    const unsigned *levels = p.levels;
    if (p.n <= kLocal) {
        for (int k = 0; k < p.n; ++k) {
            tabsLocal[k] = p.tabs[k];
            invLocal[k] = p.inv[k];
            levelsLocal[k] = p.levels[k];
        }
        tabs = tabsLocal;
        inv = invLocal;
        levels = levelsLocal;
    }
    const size_t rowSamples = size_t(p.width) * size_t(p.spp);
    for (int row = band.begin; row < band.end; ++row) {
        for (int k = 0; k < p.n; ++k)
            rows[k] = reinterpret_cast<const T *>(p.pixels[k]) + size_t(row) * rowSamples;
        merge_row<T, SPP, N>(p, row, rows, tabs, inv, levels, st);
        p.progress->row_done();
    }
}

template <class T>
using RowsFn = void (*)(const MergePlan &, const imagecore::Band &, const T **, Stats &);

template <class T, int SPP> RowsFn<T> rows_for_count(int n)
{
    switch (n) {
    case 1:
        return merge_rows<T, SPP, 1>;
    case 2:
        return merge_rows<T, SPP, 2>;
    case 3:
        return merge_rows<T, SPP, 3>;
    case 4:
        return merge_rows<T, SPP, 4>;
    case 5:
        return merge_rows<T, SPP, 5>;
    default:
        return merge_rows<T, SPP, 0>;
    }
}

// Merges every row in bands, one Stats a band. false when a band could not be run.
template <class T> bool merge_bands(const MergePlan &p, int nbProc, Stats *bandStats)
{
    const RowsFn<T> rows = p.spp == 3   ? rows_for_count<T, 3>(p.n)
                           : p.spp == 1 ? rows_for_count<T, 1>(p.n)
                                        : rows_for_count<T, 0>(p.n);
    // Row pointers of each band when there are more photos than a band keeps locally, allocated
    // before any byte is written.
    const size_t spare = p.n > kLocalPhotos ? size_t(p.n) : 0;
    std::vector<const T *> pointers(spare * size_t(imagecore::band_count(nbProc, p.height)));
    const imagecore::BandReport report =
        imagecore::run_banded(nbProc, p.height, [&](const imagecore::Band &b) {
            rows(p, b, pointers.data() + size_t(b.index) * spare, bandStats[b.index]);
        });
    return report.complete();
}

int merge_checked(progressCallback callback, int cleanup, int n, int width, int height, int spp,
                  int bps, int curveMode, float *lut, float *exposureTimes, const void *stack,
                  float *stats, uint8_t *out, float evSpacing, int nbProc)
{
    if (lut == nullptr || stack == nullptr || stats == nullptr || out == nullptr || n < 1 ||
        spp < 1 || (bps != 8 && bps != 16) || (n > 1 && exposureTimes == nullptr))
        return -3;
    if (height > 0 && (width < 1 || !platform::checked_product({n, width, height, spp, bps / 8}) ||
                       !platform::checked_product({width, height, 4})))
        return -3;
    const bool estimate = n > 1 && evSpacing > -0.5f;
    if (n > 1 && !estimate)
        for (int k = 0; k < n; ++k)
            if (!usable_exposure(exposureTimes[k]))
                return -3;
    const float gamma = curveMode == 1 ? lut[0] : 2.2f;
    if (!std::isfinite(gamma) || !(gamma > 0.0f))
        return -3;

    std::vector<int> order(size_t(n), 0);
    merge::detail::gamma_curve(1 << bps, gamma, lut);

    if (height <= 0) {
        stats[0] = 1e9f * 256.0f;
        stats[1] = 0.0f;
        stats[2] = 0.0f;
        return 0;
    }

    if (estimate) {
        std::vector<int> keys(size_t(n), 0);
        const int64_t rowLen = int64_t(width) * spp;
        if (rowLen > INT32_MAX ||
            mediane_images(n, width, height, int(rowLen), spp, bps, stack, keys.data(), nbProc) < 0)
            return -3;
        const int r = guess_ev(0, n, keys.data(), exposureTimes, evSpacing);
        if (r < 0)
            return r;
        // Extreme keys (a black and a white photo) can push 2^EV past the float range.
        for (int k = 0; k < n; ++k)
            if (!usable_exposure(exposureTimes[k]))
                return -3;
    }

    // Saturation levels fall from 64000 at the shortest exposure to 60160 at the longest; a
    // single photo, or photos of one exposure, keep 64000.
    if (n > 1 && fClassementCroissant(n, exposureTimes, order.data()) != n)
        return -4;
    std::vector<int> levels(size_t(n), 0);
    merge::detail::saturation_levels(n, exposureTimes, order.data(), levels.data());

    // One weight table per photo in ranking order, by luma code, zero above the photo's
    // saturation level.
    const size_t count = static_cast<size_t>(n);
    std::vector<float> tables(count * kLumaCodes);
    std::vector<const uint8_t *> pixels(count);
    std::vector<const float *> tabs(count);
    std::vector<float> inv(count);
    std::vector<unsigned> saturation(count);
    const size_t photoBytes = size_t(width) * size_t(height) * size_t(spp) * size_t(bps / 8);
    for (int rank = 0; rank < n; ++rank) {
        const int k = order[size_t(rank)];
        float *t = tables.data() + size_t(rank) * kLumaCodes;
        merge::detail::weight_table(t, levels[size_t(rank)], 32768);
        pixels[size_t(rank)] = static_cast<const uint8_t *>(stack) + size_t(k) * photoBytes;
        tabs[size_t(rank)] = t;
        inv[size_t(rank)] = n > 1 ? 1.0f / exposureTimes[k] : 1.0f;
        saturation[size_t(rank)] = unsigned(levels[size_t(rank)]);
    }

    std::vector<double> rowSums(static_cast<size_t>(height));
    RowProgress rowProgress(callback, height);
    const MergePlan plan{n,
                         width,
                         height,
                         spp,
                         pixels.data(),
                         tabs.data(),
                         inv.data(),
                         saturation.data(),
                         lut,
                         &rowProgress,
                         rowSums.data(),
                         out};
    std::array<Stats, imagecore::kMaxBands> bands{};
    const bool merged = bps == 8 ? merge_bands<uint8_t>(plan, nbProc, bands.data())
                                 : merge_bands<uint16_t>(plan, nbProc, bands.data());
    if (!merged)
        return -4;
    // Extremes and counts do not depend on the grouping; the sum adds the rows in order.
    Stats st;
    for (const Stats &b : bands) {
        st.min = b.min < st.min ? b.min : st.min;
        st.max = b.max > st.max ? b.max : st.max;
        st.count += b.count;
        st.zeros += b.zeros;
        st.markers += b.markers;
    }
    for (double rowSum : rowSums)
        st.sum += rowSum;

    stats[0] = st.min * 256.0f;
    stats[1] = st.max * 256.0f;
    stats[2] = (st.count > 0 ? float(st.sum / double(st.count)) : 0.0f) * 256.0f;

    if (cleanup != 2 && (st.zeros > 0 || st.markers > 0)) {
        const imagecore::Rgbe low = merge::detail::grey_rgbe(st.min),
                              high = merge::detail::grey_rgbe(st.max);
        imagecore::run_banded(nbProc, height, [&](const imagecore::Band &b) {
            merge::detail::clean_up(out + size_t(4) * size_t(width) * size_t(b.begin), width,
                                    b.end - b.begin, low, high);
        });
    }
    return height;
}

} // namespace

int kv_hdr_merge(progressCallback callback, int cleanup, int n, int width, int height, int spp,
                 int bps, int curveMode, float *lut, float *exposureTimes, const void *stack,
                 float *hdrMinMaxMoy, uint8_t *rgbeBuf, float evSpacing, int nbProc)
{
    try {
        return merge_checked(callback, cleanup, n, width, height, spp, bps, curveMode, lut,
                             exposureTimes, stack, hdrMinMaxMoy, rgbeBuf, evSpacing, nbProc);
    } catch (const std::bad_alloc &) {
        return -4;
    }
}
