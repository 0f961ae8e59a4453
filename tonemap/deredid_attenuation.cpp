// Stage 1 of the local operator. Gradient-domain compression after the attenuation of
// gradient magnitudes on a Gaussian pyramid: a magnitude m becomes ((m + eps) / alpha)^e with
// alpha a fraction of the level's mean magnitude and e slightly negative, and the factors of
// coarser levels spread down to the finer ones multiply theirs.
#include "tonemap/deredid_attenuation.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "imagecore/float_clamp.h"
#include "platform/checked_size.h"
#include "platform/temp_file.h"
#include "tonemap/deredid_luminance.h"
#include "tonemap/detail/deredid_levels.h"
#include "tonemap/strip_io.h"
#include "tonemap/thread_count.h"

using tonemap::detail::Level;

namespace {

constexpr int kBins = 65536;
constexpr int kTraceStage1 = 0;
constexpr int kMaxAdjustCalls = 40;

enum class Variant { Slider, Light };

// First bin whose running count exceeds target; bins when none does.
int first_bin_over(const int *hist, int bins, int64_t target)
{
    int64_t run = 0;
    for (int b = 0; b < bins; ++b) {
        run += hist[b];
        if (run > target)
            return b;
    }
    return bins;
}

int64_t quantile_target(int64_t total, float fraction)
{
    return static_cast<int64_t>(static_cast<float>(total) * fraction);
}

// lumParam slots 3 to 6 from a histogram of the level-0 log luminance between the logs of the
// smallest and the largest luminance. An empty range leaves them as they are.
void log_percentiles(const float *level0, int64_t n, float whiteClip, float *lumParam, int nbProc,
                     std::vector<int> &hist)
{
    const float lo = std::log(lumParam[2]), hi = std::log(lumParam[0] * lumParam[1]);
    if (!(hi > lo))
        return;
    hist.assign(kBins, 0);
    const float scale = 65535.0f / (hi - lo);
    // A histogram of each band's chunk of pixels, added up: counts in any order are the same.
    // Each band's own histogram costs a pass over kBins counts: banded on large levels only.
    const int bands = imagecore::band_count(n >= 16 * int64_t(kBins) ? nbProc : 1, int(n));
    std::vector<std::vector<int>> part(size_t(bands - 1), std::vector<int>(kBins, 0));
    imagecore::run_chunked(bands, int(n), [&](const imagecore::Band &b) {
        int *h = b.index == 0 ? hist.data() : part[size_t(b.index - 1)].data();
        for (int64_t i = b.begin; i < b.end; ++i)
            ++h[imagecore::clamp_to_int((level0[i] - lo) * scale, 0, 65535)];
    });
    for (const std::vector<int> &p : part)
        for (int b = 0; b < kBins; ++b)
            hist[size_t(b)] += p[size_t(b)];

    const int *h = hist.data();
    const int median = first_bin_over(h, kBins, quantile_target(n, 0.5f));
    int GlobalCntAdjust = 1;
    float f = 0.5f;
    if (median > 58982)
        f = adjust_percentile(n, kBins, h, 0.495f, &GlobalCntAdjust);
    else if (median < 16384)
        f = adjust_percentile(n, kBins, h, 0.505f, &GlobalCntAdjust);
    auto value = [&](float q) {
        const int b = first_bin_over(h, kBins, quantile_target(n, q));
        return static_cast<float>(b) * (hi - lo) / 65536.0f + lo;
    };
    lumParam[4] = value(f / 2);
    lumParam[5] = value(1 - (1 - f) / 2);
    lumParam[3] = value(f);
    lumParam[6] = value((100 - whiteClip) / 100);
}

// Replaces every level's log luminance by its attenuation factors, level 0 first.
void attenuate_levels(const std::vector<Level> &lv, const tonemap::detail::AttenuationParams &ap,
                      int nbProc, float *work)
{
    float s = 0.5f;
    for (const Level &l : lv) {
        float *g = work + l.offset;
        const double sum = tonemap::detail::gradient_magnitudes(g, l.w, l.h, ap.is360, s,
                                                                level_threads(nbProc, l.pixels()));
        s *= 0.5f;
        const float mean = static_cast<float>(sum / static_cast<double>(l.pixels()));
        const double alpha = ap.sldA * mean;
        if (!(alpha > 0)) // a flat level keeps its zero magnitudes
            continue;
        const tm1b_args args{
            l.w, l.h, l.offset, work, static_cast<float>(alpha), ap.e, mean * ap.epsFactor};
        // Each band transforms its own rows once; one whose thread did not start runs here.
        imagecore::run_banded(
            power_level_threads(nbProc, l.pixels()).count, static_cast<int>(l.h),
            [&](const imagecore::Band &band) { tm1b_threaded(args, band); },
            imagecore::BandFallback::Inline);
    }
}

// The product of the factors of levels p .. top spread down to level p, written over level p.
// Partial products of the levels between alternate in two buffers (level l in buffer l % 2).
void combine_slider(const std::vector<Level> &lv, size_t p, size_t top, int is360, int nbProc,
                    float *work, std::vector<float> (&partial)[2])
{
    const float *src = work + lv[top].offset;
    for (size_t l = top; l-- > p + 1;) {
        float *dst = partial[l % 2].data();
        std::memcpy(dst, work + lv[l].offset, static_cast<size_t>(lv[l].pixels()) * 4);
        tonemap::detail::multiply_upsampled(src, lv[l + 1].w, lv[l + 1].h, dst, lv[l].w, lv[l].h,
                                            is360, level_threads(nbProc, lv[l].pixels()));
        src = dst;
    }
    if (top > p)
        tonemap::detail::multiply_upsampled(src, lv[p + 1].w, lv[p + 1].h, work + lv[p].offset,
                                            lv[p].w, lv[p].h, is360,
                                            level_threads(nbProc, lv[p].pixels()));
}

// Bytes of the source that calc_tm0 reads; nothing when the layout cannot be an image.
std::optional<size_t> source_bytes(int docType, int w, int h, int spp, int rowLength)
{
    if (docType == kDocRgbe)
        return platform::image_bytes(w, h, 4, 1);
    if (spp < 1 || static_cast<int64_t>(rowLength) < static_cast<int64_t>(spp) * w)
        return std::nullopt;
    return platform::image_bytes(rowLength, h, 1, docType == kDocRgb16 ? 2 : 1);
}

// The log-luminance pyramid as the right-hand side reads it once the factors have replaced it in
// the work buffer: in the source buffer, or out of core in a temporary file.
class KeptPyramid {
public:
    KeptPyramid(void *memory, int nbProc) : m_mem(static_cast<float *>(memory)), m_nbProc(nbProc) {}

    // Keeps levels lv of work: memory when there is, else the file at path (null: a new one in
    // the system's temporary folder). Returns 0; -1 the file cannot be created; -2 a short write.
    int keep(const float *work, const std::vector<Level> &lv, const char *path)
    {
        if (m_mem) {
            std::memcpy(m_mem, work,
                        static_cast<size_t>(lv.back().offset + lv.back().pixels()) * sizeof(float));
            return 0;
        }
        m_file = platform::TempFile::create(path);
        if (!m_file.ok()) {
            if (kTraceStage1)
                std::printf("can not open temporary file\n");
            return -1;
        }
        for (const Level &l : lv)
            if (write_strip(m_file.get(), l.offset, static_cast<int>(l.pixels()), work + l.offset) <
                0) {
                if (kTraceStage1)
                    std::printf("could not write to temporary file\n");
                return -2;
            }
        return 0;
    }

    // P (level l of the combined factors) becomes the divergence over level l of the kept
    // pyramid. False when the file comes short.
    bool divergence(const Level &l, float *P)
    {
        if (m_mem) {
            tonemap::detail::divergence(m_mem + l.offset, P, l.w, l.h,
                                        level_threads(m_nbProc, l.pixels()));
            return true;
        }
        m_rows.resize(static_cast<size_t>(3 * l.w));
        return tonemap::detail::divergence_rows(
            [&](int64_t y) -> const float * {
                float *row = m_rows.data() + y % 3 * l.w;
                if (read_strip(m_file.get(), l.offset + y * l.w, static_cast<int>(l.w), row) < 0) {
                    if (kTraceStage1)
                        std::printf("can not read temporary file at %lld\n",
                                    static_cast<long long>(l.offset + y * l.w));
                    return nullptr;
                }
                return row;
            },
            P, l.w, l.h);
    }

private:
    float *m_mem;
    int m_nbProc;
    platform::TempFile m_file;
    std::vector<float> m_rows;
};

int stage1_body(Variant variant, int docType, const float *tmParam, const tm_dims *dims,
                float *lumParam, const float *table, const float *curve, dim_param dim,
                const void *hdrInfos, optim_param_struct opt, void *source, size_t sourceCapacity,
                float *work)
{
    const bool outOfCore = opt.readFromDisk != 0;
    if (!tmParam || !dims || !lumParam || !work || (!source && !outOfCore))
        return -3;
    const int64_t *d = dims->v;
    const int64_t W = d[kTdWidth], H = d[kTdHeight];
    if (W <= 9 || H <= 9)
        return -1;
    // Out of core the source is the Radiance file of path slot 0 (an rgbeBuf only), hdrInfos its
    // size record from rgbe_dim2, and no thread is started.
    if (outOfCore && docType != kDocRgbe)
        return -1;
    if (outOfCore && (!hdrInfos || !opt.tmpPath[0]))
        return -3;
    if (docType < kDocRgbe || docType > kDocRgb8 || !(docType == kDocRgbe ? table : curve))
        return -3;
    const int w = dim.v[kDimWidth], h = dim.v[kDimHeight], spp = dim.v[kDimSpp];
    const int rowLength = dim.v[kDimSrcRowLen] > 0 ? dim.v[kDimSrcRowLen] : dim.v[kDimOutRowLen];
    if (W != w || H != h || d[kTdGridWidth] != W || d[kTdGridHeight] != H ||
        W * H > int64_t(INT_MAX))
        return -3;
    const std::vector<Level> lv = tonemap::detail::halving_levels(
        W, H, static_cast<int>(std::clamp<int64_t>(d[kTdLevelsB], 0, 1000)) + 1);
    const int64_t total = std::max(d[kTdTotalA], d[kTdTotalB]);
    const std::optional<size_t> scratch = platform::checked_product({total, 4});
    const std::optional<size_t> srcBytes = source_bytes(docType, w, h, spp, rowLength);
    if (lv.back().w != d[kTdCoarseWidthB] || lv.back().h != d[kTdCoarseHeightB] ||
        lv.back().offset + lv.back().pixels() > total || !scratch || !srcBytes)
        return -3;
    if (!outOfCore && (sourceCapacity < std::max(*scratch, *srcBytes) ||
                       reinterpret_cast<uintptr_t>(source) % alignof(float) != 0))
        return -3;
    const tonemap::detail::AttenuationParams ap = tonemap::detail::attenuation_params(tmParam);

    try {
        if (outOfCore) {
            const int rc =
                calc_tm0s(docType, w, h, lumParam, table, static_cast<const int *>(hdrInfos),
                          opt.tmpPath[0], opt.tmpPath[1], work);
            if (rc < 0)
                return rc;
            opt.nbProc = 0;
        } else if (const int rc = calc_tm0(docType, spp, w, h, rowLength, w, h, w, h, lumParam,
                                           table, curve, source, work, opt.nbProc);
                   rc < 0) {
            return rc == -4 ? -4 : -1;
        }
        for (size_t k = 1; k < lv.size(); ++k)
            tonemap::detail::reduce_level(work + lv[k - 1].offset, lv[k - 1].w, lv[k - 1].h,
                                          ap.is360, work + lv[k].offset,
                                          level_threads(opt.nbProc, lv[k].pixels()));
        std::vector<int> hist;
        log_percentiles(work, W * H, tmParam[kDeWhiteClip], lumParam, opt.nbProc, hist);
        std::vector<int>().swap(hist);

        // The log-luminance pyramid moves to the source buffer (or a file): the right-hand side
        // needs it after the factors have replaced it here.
        KeptPyramid logLum(outOfCore ? nullptr : source, opt.nbProc);
        if (const int rc = logLum.keep(work, lv, opt.tmpPath[2]); rc < 0)
            return rc;

        attenuate_levels(lv, ap, opt.nbProc, work);

        if (variant == Variant::Light) {
            for (size_t l = lv.size() - 1; l-- > 0;)
                tonemap::detail::multiply_upsampled(
                    work + lv[l + 1].offset, lv[l + 1].w, lv[l + 1].h, work + lv[l].offset, lv[l].w,
                    lv[l].h, ap.is360, level_threads(opt.nbProc, lv[l].pixels()));
            if (!logLum.divergence(lv[0], work))
                return -2;
            imagecore::run_banded(level_threads(opt.nbProc, W * H).count, int(H),
                                  [&](const imagecore::Band &b) {
                                      for (int64_t i = b.begin * W; i < b.end * W; ++i)
                                          if (work[i] > 100 || work[i] < -100)
                                              work[i] = 0;
                                  });
            return 0;
        }

        const size_t last = lv.size() - 1;
        const int64_t levelsA = d[kTdLevelsA];
        const size_t pMax =
            std::min(static_cast<size_t>(std::clamp<int64_t>(levelsA - 2, 0, 1000)), last);
        const size_t depth = tmParam[kDeSolverTolerance] <= 0 ? 5 : 4;
        std::vector<float> partial[2];
        if (lv.size() > 2) {
            partial[1].resize(static_cast<size_t>(lv[1].pixels()));
            partial[0].resize(static_cast<size_t>(lv[2].pixels()));
        }
        for (size_t p = 0; p <= pMax; ++p) {
            combine_slider(lv, p, std::min(p + depth, last), ap.is360, opt.nbProc, work, partial);
            if (!logLum.divergence(lv[p], work + lv[p].offset))
                return -2;
        }
        return 0;
    } catch (const std::bad_alloc &) {
        return -4;
    }
}

int run_stage1(Variant variant, int docType, const float *tmParam, const tm_dims *dims,
               float *lumParam, const float *table, const float *curve, dim_param dim,
               const void *hdrInfos, optim_param_struct opt, void *source, size_t sourceCapacity,
               float *work)
{
    try {
        return stage1_body(variant, docType, tmParam, dims, lumParam, table, curve, dim, hdrInfos,
                           opt, source, sourceCapacity, work);
    } catch (const std::bad_alloc &) {
        return -4;
    }
}

} // namespace

float adjust_percentile(int64_t total, int bins, const int *histogram, float fraction,
                        int *GlobalCntAdjust)
{
    if (!histogram || !GlobalCntAdjust)
        return fraction;
    const int b = bins > 0 ? first_bin_over(histogram, bins, quantile_target(total, fraction)) : 0;
    if (*GlobalCntAdjust >= kMaxAdjustCalls)
        return fraction;
    ++*GlobalCntAdjust;
    if (b > static_cast<int>(0.9 * bins))
        return adjust_percentile(total, bins, histogram, static_cast<float>(fraction * 0.99),
                                 GlobalCntAdjust);
    if (b < static_cast<int>(0.25 * bins))
        return adjust_percentile(total, bins, histogram, static_cast<float>(fraction * 1.01),
                                 GlobalCntAdjust);
    return fraction;
}

int tm1b_threaded(const tm1b_args &args, const imagecore::Band &band)
{
    return tm1b(static_cast<int>(args.width), band.end - band.begin,
                args.offset + int64_t(band.begin) * args.width, args.work, args.alpha, args.e,
                args.epsilon);
}

int calc_tm1new(int docType, const float *tmParam, const tm_dims *dims, float *lumParam,
                const float *table, const float *curve, dim_param dim, void *hdrInfos,
                optim_param_struct opt, void *source, size_t sourceCapacity, float *work)
{
    return run_stage1(Variant::Slider, docType, tmParam, dims, lumParam, table, curve, dim,
                      hdrInfos, opt, source, sourceCapacity, work);
}

int calc_tm1old(int docType, const float *tmParam, const tm_dims *dims, float *lumParam,
                const float *table, const float *curve, dim_param dim, void *hdrInfos,
                optim_param_struct opt, void *source, size_t sourceCapacity, float *work)
{
    return run_stage1(Variant::Light, docType, tmParam, dims, lumParam, table, curve, dim, hdrInfos,
                      opt, source, sourceCapacity, work);
}

int calc_tm1(int docType, const float *tmParam, const tm_dims *dims, float *lumParam,
             const float *table, const float *curve, dim_param dim, void *hdrInfos,
             optim_param_struct opt, void *source, size_t sourceCapacity, float *work)
{
    if (!tmParam)
        return -3;
    return (deredid_slider_mode(tmParam) ? calc_tm1new : calc_tm1old)(
        docType, tmParam, dims, lumParam, table, curve, dim, hdrInfos, opt, source, sourceCapacity,
        work);
}
