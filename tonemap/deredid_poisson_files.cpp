// The slider-mode Poisson solve out of core: the right-hand-side pyramid in a temporary file, the
// vectors of the two finest levels in four more, taken a strip of rows at a time through the
// kernels the in-memory solve uses, in the same order, so both give the same values.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "platform/temp_file.h"
#include "tonemap/detail/conjugate_gradients.h"
#include "tonemap/strip_io.h"

namespace tonemap::detail {
namespace {

constexpr int kTraceCgFiles = 0;
constexpr int64_t kStripFloats = 1 << 16;

// The vectors of one level in files: the right-hand side in the pyramid file at the level's
// offset, each of the others from the start of its own file.
class StreamedCg {
public:
    StreamedCg(const Level &l, int is360, FILE *pyramid, FILE *const vectors[4])
        : m_w(int(l.w)), m_h(int(l.h)), m_is360(is360),
          m_rows(int(std::clamp<int64_t>(kStripFloats / l.w, 1, l.h))),
          m_file{pyramid, vectors[0], vectors[1], vectors[2], vectors[3]}, m_offset{l.offset, 0, 0,
                                                                                    0, 0},
          m_a(size_t(m_rows + 2) * size_t(m_w)), m_b(size_t(m_rows) * size_t(m_w))
    {
    }

    int laplacian(int src, int dst)
    {
        for (int r0 = 0; r0 < m_h; r0 += m_rows) {
            const int r1 = std::min(r0 + m_rows, m_h);
            const int lo = std::max(r0 - 1, 0), hi = std::min(r1 + 1, m_h);
            if (read(src, int64_t(lo) * m_w, (hi - lo) * m_w, m_a.data()) < 0)
                return -20;
            tm20m_strip(m_w, m_h, m_is360, r0, r1, m_a.data(), m_b.data());
            if (write(dst, int64_t(r0) * m_w, (r1 - r0) * m_w, m_b.data()) < 0)
                return -20;
        }
        return 0;
    }

    int axpy(int out, int x, int y, float a)
    {
        return strips([&](int64_t at, int n) {
            if (read(x, at, n, m_a.data()) < 0 || read(y, at, n, m_b.data()) < 0)
                return -20;
            tm20a_orig(n, m_a.data(), m_b.data(), m_a.data(), a);
            return write(out, at, n, m_a.data());
        });
    }

    int copy(int dst, int src)
    {
        return strips([&](int64_t at, int n) {
            return read(src, at, n, m_a.data()) < 0 ? -20 : write(dst, at, n, m_a.data());
        });
    }

    int dot(int x, int y, float *sum)
    {
        ChunkedDot s;
        const int rc = strips([&](int64_t at, int n) {
            if (read(x, at, n, m_a.data()) < 0 || (y != x && read(y, at, n, m_b.data()) < 0))
                return -20;
            s.add(n, m_a.data(), y != x ? m_b.data() : m_a.data());
            return 0;
        });
        *sum = s.sum();
        return rc;
    }
    // The fused passes of the solve in memory, here as their operations in sequence.
    int laplacian_dot(float *pt)
    {
        const int rc = laplacian(kCgP, kCgT);
        return rc < 0 ? rc : dot(kCgP, kCgT, pt);
    }
    int step(float alpha, float *rr)
    {
        int rc;
        if ((rc = axpy(kCgX, kCgX, kCgP, alpha)) < 0 || (rc = axpy(kCgR, kCgR, kCgT, -alpha)) < 0)
            return rc;
        return dot(kCgR, kCgR, rr);
    }

private:
    // fn(first element, count) over strips of whole rows; stops at a negative result.
    template <class Fn> int strips(Fn &&fn)
    {
        const int64_t n = int64_t(m_w) * m_h, step = int64_t(m_rows) * m_w;
        for (int64_t at = 0; at < n; at += step)
            if (const int rc = fn(at, int(std::min(step, n - at))); rc < 0)
                return rc;
        return 0;
    }
    int read(int v, int64_t at, int n, float *buffer)
    {
        return read_strip(m_file[v], m_offset[v] + at, n, buffer);
    }
    int write(int v, int64_t at, int n, const float *buffer)
    {
        return write_strip(m_file[v], m_offset[v] + at, n, buffer);
    }

    int m_w, m_h, m_is360, m_rows;
    FILE *m_file[kCgVectors];
    int64_t m_offset[kCgVectors];
    std::vector<float> m_a, m_b;
};

// The prolongation of coarse (rows from the source) over fine, written to dst from its start.
int prolong_into(FILE *dst, const Level &fine, const Level &coarse, const RowSource &coarseRow,
                 int is360)
{
    std::vector<float> row(size_t(fine.w));
    for (int64_t y = 0; y < fine.h; ++y) {
        const bool below = (y & 1) && y / 2 + 1 < coarse.h;
        const float *r0 = coarseRow(y / 2), *r1 = below ? coarseRow(y / 2 + 1) : nullptr;
        if (!r0 || (below && !r1))
            return -20;
        prolongate_row(r0, r1, coarse.w, row.data(), fine.w, y, is360);
        if (write_strip(dst, y * fine.w, int(fine.w), row.data()) < 0)
            return -20;
    }
    return 0;
}

// Rows of a level in a file, two kept: a fine row reads coarse rows j and j + 1.
RowSource file_rows(FILE *f, const Level &l, std::vector<float> &cache, int64_t (&held)[2])
{
    cache.assign(size_t(2 * l.w), 0.0f);
    held[0] = held[1] = -1;
    return [f, w = l.w, &cache, &held](int64_t j) -> const float * {
        float *row = cache.data() + (j & 1) * w;
        if (held[j & 1] != j) {
            if (read_strip(f, j * w, int(w), row) < 0)
                return nullptr;
            held[j & 1] = j;
        }
        return row;
    };
}

} // namespace

int solve_out_of_core(const std::vector<Level> &lv, int maxIter, float base, int is360, float *work,
                      const optim_param_struct &opt)
{
    platform::TempFile pyramid = platform::TempFile::create(opt.tmpPath[1]);
    platform::TempFile vectors[4];
    for (int i = 0; i < 4; ++i)
        vectors[i] = platform::TempFile::create(opt.tmpPath[2 + i]);
    if (!pyramid.ok() || !std::all_of(vectors, vectors + 4, [](auto &v) { return v.ok(); })) {
        if (kTraceCgFiles)
            std::printf("can not open temporary file %s\n", "of the conjugate gradients");
        return -1;
    }
    for (const Level &l : lv)
        if (write_strip(pyramid.get(), l.offset, int(l.pixels()), work + l.offset) < 0) {
            if (kTraceCgFiles)
                std::printf("could not write to temporary file iofpRHS");
            return -2;
        }
    auto tolerance = [&](size_t k) {
        return base * cg_tolerance_factor(lv[k].w, lv[k].h, k + 1 == lv.size());
    };

    // Levels 2 and coarser in work, which the pyramid has left: x and r change roles as in
    // memory, b is read from the file.
    const int64_t n2 = lv[2].pixels();
    float *x = work, *r = work + n2, *t = work + 2 * n2, *b = work + 3 * n2;
    std::fill_n(x, lv.back().pixels(), 0.0f); // the coarsest level starts from zero
    for (size_t k = lv.size(); k-- > 2;) {
        const Level &l = lv[k];
        if (read_strip(pyramid.get(), l.offset, int(l.pixels()), b) < 0)
            return -20;
        MemoryCg v(int(l.w), int(l.h), is360, ThreadCount(0), b, x, r, t);
        if (const int rc = conjugate_gradients(tolerance(k), maxIter, v); rc < 0)
            return rc;
        if (k > 2) {
            prolongate(x, l.w, l.h, r, lv[k - 1].w, lv[k - 1].h, is360);
            std::swap(x, r);
        }
    }
    FILE *files[4] = {vectors[0].get(), vectors[1].get(), vectors[2].get(), vectors[3].get()};
    const float *coarse = x;
    int rc = prolong_into(
        files[0], lv[1], lv[2], [&](int64_t j) { return coarse + j * lv[2].w; }, is360);
    for (size_t k = 2; rc >= 0 && k-- > 0;) {
        StreamedCg v(lv[k], is360, pyramid.get(), files);
        rc = conjugate_gradients(tolerance(k), maxIter, v);
        if (rc >= 0 && k == 1) {
            std::vector<float> cache;
            int64_t held[2];
            rc = prolong_into(files[1], lv[0], lv[1], file_rows(files[0], lv[1], cache, held),
                              is360);
            std::swap(files[0], files[1]);
        }
    }
    if (rc < 0)
        return rc;
    const int64_t n = lv[0].pixels();
    for (int64_t at = 0; at < n; at += kStripFloats) {
        const int count = int(std::min(kStripFloats, n - at));
        if (read_strip(files[0], at, count, work + at) < 0)
            return -20;
        for (int i = 0; i < count; ++i)
            work[at + i] = std::exp(work[at + i]);
    }
    return int(n);
}

} // namespace tonemap::detail
