#include "app/memory_gate.h"

#include <algorithm>
#include <sys/stat.h>

#include "align/feature_align.h"
#include "align/feature_points.h"
#include "app/photo_checks.h"
#include "denoise/denoise.h"
#include "imagecore/jpeg_readers.h"
#include "imagecore/preview.h"
#include "platform/bitmap.h"
#include "platform/checked_size.h"
#include "tonemap/tm_dim.h"

namespace app {
namespace {

// The program, its libraries, its threads' stacks and the allocator's own: resident in every run
// beside the buffers memory_terms counts (5 to 7 MB measured, from photos of a few pixels to 96
// megapixels, at 1 to 32 threads).
constexpr uint64_t kBaselineBytes = uint64_t(10) << 20;

// The feature aligner's sizes (align/feature_align.cpp): steps are found on grey copies of the
// photos reduced to at most 1100 pixels a side, points detected in tiles of 1024 pixels a side
// and a margin of 20 on either side.
constexpr int64_t kAlignReducedSide = 1100, kAlignTile = 1024, kAlignRegion = 1024 + 2 * 20;

// What one decoder holds beside the stack while it decodes p: the file, the bitmap a photo goes
// through (a JPEG goes straight into the stack, and through a bitmap only when that fails, to
// tell why), a PSD's plane, and the coefficients a multi-scan JPEG keeps (up to the library's
// cap). Nothing on overflow.
std::optional<uint64_t> decoder_bytes(const SourcePhoto &p)
{
    struct stat st;
    const uint64_t file = ::stat(p.path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
    const auto bitmap = platform::image_bytes(p.width, p.height, p.spp, std::max(p.bits / 8, 1));
    if (!bitmap || *bitmap > platform::kMaxBitmapBytes)
        return std::nullopt;
    uint64_t own = *bitmap;
    if (p.type == SourceType::Psd) {
        own += *bitmap / 3;
    } else if (p.type == SourceType::Jpeg) {
        const uint64_t cap = platform::jpeg_library_memory(*bitmap);
        const int64_t coefficients = jpeg_coefficient_bytes(p.path.c_str());
        own += coefficients < 0 ? cap : std::min(uint64_t(coefficients), cap);
    }
    uint64_t total;
    if (__builtin_add_overflow(file, own, &total))
        return std::nullopt;
    return total;
}

// Bytes noise reduction holds beside the stack: the denoiser's work area, its output photo and,
// for grey photos, their RGB copy. Nothing when the denoiser does not take the size.
std::optional<uint64_t> denoise_bytes(int w, int h, int spp)
{
    const int work = mem4denoise(w, h, kDenoiseTile);
    const auto rgb = platform::image_bytes(w, h, 3, 1);
    if (work < 0 || !rgb)
        return std::nullopt;
    return uint64_t(work) + *rgb * (spp == 1 ? 2 : 1);
}

// A run's memory in the parts the number of decoders weighs: the stack, the largest photo's
// decoder, and the largest stage after the decoding.
struct MemoryTerms {
    uint64_t stack = 0, decoder = 0, stages = 0;
};

// The memory of each stage of the run, as its code allocates it. P is the pixel count of doc's
// size, S = n x P x spp the 8-bit stack, which every stage holds but saving (main drops it
// first). Beside the stack each stage holds, in bytes:
//   decoding     d decoders at once, each as decoder_bytes;
//   noise        the work area of mem4denoise, the output photo (3P), and 3P more for grey
//   reduction    photos (denoise_bytes);
//   alignment    by features: grey copies of the photos reduced by D to at most 1100 pixels a
//                side and, when D / 3 = R > 1, by R, on which the points are detected; the
//                detection of a tile (of at most 1064 x 1064 pixels of the copy by R): its grey,
//                integral (4 bytes) and three filter layers (12 bytes) a pixel, twice, as the
//                allocator keeps one tile's freed buffers beside the next one's; the points of
//                every tile of two photos (1310 of 268 bytes a tile); then the warped photo
//                (P x spp). By translation: two grey copies and the bit pyramids of two photos
//                and a shifted level (at most 2.5P), then the shifted photo;
//   method       deredid: the HDR image (4P) through the three steps of the tone mapper, the
//                largest of: the pyramid of the local operator (T pixels, about 4P/3) in its
//                work area and its scratch copy (8T) with two levels of partial sums (1.25P);
//                the work area and the Poisson solve's three planes (4T + 12P), with the partial
//                sums the allocator may keep (below its mmap threshold); the result (2 spp P),
//                the solved luminance and the HDR image's copy (8P). The light mode's solver
//                holds less than the slider mode's counted here.
//                rodo: the HDR image and the result (4P + 2 spp P).
//                fusion: the result pyramid and the blend pyramid (2 x 2 spp L, L the pixels of
//                the pyramid, about 4P/3) and the weight maps (2 ((n - 1) P + L)).
//                the combinations: the result (2 spp P) and the kernel's planes: intensive nP,
//                highlights-shadows and two-photos 2P, mean none;
//   saving       the result alone: the writers go a row at a time.
// The run's peak is the largest stage and the baseline. Freed memory goes back to the system
// between stages (main). Nothing when doc's size passes what the processing takes.
std::optional<MemoryTerms> memory_terms(const Document &doc, const JobShape &job)
{
    const uint64_t n = doc.photos.size();
    if (n > uint64_t(kMaxPhotos) || !platform::kernel_sized(doc.width, doc.height, doc.spp))
        return std::nullopt;
    const uint64_t w = uint64_t(doc.width), h = uint64_t(doc.height), spp = uint64_t(doc.spp);
    const uint64_t P = w * h, photo = P * spp, result = 2 * spp * P;
    MemoryTerms t;
    t.stack = n * photo;
    for (const SourcePhoto &p : doc.photos) {
        const auto one = decoder_bytes(p);
        if (!one)
            return std::nullopt;
        t.decoder = std::max(t.decoder, *one);
    }

    uint64_t beside = 0; // the largest a stage after the decoding holds beside the stack
    if (job.denoise > 0)
        beside = std::max(beside, denoise_bytes(doc.width, doc.height, doc.spp).value_or(0));
    if (n > 1 && job.alignType == kAlignFeatures) {
        const uint64_t D = (std::max(w, h) + kAlignReducedSide - 1) / kAlignReducedSide;
        const uint64_t R = std::max<uint64_t>(1, D / 3), fw = w / R, fh = h / R;
        const uint64_t copies = n * (w / D) * (h / D) + (R > 1 ? n * fw * fh : 0);
        const uint64_t tile = std::min<uint64_t>(fw, kAlignRegion) *
                              std::min<uint64_t>(fh, kAlignRegion) * (1 + 4 + 12);
        const uint64_t tiles =
            ((fw + kAlignTile - 1) / kAlignTile) * ((fh + kAlignTile - 1) / kAlignTile);
        const uint64_t points = (kTileMaxPoints + 1) * (3 * 4 + kDescriptorSize * 4);
        beside = std::max({beside, copies + 2 * tile + 2 * tiles * points, photo});
    } else if (n > 1 && job.alignType == kAlignTranslation) {
        beside = std::max({beside, 2 * P + P / 2, photo});
    }
    if (job.method == kMethodFusionAdjust) {
        const int len = pyram_len(doc.width, doc.height);
        const uint64_t L = len >= 0 ? uint64_t(len) : 4 * P / 3 + w + h;
        beside = std::max(beside, 2 * (2 * spp * L) + 2 * ((std::max<uint64_t>(n, 1) - 1) * P + L));
    } else if (job.method >= kMethodFusionIntensive && job.method <= kMethodMean) {
        const uint64_t planes = job.method == kMethodFusionIntensive ? n * P
                                : job.method == kMethodMean          ? 0
                                                                     : 2 * P;
        beside = std::max(beside, result + planes);
    } else if (job.method == kMethodDeredid) {
        tm_dims dims{};
        const uint64_t T = tm_dimSAV(doc.width, doc.height, 0, 0, &dims) > 0
                               ? uint64_t(std::max(dims.v[kTdTotalA], dims.v[kTdTotalB]))
                               : P;
        beside = std::max(beside, 4 * P + std::max({8 * T + 5 * P / 4, 4 * T + 12 * P + 5 * P / 4,
                                                    result + 8 * P}));
    } else {
        beside = std::max(beside, 4 * P + result);
    }
    t.stages = std::max(t.stack + beside, result);
    return t;
}

// The run's peak with d decoders at once.
std::optional<uint64_t> run_peak(const MemoryTerms &t, int d)
{
    uint64_t decoding;
    if (__builtin_mul_overflow(uint64_t(d), t.decoder, &decoding) ||
        __builtin_add_overflow(decoding, t.stack, &decoding))
        return std::nullopt;
    return kBaselineBytes + std::max(decoding, t.stages);
}

} // namespace

std::optional<uint64_t> denoise_need(int w, int h, int spp, uint64_t stackBytes)
{
    const auto beside = denoise_bytes(w, h, spp);
    return beside ? std::optional<uint64_t>(kBaselineBytes + stackBytes + *beside) : std::nullopt;
}

std::optional<uint64_t> job_memory(const Document &doc, const JobShape &job)
{
    const auto terms = memory_terms(doc, job);
    return terms ? run_peak(*terms, std::max(job.decoders, 1)) : std::nullopt;
}

RoadError plan_memory(const Document &doc, const JobShape &job, uint64_t memory, int workers,
                      MemoryPlan *plan)
{
    const size_t n = doc.photos.size();
    auto one = platform::image_bytes(doc.width, doc.height, doc.spp, 1);
    auto all = one ? platform::checked_mul(*one, n) : std::nullopt;
    // Noise reduction the memory does not hold is left out of the run (denoise_stack says so),
    // not the run.
    JobShape road = job;
    if (all && memory > 0 && job.denoise > 0 &&
        denoise_need(doc.width, doc.height, doc.spp, *all).value_or(UINT64_MAX) > memory)
        road.denoise = 0;
    const auto terms = memory_terms(doc, road);
    const auto need = terms ? run_peak(*terms, 1) : std::nullopt;
    if (!all || !need)
        return fail(kExitBadInput, "the photos are too large");
    if (memory > 0 && *need > memory)
        return fail(kExitFailed, "not enough memory: " + std::to_string(n) + " photo" +
                                     (n == 1 ? "" : "s") + " of " + std::to_string(doc.width) +
                                     " x " + std::to_string(doc.height) + " need " +
                                     gigabytes(*need) + ", this machine has " + gigabytes(memory));
    // Each photo decoding at once holds its file and buffers beside the stack: as many at once
    // as the threads and the memory allow, one at least.
    int decoders = std::min(workers, static_cast<int>(n));
    while (memory > 0 && decoders > 1 && run_peak(*terms, decoders).value_or(UINT64_MAX) > memory)
        --decoders;
    plan->decoders = std::max(decoders, 1);
    plan->weighed = run_peak(*terms, plan->decoders).value_or(*need);
    return {};
}

} // namespace app
