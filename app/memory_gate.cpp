#include "app/memory_gate.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include "align/feature_align.h"
#include "align/feature_points.h"
#include "app/photo_checks.h"
#include "denoise/denoise.h"
#include "imagecore/preview.h"
#include "imagecore/records.h"
#include "metadata/exif_records.h"
#include "platform/bitmap.h"
#include "platform/checked_size.h"
#include "platform/file_holder.h"
#include "platform/system.h"
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

// The document's copies of the first photo's ICC profile and IPTC block, held from the checks
// to the save.
uint64_t metadata_bytes(const Document &doc)
{
    return (doc.profile ? doc.profile->length() : 0) + (doc.iptc ? doc.iptc->length() : 0);
}

// What reading p's metadata holds at once in the checks (before the stack), the photo's ICC
// profile and IPTC block read for the document when first: a TIFF's tag values as libtiff loads
// them (a temporary copy of each beside the kept one), a JPEG's APP2 segments; then the profile,
// read straight into the document's copy, the segments beside it for a JPEG, and the IPTC block
// read, then copied.
uint64_t check_bytes(const SourcePhoto &p, bool first)
{
    const uint64_t header = p.type == SourceType::Tiff ? 2 * p.headerBytes : p.headerBytes;
    if (!first)
        return header;
    const uint64_t profile = uint64_t(std::max(p.infos[kInfoIccLength], 0));
    const int32_t iptc = p.exifBuf && p.exifBuf->length() >= size_t(kExifBufBytes)
                             ? record_ints(p.exifBuf)[kExifIptcLength]
                             : 0;
    return std::max(header, profile + (p.type == SourceType::Jpeg ? p.headerBytes : 0) +
                                2 * uint64_t(std::max(iptc, 0)));
}

// The most glibc keeps in its heap rather than mapping it apart: its threshold rises with the
// blocks freed, to 32 MB at the most.
constexpr uint64_t kLargestHeapBlock = uint64_t(32) << 20;

// What one decoder holds beside the stack while it decodes p, and the largest block among it
// that glibc may keep in its heap.
struct DecoderBytes {
    uint64_t total = 0, largest = 0;
};

// A TIFF: the file, the tag values libtiff keeps for the open (twice as it loads them), the
// largest strip or tile as stored and a decoded one, the bitmap the photo goes through. A JPEG
// goes straight into the stack, its profile left out: the file and the coefficients of a
// multi-scan file (up to the library's cap). A PSD is streamed: its bitmap, a
// plane and PackBits data. Nothing on overflow.
std::optional<DecoderBytes> decoder_bytes(const SourcePhoto &p)
{
    const auto bitmap = platform::image_bytes(p.width, p.height, p.spp, std::max(p.bits / 8, 1));
    if (!bitmap || *bitmap > platform::kMaxBitmapBytes)
        return std::nullopt;
    uint64_t parts[3] = {};
    switch (p.type) {
    case SourceType::Tiff:
        parts[0] = p.fileBytes;
        parts[1] = p.headerBytes;
        parts[2] = std::max(p.headerBytes, p.workBytes + *bitmap);
        break;
    case SourceType::Jpeg: {
        const auto output = platform::image_bytes(p.width, p.height, p.spp, 1);
        parts[0] = p.fileBytes;
        parts[1] = std::min(p.workBytes, platform::jpeg_library_memory(output.value_or(0)));
        break;
    }
    case SourceType::Psd:
        parts[0] = *bitmap;
        parts[1] = p.workBytes;
        break;
    }
    DecoderBytes d;
    for (uint64_t part : parts)
        if (__builtin_add_overflow(d.total, part, &d.total))
            return std::nullopt;
    // The tags and the work area stand for their largest block.
    const uint64_t header = p.type == SourceType::Jpeg ? 0 : p.headerBytes;
    for (uint64_t block : {p.fileBytes, header, p.workBytes, *bitmap})
        if (block <= kLargestHeapBlock)
            d.largest = std::max(d.largest, block);
    return d;
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

// A run's memory in the parts the number of decoders weighs: the checks, the stack, the largest
// photo's decoder and the largest block one frees, the document's metadata, and the largest
// stage after the decoding.
struct MemoryTerms {
    uint64_t checks = 0, stack = 0, decoder = 0, block = 0, metadata = 0, stages = 0;
};

// The memory of each stage of the run, as its code allocates it. P is the pixel count of doc's
// size, S = n x P x spp the 8-bit stack, which every stage holds but saving (main drops it
// first), and M the document's metadata (metadata_bytes), held by every stage from decoding on.
// The checks come first, one photo after the other, as check_bytes counts them. Beside the
// stack each later stage holds, in bytes:
//   decoding     d decoders at once, each as decoder_bytes, and when they are several the
//                largest block a decoder holds that glibc keeps in its heap (larger ones are
//                mapped apart): the space one frees there need not fit what another asks next;
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
//   saving       the result, and the TIFF writer's copy of the metadata (the JPEG writer
//                writes it from the document's): the writers go a row at a time.
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
    t.metadata = metadata_bytes(doc);
    for (const SourcePhoto &p : doc.photos) {
        const auto one = decoder_bytes(p);
        if (!one)
            return std::nullopt;
        t.decoder = std::max(t.decoder, one->total);
        t.block = std::max(t.block, one->largest);
        t.checks = std::max(t.checks, check_bytes(p, &p == &doc.photos.front()));
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
    const uint64_t written = job.format == OutputFormat::Tiff ? t.metadata : 0;
    t.stages = t.metadata + std::max(t.stack + beside, result + written);
    return t;
}

// The run's peak with d decoders at once.
std::optional<uint64_t> run_peak(const MemoryTerms &t, int d)
{
    uint64_t decoding;
    if (__builtin_mul_overflow(uint64_t(d), t.decoder, &decoding) ||
        __builtin_add_overflow(decoding, (d > 1 ? t.block : 0) + t.stack + t.metadata, &decoding))
        return std::nullopt;
    return kBaselineBytes + std::max({t.checks, decoding, t.stages});
}

// From this size on a block is mapped apart from the heap where the address space is limited
// (settle_allocator): glibc's own starting threshold.
constexpr size_t kLimitedMmapThreshold = 128 * 1024;

// The first line of a small file; empty when it cannot be read.
std::string first_line(const std::string &path)
{
    platform::FilePtr f = platform::open_file(path, "r");
    char line[64] = {};
    if (!f || !std::fgets(line, sizeof line, f.get()))
        return {};
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

// A control group's memory limit as its file states it: a count of bytes; nothing for "max",
// an empty or unreadable file, or anything else.
std::optional<uint64_t> cgroup_value(const std::string &path)
{
    const std::string text = first_line(path);
    if (text.empty() || text.size() > 20 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    return errno == 0 ? std::optional<uint64_t>(v) : std::nullopt;
}

// The least memory limit of the control group at path (under a hierarchy's mount) and its
// ancestors, which limit it too; nothing when none is set.
std::optional<uint64_t> least_up(const std::string &mount, std::string path, const char *file)
{
    std::optional<uint64_t> least;
    for (;;) {
        if (const auto v = cgroup_value(mount + path + (path == "/" ? "" : "/") + file))
            least = least ? std::min(*least, *v) : *v;
        if (path.size() <= 1)
            return least;
        const size_t slash = path.find_last_of('/');
        path = slash == 0 ? "/" : path.substr(0, slash);
    }
}

// The memory limit of this process's control group, version 2 or 1, from the groups
// /proc/self/cgroup names ("0::/path" for version 2, "N:controllers:/path" for version 1).
std::optional<uint64_t> cgroup_limit(const std::string &root)
{
    platform::FilePtr f = platform::open_file(root + "/proc/self/cgroup", "r");
    if (!f)
        return std::nullopt;
    const std::string mount = root + "/sys/fs/cgroup";
    std::optional<uint64_t> least;
    auto take = [&least](std::optional<uint64_t> v) {
        if (v)
            least = least ? std::min(*least, *v) : *v;
    };
    char line[4096];
    while (std::fgets(line, sizeof line, f.get())) {
        std::string text = line;
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        const size_t a = text.find(':'), b = a == std::string::npos ? a : text.find(':', a + 1);
        if (b == std::string::npos || b + 1 >= text.size() || text[b + 1] != '/')
            continue;
        const std::string controllers = "," + text.substr(a + 1, b - a - 1) + ",";
        const std::string path = text.substr(b + 1);
        if (text.compare(0, a, "0") == 0 && b == a + 1) {
            take(least_up(mount, path, "memory.max"));
            take(least_up(mount + "/unified", path, "memory.max"));
        } else if (controllers.find(",memory,") != std::string::npos) {
            take(least_up(mount + "/memory", path, "memory.limit_in_bytes"));
        }
    }
    return least;
}

// The address space a thread's stack takes: the threads' default size and a guard page.
uint64_t thread_stack_bytes()
{
    size_t size = 0;
    pthread_attr_t attr;
    if (::pthread_getattr_default_np(&attr) == 0) {
        ::pthread_attr_getstacksize(&attr, &size);
        ::pthread_attr_destroy(&attr);
    }
    if (size == 0) // glibc's default
        size = size_t(8) << 20;
    const long page = ::sysconf(_SC_PAGESIZE);
    return uint64_t(size) + uint64_t(page > 0 ? page : 4096);
}

// What limit counts of a run holding resident bytes with threads running: the address-space
// and data limits also what the process holds beyond its resident memory, and every thread's
// stack whole.
uint64_t counted(const MemoryLimit &limit, uint64_t resident, int threads, uint64_t threadStack)
{
    if (limit.kind == LimitKind::Physical || limit.kind == LimitKind::ControlGroup)
        return resident;
    uint64_t need = resident;
    if (__builtin_add_overflow(need, limit.beyond, &need) ||
        __builtin_add_overflow(need, uint64_t(std::max(threads, 1)) * threadStack, &need))
        return UINT64_MAX;
    return need;
}

} // namespace

std::optional<uint64_t> denoise_need(const Document &doc)
{
    const auto stack = platform::image_bytes(doc.width, doc.height, doc.spp, 1);
    const auto beside = denoise_bytes(doc.width, doc.height, doc.spp);
    if (!stack || !beside)
        return std::nullopt;
    return kBaselineBytes + *stack * doc.photos.size() + *beside + metadata_bytes(doc);
}

std::optional<uint64_t> job_memory(const Document &doc, const JobShape &job)
{
    const auto terms = memory_terms(doc, job);
    return terms ? run_peak(*terms, std::max(job.decoders, 1)) : std::nullopt;
}

MemoryBudget::MemoryBudget(uint64_t physical)
{
    if (physical > 0)
        limits.push_back({LimitKind::Physical, physical, 0});
}

MemoryBudget memory_budget(const std::string &root)
{
    MemoryBudget budget(platform::physical_memory());
    if (const auto group = cgroup_limit(root))
        budget.limits.push_back({LimitKind::ControlGroup, *group, 0});
    const platform::ProcessStatus now = platform::process_status(root);
    const struct {
        int resource;
        LimitKind kind;
        uint64_t mapped, resident;
    } held[] = {
        {RLIMIT_AS, LimitKind::AddressSpace, now.size, now.resident},
        {RLIMIT_DATA, LimitKind::DataSegment, now.data, now.anonymous},
    };
    for (const auto &h : held) {
        struct rlimit r {};
        if (::getrlimit(h.resource, &r) == 0 && r.rlim_cur != RLIM_INFINITY)
            budget.limits.push_back(
                {h.kind, uint64_t(r.rlim_cur), h.mapped > h.resident ? h.mapped - h.resident : 0});
    }
    budget.threadStack = thread_stack_bytes();
    return budget;
}

const MemoryLimit *binding_limit(const MemoryBudget &budget, uint64_t resident, int threads)
{
    const MemoryLimit *binding = nullptr;
    uint64_t most = 0; // the largest excess of the need over a limit
    for (const MemoryLimit &l : budget.limits) {
        const uint64_t need = counted(l, resident, threads, budget.threadStack);
        if (need > l.bytes && need - l.bytes > most) {
            most = need - l.bytes;
            binding = &l;
        }
    }
    return binding;
}

std::string limit_text(const MemoryLimit &limit)
{
    const std::string has = memory_size(limit.bytes);
    switch (limit.kind) {
    case LimitKind::Physical:
        return "this machine has " + has;
    case LimitKind::ControlGroup:
        return "the memory limit of the process's control group is " + has;
    case LimitKind::AddressSpace:
        return "the process's address-space limit (ulimit -v) is " + has;
    case LimitKind::DataSegment:
        return "the process's data-segment limit (ulimit -d) is " + has;
    }
    return has;
}

std::string limit_phrase(const MemoryLimit &limit, uint64_t resident, int threads,
                         uint64_t threadStack)
{
    std::string need = memory_size(counted(limit, resident, threads, threadStack));
    if (limit.kind == LimitKind::AddressSpace || limit.kind == LimitKind::DataSegment)
        need += std::string(limit.kind == LimitKind::AddressSpace ? " of address space"
                                                                  : " of data segment") +
                " with " + std::to_string(threads) + " thread" + (threads == 1 ? "" : "s");
    return need + ", " + limit_text(limit);
}

const MemoryLimit *tightest_limit(const MemoryBudget &budget, int threads)
{
    const MemoryLimit *tightest = nullptr;
    uint64_t least = UINT64_MAX; // the least room a limit leaves the run's resident memory
    for (const MemoryLimit &l : budget.limits) {
        const uint64_t taken = counted(l, 0, threads, budget.threadStack);
        const uint64_t room = l.bytes > taken ? l.bytes - taken : 0;
        if (room < least) {
            least = room;
            tightest = &l;
        }
    }
    return tightest;
}

uint64_t peak_resident_bytes()
{
    if (const uint64_t hwm = platform::process_status().peak)
        return hwm;
    // Where /proc cannot be read. getrusage's figure also holds the resident size of the process
    // that started this one (Linux carries the old address space's mark across exec), which a
    // large spawner would pass off as this run's.
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return uint64_t(usage.ru_maxrss) << 10;
}

void settle_allocator()
{
    // A thread's own arena keeps the top of its heap resident, up to 64 MB of freed blocks: no
    // trim between stages returns it (glibc trims only the main arena's top), and a decoder's
    // file, say, would stay beside every later stage.
    ::mallopt(M_ARENA_MAX, 1);
    for (int resource : {RLIMIT_AS, RLIMIT_DATA}) {
        struct rlimit r {};
        // glibc raises its threshold for mapping a block apart to the largest mapped block freed
        // (up to 32 MB) and keeps blocks below it in its heap, whose freed space stays mapped.
        if (::getrlimit(resource, &r) == 0 && r.rlim_cur != RLIM_INFINITY) {
            ::mallopt(M_MMAP_THRESHOLD, int(kLimitedMmapThreshold));
            return;
        }
    }
}

RoadError plan_memory(const Document &doc, const JobShape &job, const MemoryBudget &budget,
                      int threads, MemoryPlan *plan)
{
    const size_t n = doc.photos.size();
    threads = std::max(threads, 1);
    // Noise reduction the budget does not hold is left out of the run (denoise_stack says so),
    // not the run.
    JobShape road = job;
    if (job.denoise > 0 && binding_limit(budget, denoise_need(doc).value_or(UINT64_MAX), threads))
        road.denoise = 0;
    const auto terms = memory_terms(doc, road);
    const uint64_t need = terms ? run_peak(*terms, 1).value_or(0) : 0;
    if (!platform::image_bytes(doc.width, doc.height, doc.spp, 1) || need == 0)
        return fail(kExitBadInput, "the photos are too large");
    if (const MemoryLimit *limit = binding_limit(budget, need, threads))
        return fail(kExitFailed, "not enough memory: " + std::to_string(n) + " photo" +
                                     (n == 1 ? "" : "s") + " of " + std::to_string(doc.width) +
                                     " x " + std::to_string(doc.height) + " need " +
                                     limit_phrase(*limit, need, threads, budget.threadStack));
    // Each photo decoding at once holds its file and buffers beside the stack: as many at once
    // as the threads and the budget allow, one at least.
    int decoders = std::min(threads, static_cast<int>(n));
    while (decoders > 1 &&
           binding_limit(budget, run_peak(*terms, decoders).value_or(UINT64_MAX), threads))
        --decoders;
    plan->decoders = std::max(decoders, 1);
    plan->weighed = run_peak(*terms, plan->decoders).value_or(UINT64_MAX);
    return {};
}

} // namespace app
