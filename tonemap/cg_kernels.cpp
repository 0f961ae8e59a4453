// Conjugate-gradient vector kernels. One row routine holds the Laplacian stencil and its border
// forms, so the banded, the single-thread and the in-place products give identical values.
#include "tonemap/cg_kernels.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "platform/checked_size.h"

namespace {

constexpr int kTraceCg = 0;

// Columns c0 .. c1 - 1 of one row of A x, written at out[c0 .. c1 - 1]. mid is the row, up and
// down the rows above and below it (null for the level's top and bottom row); the neighbours are
// summed in a fixed order so every path (whole rows, chunks of elements) rounds alike.
void laplacian_cols(const float *up, const float *mid, const float *down, int w, bool wrap, int c0,
                    int c1, float *out)
{
    const int e = w - 1, lo = std::max(c0, 1), hi = std::min(c1, e);
    const bool first = c0 == 0, last = c1 == w;
    if (up && down) {
        for (int c = lo; c < hi; ++c)
            out[c] = up[c] + down[c] + mid[c - 1] + mid[c + 1] - 4.0f * mid[c];
        if (first)
            out[0] = wrap ? up[0] + down[0] + mid[e] + mid[1] - 4.0f * mid[0]
                          : up[0] + down[0] + mid[1] - 3.0f * mid[0];
        if (last)
            out[e] = wrap ? up[e] + down[e] + mid[e - 1] + mid[0] - 4.0f * mid[e]
                          : up[e] + down[e] + mid[e - 1] - 3.0f * mid[e];
    } else if (down) { // top row; in 360 mode its middle cell joins every cell's neighbours
        const float P = mid[w / 2];
        if (wrap) {
            for (int c = lo; c < hi; ++c)
                out[c] = P + mid[c - 1] + mid[c + 1] + down[c] - 4.0f * mid[c];
            if (first)
                out[0] = P + mid[e] + mid[1] + down[0] - 4.0f * mid[0];
            if (last)
                out[e] = P + mid[e - 1] + mid[0] + down[e] - 4.0f * mid[e];
        } else {
            for (int c = lo; c < hi; ++c)
                out[c] = mid[c - 1] + mid[c + 1] + down[c] - 3.0f * mid[c];
            if (first)
                out[0] = mid[1] + down[0] - 2.0f * mid[0];
            if (last)
                out[e] = mid[e - 1] + down[e] - 2.0f * mid[e];
        }
    } else { // bottom row
        for (int c = lo; c < hi; ++c)
            out[c] = mid[c - 1] + mid[c + 1] + up[c] - 3.0f * mid[c];
        if (first)
            out[0] =
                wrap ? mid[e] + mid[1] + up[0] - 3.0f * mid[0] : mid[1] + up[0] - 2.0f * mid[0];
        if (last)
            out[e] = wrap ? mid[e - 1] + mid[0] + up[e] - 3.0f * mid[e]
                          : mid[e - 1] + up[e] - 2.0f * mid[e];
    }
}

void laplacian_row(const float *up, const float *mid, const float *down, int w, bool wrap,
                   float *out)
{
    laplacian_cols(up, mid, down, w, wrap, 0, w, out);
}

// Elements a .. b - 1 of y = A x over a level of w x h (row by row, each row's columns in that
// range).
void laplacian_range(int64_t w, int64_t h, bool wrap, int64_t a, int64_t b, const float *x,
                     float *y)
{
    for (int64_t r = a / w; r < h && r * w < b; ++r) {
        const int64_t start = r * w;
        const int c0 = int(std::max<int64_t>(a - start, 0));
        const int c1 = int(std::min<int64_t>(b - start, w));
        laplacian_cols(r > 0 ? x + start - w : nullptr, x + start,
                       r + 1 < h ? x + start + w : nullptr, int(w), wrap, c0, c1, y + start);
    }
}

int64_t chunks_of(int64_t n)
{
    return (n + kDotChunk - 1) / kDotChunk;
}

// The chunk sums of a dot product, chunks [first, end) of kDotChunk elements over n (at most
// INT_MAX), each from 0 in index order.
void chunk_sums(int64_t n, int64_t first, int64_t end, const float *x, const float *y, float *sums)
{
    const tm20_chunk args{n, 0.0f, x, y, sums};
    const int count = int(chunks_of(n));
    for (int64_t c = first; c < end; ++c) {
        const int64_t a = c * kDotChunk;
        tm20d_threaded(args, {int(c), count, int(a), int(std::min<int64_t>(a + kDotChunk, n))});
    }
}

// The chunk sums added in chunk order.
float add_in_order(const std::vector<float> &sums)
{
    float total = 0.0f;
    for (float v : sums)
        total += v;
    return total;
}

bool level_ok(int w, int h, const float *x, const float *y)
{
    return w >= 2 && h >= 2 && x && y && x != y;
}

} // namespace

int tm20mi_orig(int w, int rows, int is360, int64_t start, const float *x, float *y)
{
    if (w < 2 || start < 0 || !x || !y)
        return -3;
    const size_t W = static_cast<size_t>(w);
    const float *in = x + start;
    float *out = y + start;
    for (int r = 1; r < rows - 1; ++r)
        laplacian_row(in + (r - 1) * W, in + r * W, in + (r + 1) * W, w, is360 != 0, out + r * W);
    return rows < 3 ? 0 : rows - 2;
}

int tm20mi_threaded(const tm20mi_args &args, const imagecore::Band &band)
{
    const int64_t first = std::max<int64_t>(band.begin - 1, 0);
    const int64_t last = std::min<int64_t>(band.end + 1, args.h); // one past the region
    return tm20mi_orig(static_cast<int>(args.w), static_cast<int>(last - first), args.is360,
                       first * args.w, args.x, args.y);
}

int tm20mi(ThreadCount threads, int w, int h, int is360, const float *x, float *y)
{
    if (!level_ok(w, h, x, y))
        return -3;
    const tm20mi_args args{w, h, is360, x, y};
    // Recomputing a row gives the same values, so a failed thread start costs only time.
    imagecore::run_banded(
        threads.count, h, [&](const imagecore::Band &band) { tm20mi_threaded(args, band); },
        imagecore::BandFallback::RedoAll);
    return h;
}

int tm20m(ThreadCount threads, int w, int h, int is360, const float *x, float *y)
{
    if (!level_ok(w, h, x, y))
        return -3;
    const size_t W = static_cast<size_t>(w), last = static_cast<size_t>(h - 1) * W;
    laplacian_row(nullptr, x, x + W, w, is360 != 0, y);
    tm20mi(threads, w, h, is360, x, y);
    laplacian_row(x + last - W, x + last, nullptr, w, is360 != 0, y + last);
    return h;
}

int tm20m_streaming(int w, int h, int is360, float *x)
{
    if (w < 2 || h < 3 || !x)
        return -3;
    const size_t W = static_cast<size_t>(w);
    std::vector<float> window;
    try {
        window.resize(*platform::checked_product({3, w}));
    } catch (const std::bad_alloc &) {
        return -4;
    }
    // Copies of input rows r - 1, r and r + 1: row r of x is overwritten while its neighbours
    // are still needed.
    float *row[3] = {window.data(), window.data() + W, window.data() + 2 * W};
    std::memcpy(row[0], x, 3 * W * sizeof(float));
    const bool wrap = is360 != 0;
    laplacian_row(nullptr, row[0], row[1], w, wrap, x);
    for (int r = 1; r < h - 1; ++r) {
        if (r >= 2) {
            std::rotate(row, row + 1, row + 3);
            std::memcpy(row[2], x + static_cast<size_t>(r + 1) * W, W * sizeof(float));
        }
        laplacian_row(row[0], row[1], row[2], w, wrap, x + static_cast<size_t>(r) * W);
    }
    laplacian_row(row[1], row[2], nullptr, w, wrap, x + static_cast<size_t>(h - 1) * W);
    return h;
}

int tm20m_strip(int w, int h, int is360, int r0, int r1, const float *rows, float *out)
{
    if (w < 2 || h < 2 || r0 < 0 || r1 > h || r0 >= r1 || !rows || !out)
        return -3;
    const size_t W = static_cast<size_t>(w);
    const float *mid = r0 > 0 ? rows + W : rows; // row r0 within the strip's rows
    for (int r = r0; r < r1; ++r, mid += W, out += W)
        laplacian_row(r > 0 ? mid - W : nullptr, mid, r + 1 < h ? mid + W : nullptr, w, is360 != 0,
                      out);
    return r1 - r0;
}

float tm20d_accumulate(float s, int n, const float *x, const float *y)
{
    for (int i = 0; i < n; ++i)
        s += x[i] * y[i];
    return s;
}

int tm20a_orig(int n, const float *x, const float *y, float *out, float a)
{
    if (!x || !y || !out)
        return -3;
    for (int i = 0; i < n; ++i)
        out[i] = a * y[i] + x[i];
    return std::max(n, 0);
}

int tm20d_orig(int n, const float *x, const float *y, float *result)
{
    if (!x || !y || !result)
        return -3;
    *result = tm20d_accumulate(0.0f, n, x, y);
    return std::max(n, 0);
}

int tm20a_threaded(const tm20_chunk &args, const imagecore::Band &chunk)
{
    const int len = chunk.end - chunk.begin;
    return tm20a_orig(len, args.x + chunk.begin, args.y + chunk.begin, args.out + chunk.begin,
                      args.a);
}

int tm20d_threaded(const tm20_chunk &args, const imagecore::Band &chunk)
{
    const int len = chunk.end - chunk.begin;
    return tm20d_orig(len, args.x + chunk.begin, args.y + chunk.begin, args.out + chunk.index);
}

int tm20a(ThreadCount threads, int n, const float *x, const float *y, float *out, float a)
{
    if (n < 0 || !x || !y || !out)
        return -3;
    if (threads.count < 2)
        return tm20a_orig(n, x, y, out, a);
    const tm20_chunk args{n, a, x, y, out};
    auto work = [&](const imagecore::Band &chunk) { tm20a_threaded(args, chunk); };
    // In place a chunk must not run twice: only those whose thread did not start run here.
    const imagecore::BandReport report =
        imagecore::run_chunked(threads.count, n, work, imagecore::BandFallback::Report);
    for (int i = 0; i < report.count; ++i) {
        if (report.ran[i])
            continue;
        if (kTraceCg)
            std::fprintf(stderr,
                         "*************   tm20a  error tm20a_threaded: chunk %d of %d  "
                         "***************\n",
                         i, report.count);
        work(imagecore::band_chunk(i, report.count, n));
    }
    return n;
}

int tm20d(ThreadCount threads, int n, const float *x, const float *y, float *result)
{
    if (n < 0 || !x || !y || !result)
        return -3;
    try {
        std::vector<float> sums(size_t(chunks_of(n)));
        // Bands of whole chunks: a chunk's sum never depends on the band that takes it.
        imagecore::run_banded(threads.count, int(sums.size()), [&](const imagecore::Band &b) {
            chunk_sums(n, b.begin, b.end, x, y, sums.data());
        });
        *result = add_in_order(sums);
    } catch (const std::bad_alloc &) {
        return -4;
    }
    return n;
}

void ChunkedDot::add(int n, const float *x, const float *y)
{
    for (int i = 0; i < n;) {
        const int64_t room = kDotChunk - m_done % kDotChunk;
        const int len = int(std::min<int64_t>(room, n - i));
        m_part = tm20d_accumulate(m_part, len, x + i, y + i);
        i += len;
        m_done += len;
        if (m_done % kDotChunk == 0) {
            m_total += m_part;
            m_part = 0.0f;
        }
    }
}

float ChunkedDot::sum() const
{
    return m_done % kDotChunk ? m_total + m_part : m_total;
}

int tm20md(ThreadCount threads, int w, int h, int is360, const float *p, float *t, float *pt)
{
    if (!level_ok(w, h, p, t) || !pt || int64_t(w) * h > INT_MAX)
        return -3;
    const int64_t n = int64_t(w) * h;
    try {
        std::vector<float> sums(size_t(chunks_of(n)));
        // Chunk by chunk: its products, then its sum while they are still in cache. A chunk
        // writes only its own elements of t and reads p alone, so bands never overlap.
        imagecore::run_banded(threads.count, int(sums.size()), [&](const imagecore::Band &b) {
            for (int64_t c = b.begin; c < b.end; ++c) {
                const int64_t a = c * kDotChunk, e = std::min<int64_t>(a + kDotChunk, n);
                laplacian_range(w, h, is360 != 0, a, e, p, t);
                chunk_sums(n, c, c + 1, p, t, sums.data());
            }
        });
        *pt = add_in_order(sums);
    } catch (const std::bad_alloc &) {
        return -4;
    }
    return h;
}

int tm20aad(ThreadCount threads, int n, float alpha, const float *p, const float *t, float *x,
            float *r, float *rr)
{
    if (n < 0 || !p || !t || !x || !r || !rr)
        return -3;
    try {
        std::vector<float> sums(size_t(chunks_of(n)));
        imagecore::run_banded(threads.count, int(sums.size()), [&](const imagecore::Band &b) {
            for (int64_t c = b.begin; c < b.end; ++c) {
                const int64_t a = c * kDotChunk;
                const int len = int(std::min<int64_t>(kDotChunk, n - a));
                tm20a_orig(len, x + a, p + a, x + a, alpha);
                tm20a_orig(len, r + a, t + a, r + a, -alpha);
                chunk_sums(n, c, c + 1, r, r, sums.data());
            }
        });
        *rr = add_in_order(sums);
    } catch (const std::bad_alloc &) {
        return -4;
    }
    return n;
}
