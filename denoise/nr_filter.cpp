// The pyramid noise filter: level steps (filter, then sharpening, banded over rows at the two
// finest levels), decimation, the edge-aware upsampling and the difference passes.
#include "denoise/nr_filter.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "denoise/detail/nr_ops.h"
#include "imagecore/banded.h"

using namespace denoise::detail;

namespace {

constexpr int kLevels = 4;

float luma(const float *p)
{
    return kLumaR * p[0] + kLumaG * p[1] + kLumaB * p[2];
}

// Offsets of the 24 kernel neighbours in floats of a w-wide level.
void kernel_offsets(int w, std::ptrdiff_t *off)
{
    for (int t = 0; t < 24; ++t)
        off[t] = (std::ptrdiff_t(kKernel[t].dy) * w + kKernel[t].dx) * 3;
}

// Runs one pass over procRect's rows, in bands when nThreads >= 2. When a band's thread cannot
// start, every band of the pass runs on this thread, each once: the filter adds its correction
// to filteredBuf, so no row may run twice.
void run_pass(void (*worker)(bandJob *), const bandJob &base, int nThreads)
{
    const int rows = base.procRect[3] - base.procRect[2];
    if (rows <= 0)
        return;
    if (nThreads < 2) {
        bandJob job = base;
        worker(&job);
        return;
    }
    imagecore::run_banded(
        nThreads, rows,
        [&](const imagecore::Band &b) {
            bandJob job = base;
            job.band = b.index;
            job.bandCount = b.count;
            worker(&job);
        },
        imagecore::BandFallback::RedoAll);
}

using imagecore::for_row_bands;
using imagecore::level_threads;

// Coarse rows y0..y1 - 1 of similarityLift.
void lift_rows(int w, const float *fine, float *coarse, int y0, int y1)
{
    const int cw = (w + 1) / 2;
    for (int y = y0; y < y1; ++y) {
        const float *src = fine + std::size_t(2 * y) * w * 3;
        float *dst = coarse + std::size_t(y) * cw * 3;
        for (int x = 0; x < cw; ++x, dst += 3)
            std::memcpy(dst, src + std::size_t(2 * x) * 3, 3 * sizeof(float));
    }
}

} // namespace

namespace denoise::detail {

int similarityLift(int w, int h, const float *fine, float *coarse)
{
    const int ch = (h + 1) / 2;
    lift_rows(w, fine, coarse, 0, ch);
    return ch;
}

int differencePass(int w, int h, const float *first, const float *second, float *out)
{
    const std::size_t n = std::size_t(w) * h * 3;
    for (std::size_t i = 0; i < n; ++i)
        out[i] = second[i] - first[i];
    return w * h;
}

int unDifferencePass(int w, int h, const float *first, const float *second, float *out)
{
    const std::size_t n = std::size_t(w) * h * 3;
    for (std::size_t i = 0; i < n; ++i)
        out[i] = first[i] - second[i];
    return w * h;
}

long long len_pyram(int w, int h, int n)
{
    long long total = 0;
    for (int l = 0; l <= n; ++l) {
        total += static_cast<long long>(w) * h;
        w = (w + 1) / 2;
        h = (h + 1) / 2;
    }
    return total;
}

float edgeSmoothCompareOpposingPoints(const float *A, const float *B, const float *C,
                                      const float *D, const float *E, const float *F, float n)
{
    const float side =
        getDistance(A, B) + getDistance(B, C) + getDistance(D, E) + getDistance(E, F);
    const float score = getDistance(B, E) - (1.0f + n / 150.0f) * side;
    return score > 0.0f ? score : 0.0f;
}

float edgeSmoothInverseSimSum(const float *level, int w, int x, int y, float n)
{
    auto at = [&](int dx, int dy) { return level + (std::size_t(y + dy) * w + (x + dx)) * 3; };
    // Each direction: B and E opposing, their side neighbours one step across the direction.
    return edgeSmoothCompareOpposingPoints(at(-2, 0), at(-1, -1), at(0, -2), at(0, 2), at(1, 1),
                                           at(2, 0), n) +
           edgeSmoothCompareOpposingPoints(at(-1, -1), at(0, -1), at(1, -1), at(-1, 1), at(0, 1),
                                           at(1, 1), n) +
           edgeSmoothCompareOpposingPoints(at(0, -2), at(1, -1), at(2, 0), at(-2, 0), at(-1, 1),
                                           at(0, 2), n) +
           edgeSmoothCompareOpposingPoints(at(1, -1), at(1, 0), at(1, 1), at(-1, -1), at(-1, 0),
                                           at(-1, 1), n);
}

} // namespace denoise::detail

int noiseReduce_orig(int level, int w, int /*h*/, const int *procRect, int /*spp*/,
                     const NrDerived &params, const float *image, const float *scratchBuf,
                     float *detail, float *filteredBuf)
{
    const float strength = params.levelNR[level];
    const float rollBase = std::max(params.levelNoiseLevel[level], 1e-5f);
    const float thrBase = 1e-5f * float(1 << level);
    const float reduce = params.highnoiseLevelReduce;
    std::ptrdiff_t off[24];
    kernel_offsets(w, off);
    for (int y = procRect[2]; y < procRect[3]; ++y) {
        for (int x = procRect[0]; x < procRect[1]; ++x) {
            const std::size_t i = (std::size_t(y) * w + x) * 3;
            const float *px = image + i;
            const float *yp = scratchBuf + i;
            float rolloff = rollBase, threshold = thrBase;
            noiseTransferFunction(px[0] + px[1] + px[2], reduce, &rolloff, &threshold);
            const float slope = rolloff > 0.0f ? 1.0f / rolloff : 0.0f;
            float S = 0.0f, sum[3] = {0.0f, 0.0f, 0.0f};
            for (int t = 0; t < 24; ++t)
                zk_NRgetSimilarity(yp, yp + off[t], px, px + off[t], kKernel[t].k, threshold,
                                   rolloff, slope, &S, sum);
            float *f = filteredBuf + i;
            float *d = detail + i;
            if (S != 0.0f) {
                // (1 - a) p + a mean, taken as p + a (mean - p) over differences from p: the
                // same value, and exactly p where every neighbour equals p.
                const float a = (1.0f - 1.0f / (S + 1.0f)) * strength;
                for (int c = 0; c < 3; ++c)
                    f[c] = f[c] + a * (sum[c] / S);
                d[0] = a;
            } else {
                f[0] = px[0];
                f[1] = px[1];
                f[2] = px[2];
                d[0] = 0.0f;
            }
            d[1] = threshold;
            d[2] = rolloff;
        }
    }
    return procRect[3] - procRect[2];
}

int sharpen_orig(int level, int w, int /*h*/, const int *procRect, int /*spp*/,
                 const NrDerived &params, const float *filteredBuf, const float *detail,
                 float *image)
{
    const float amount = params.levelSharpAmount[level];
    const float chroma = params.chromaSharpeningAmount;
    if (amount == 0.0f && chroma == 0.0f) {
        for (int y = procRect[2]; y < procRect[3]; ++y) {
            const std::size_t i = (std::size_t(y) * w + procRect[0]) * 3;
            const std::size_t n = std::size_t(std::max(procRect[1] - procRect[0], 0)) * 3;
            std::memcpy(image + i, filteredBuf + i, n * sizeof(float));
        }
        return procRect[3] - procRect[2];
    }
    std::ptrdiff_t off[24];
    kernel_offsets(w, off);
    for (int y = procRect[2]; y < procRect[3]; ++y) {
        for (int x = procRect[0]; x < procRect[1]; ++x) {
            const std::size_t i = (std::size_t(y) * w + x) * 3;
            const float *c = filteredBuf + i;
            const float a = std::max(detail[i], 0.0f);
            const float T = detail[i + 2];
            float S = 0.0f, sum[3] = {0.0f, 0.0f, 0.0f};
            if (T > 0.0f) {
                const float rise = 1.0f / T, fall = 4.0f / T;
                for (int t = 0; t < 24; ++t) {
                    const float *q = c + off[t];
                    sharpSimilarityFromSimPixel(getDistance(c, q), q, kKernel[t].k, T, rise, fall,
                                                5.0f, &S, sum);
                }
            }
            float *out = image + i;
            if (S != 0.0f) {
                const float m[3] = {sum[0] / S, sum[1] / S, sum[2] / S};
                const float Y = luma(c), Ym = luma(m);
                const float Y2 = Y + amount * a * S * (Y - Ym);
                const float c2 = a * chroma * S;
                const float R2 = (c[0] - Y) + c2 * ((c[0] - Y) - (m[0] - Ym)) + Y2;
                const float B2 = (c[2] - Y) + c2 * ((c[2] - Y) - (m[2] - Ym)) + Y2;
                out[0] = R2;
                out[1] = (Y2 - kLumaR * R2 - kLumaB * B2) * kInvLumaG;
                out[2] = B2;
            } else {
                out[0] = c[0];
                out[1] = c[1];
                out[2] = c[2];
            }
        }
    }
    return procRect[3] - procRect[2];
}

namespace {

void band_rect(const bandJob &job, int *rect)
{
    const imagecore::Band b =
        imagecore::band_rows(job.band, job.bandCount, job.procRect[3] - job.procRect[2]);
    rect[0] = job.procRect[0];
    rect[1] = job.procRect[1];
    rect[2] = job.procRect[2] + b.begin;
    rect[3] = job.procRect[2] + b.end;
}

} // namespace

void nr_threaded(bandJob *job)
{
    int rect[4];
    band_rect(*job, rect);
    job->result =
        noiseReduce_orig(job->level, job->width, job->height, rect, job->spp, *job->params,
                         job->image, job->scratchBuf, job->detail, job->filteredBuf);
}

void sharpen_threaded(bandJob *job)
{
    int rect[4];
    band_rect(*job, rect);
    job->result = sharpen_orig(job->level, job->width, job->height, rect, job->spp, *job->params,
                               job->filteredBuf, job->detail, job->image);
}

void noiseReduce_set(int level, int w, int h, int *procRect, int spp, int nThreads,
                     const NrDerived &params, float *detail, float *filteredBuf, float *scratchBuf,
                     float *image)
{
    // The triple of the whole level: the filter at the edge of procRect reads the outer rows
    // and columns too, which must not hold another tile's values.
    for_row_bands(nThreads, h, [&](int y0, int y1) {
        const std::size_t b = std::size_t(y0) * w, e = std::size_t(y1) * w;
        for (std::size_t i = b; i < e; ++i)
            RGBtoYCbCr(image + 3 * i, scratchBuf + 3 * i);
        std::memcpy(filteredBuf + 3 * b, image + 3 * b, (e - b) * 3 * sizeof(float));
    });

    bandJob job;
    job.width = w;
    job.height = h;
    job.spp = spp;
    std::copy(procRect, procRect + 4, job.procRect);
    job.level = level;
    job.params = &params;
    job.detail = detail;
    job.filteredBuf = filteredBuf;
    job.scratchBuf = scratchBuf;
    job.image = image;
    // All filter bands end before the sharpening reads their output.
    run_pass(nr_threaded, job, nThreads);
    run_pass(sharpen_threaded, job, nThreads);
}

namespace {

// The interpolated rows y0..y1 - 1 (within 1..h - 2) of the upsampling, columns 1..w - 2.
void reconstruct_rows(int w, const float *coarse, const float *fine, float *out, int y0, int y1)
{
    const int cw = (w + 1) / 2;
    auto C = [&](int i, int j) { return coarse + (std::size_t(j) * cw + i) * 3; };
    auto F = [&](int x, int y) { return fine + (std::size_t(y) * w + x) * 3; };
    auto O = [&](int x, int y) { return out + (std::size_t(y) * w + x) * 3; };
    for (int y = y0; y < y1; ++y) {
        if (y % 2 == 0) {
            for (int x = 1; x < w - 1; ++x) {
                float *o = O(x, y);
                if (x % 2 == 0) {
                    std::memcpy(o, C(x / 2, y / 2), 3 * sizeof(float));
                    continue;
                }
                const float *p = F(x, y);
                float wl = std::max(0.01f, reconDistanceSimilarity(p, F(x - 1, y)));
                float wr = std::max(0.01f, reconDistanceSimilarity(p, F(x + 1, y)));
                const float s = wl + wr;
                wl /= s;
                wr /= s;
                const float *cl = C((x - 1) / 2, y / 2), *cr = C((x + 1) / 2, y / 2);
                // The weights sum to 1: cl + wr (cr - cl), exact between equal pixels.
                for (int c = 0; c < 3; ++c)
                    o[c] = cl[c] + wr * (cr[c] - cl[c]);
            }
        } else {
            for (int x = 1; x < w - 1; ++x) {
                float *o = O(x, y);
                const float *p = F(x, y);
                if (x % 2 == 0) {
                    float wt = reconDistanceSimilarity(p, F(x, y - 1));
                    float wb = reconDistanceSimilarity(p, F(x, y + 1));
                    const float s = wt + wb;
                    if (s == 0.0f) {
                        wt = wb = 0.5f;
                    } else {
                        wt /= s;
                        wb /= s;
                    }
                    const float *ct = C(x / 2, (y - 1) / 2), *cb = C(x / 2, (y + 1) / 2);
                    for (int c = 0; c < 3; ++c)
                        o[c] = ct[c] + wb * (cb[c] - ct[c]);
                    continue;
                }
                float wd[4] = {reconDistanceSimilarity(p, F(x - 1, y - 1)),
                               reconDistanceSimilarity(p, F(x + 1, y - 1)),
                               reconDistanceSimilarity(p, F(x - 1, y + 1)),
                               reconDistanceSimilarity(p, F(x + 1, y + 1))};
                const float s = wd[0] + wd[1] + wd[2] + wd[3];
                for (float &v : wd)
                    v = s == 0.0f ? 0.25f : v / s;
                const float *cd[4] = {C((x - 1) / 2, (y - 1) / 2), C((x + 1) / 2, (y - 1) / 2),
                                      C((x - 1) / 2, (y + 1) / 2), C((x + 1) / 2, (y + 1) / 2)};
                for (int c = 0; c < 3; ++c)
                    o[c] =
                        cd[0][c] + (wd[1] * (cd[1][c] - cd[0][c]) + wd[2] * (cd[2][c] - cd[0][c]) +
                                    wd[3] * (cd[3][c] - cd[0][c]));
            }
        }
    }
}

// Upsampling over row bands, then the borders.
int reconstruct(int w, int h, int nThreads, const float *coarse, const float *fine, float *out)
{
    if (h < 3 || w < 3)
        return 0;
    for_row_bands(nThreads, h - 2,
                  [&](int b, int e) { reconstruct_rows(w, coarse, fine, out, b + 1, e + 1); });
    auto O = [&](int x, int y) { return out + (std::size_t(y) * w + x) * 3; };
    // The outermost rows and columns repeat their nearest written neighbour, so nothing of an
    // earlier tile survives there.
    for (int y = 1; y < h - 1; ++y) {
        std::memcpy(O(0, y), O(1, y), 3 * sizeof(float));
        std::memcpy(O(w - 1, y), O(w - 2, y), 3 * sizeof(float));
    }
    std::memcpy(O(0, 0), O(0, 1), std::size_t(w) * 3 * sizeof(float));
    std::memcpy(O(0, h - 1), O(0, h - 2), std::size_t(w) * 3 * sizeof(float));
    return h;
}

} // namespace

int similarityReconstruct(int w, int h, const int * /*tileEdges*/, const float *coarse,
                          const float *fine, float *out)
{
    return reconstruct(w, h, 0, coarse, fine, out);
}

int denoise_tile(int w, int h, int *procRect, int spp, const int * /*tileEdges*/, int nThreads,
                 const NrDerived &params, float *detailBuf, float *filteredBuf, float *scratchBuf,
                 float *pyramidBuf)
{
    if (w < 9 || h < 9 || spp != 3 || !procRect || !detailBuf || !filteredBuf || !scratchBuf ||
        !pyramidBuf)
        return -3;
    if (procRect[0] < 2 || procRect[1] > w - 2 || procRect[2] < 2 || procRect[3] > h - 2 ||
        procRect[0] > procRect[1] || procRect[2] > procRect[3])
        return -3;
    int lw[kLevels], lh[kLevels];
    std::size_t off[kLevels];
    lw[0] = w;
    lh[0] = h;
    off[0] = 0;
    for (int l = 1; l < kLevels; ++l) {
        lw[l] = (lw[l - 1] + 1) / 2;
        lh[l] = (lh[l - 1] + 1) / 2;
        off[l] = off[l - 1] + std::size_t(lw[l - 1]) * lh[l - 1] * 3;
    }
    noiseReduce_set(0, w, h, procRect, spp, nThreads, params, detailBuf, filteredBuf, scratchBuf,
                    pyramidBuf);
    // Every pass in row bands on levels large enough to pay for them; each row's values never
    // depend on the bands.
    auto rows3 = [](auto *v, int width, int y) { return v + std::size_t(y) * width * 3; };
    for (int l = 0; l < kLevels - 1; ++l) {
        float *fine = pyramidBuf + off[l], *coarse = pyramidBuf + off[l + 1];
        const int t = level_threads(nThreads, lw[l], lh[l]);
        for_row_bands(t, lh[l + 1],
                      [&](int y0, int y1) { lift_rows(lw[l], fine, coarse, y0, y1); });
        reconstruct(lw[l], lh[l], t, coarse, fine, scratchBuf);
        for_row_bands(t, lh[l], [&](int y0, int y1) {
            differencePass(lw[l], y1 - y0, rows3(fine, lw[l], y0), rows3(scratchBuf, lw[l], y0),
                           rows3(detailBuf + off[l], lw[l], y0));
        });
        procRect[0] = 2;
        procRect[1] = lw[l + 1] - 2;
        procRect[2] = 2;
        procRect[3] = lh[l + 1] - 2;
        noiseReduce_set(l + 1, lw[l + 1], lh[l + 1], procRect, spp,
                        level_threads(nThreads, lw[l + 1], lh[l + 1]), params,
                        detailBuf + off[l + 1], filteredBuf, scratchBuf, coarse);
    }
    for (int l = kLevels - 2; l >= 0; --l) {
        float *fine = pyramidBuf + off[l];
        const int t = level_threads(nThreads, lw[l], lh[l]);
        reconstruct(lw[l], lh[l], t, pyramidBuf + off[l + 1], fine, scratchBuf);
        for_row_bands(t, lh[l], [&](int y0, int y1) {
            unDifferencePass(lw[l], y1 - y0, rows3(scratchBuf, lw[l], y0),
                             rows3(detailBuf + off[l], lw[l], y0), rows3(fine, lw[l], y0));
        });
    }
    return 0;
}
