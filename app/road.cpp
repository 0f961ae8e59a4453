#include "app/road.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <malloc.h>
#include <memory>
#include <new>
#include <optional>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "align/feature_align.h"
#include "align/translation_align.h"
#include "denoise/denoise.h"
#include "fusion/combination.h"
#include "fusion/fusion_job.h"
#include "imagecore/banded.h"
#include "imagecore/color.h"
#include "imagecore/float_clamp.h"
#include "imagecore/manip.h"
#include "imagecore/records.h"
#include "merge/ev_estimate.h"
#include "merge/merge_to_hdr.h"
#include "metadata/jpeg_writer.h"
#include "metadata/tiff_writer.h"
#include "platform/alerts.h"
#include "platform/bitmap.h"
#include "platform/bundle.h"
#include "platform/checked_size.h"
#include "platform/file_holder.h"
#include "platform/system.h"
#include "tonemap/tm_params.h"
#include "tonemap/tone_map.h"

namespace app {
namespace {

using platform::Data;
using platform::DataPtr;

// The 8-bit samples of one decoded bitmap, in the document's channel count, into dst. A
// 16-bit sample keeps its high byte: the stack is 8 bits in every run.
template <class T> void copy_rows(const platform::BitmapImageRep &bmp, int spp, uint8_t *dst)
{
    const int w = bmp.pixelsWide(), h = bmp.pixelsHigh(), srcSpp = bmp.samplesPerPixel();
    constexpr int shift = sizeof(T) == 2 ? 8 : 0;
    const size_t rowLength = static_cast<size_t>(w) * static_cast<size_t>(spp);
    for (int y = 0; y < h; ++y) {
        const T *row = reinterpret_cast<const T *>(bmp.bitmapData() +
                                                   static_cast<size_t>(y) * bmp.bytesPerRow());
        uint8_t *out = dst + static_cast<size_t>(y) * rowLength;
        if (sizeof(T) == 1 && srcSpp == spp) {
            std::memcpy(out, row, rowLength);
            continue;
        }
        for (int x = 0; x < w; ++x, row += srcSpp, out += spp)
            for (int c = 0; c < spp; ++c)
                out[c] = static_cast<uint8_t>(row[srcSpp == 1 ? 0 : c] >> shift);
    }
}

void copy_to_stack(const platform::BitmapImageRep &bmp, int spp, uint8_t *dst)
{
    if (bmp.bitsPerSample() == 16)
        copy_rows<uint16_t>(bmp, spp, dst);
    else
        copy_rows<uint8_t>(bmp, spp, dst);
}

using platform::DecodeOutcome;

// Decodes photo p into its slot of the stack (width x height pixels of spp samples, the layout
// the checks weighed for every photo). What is decoded is what was checked: a JPEG or TIFF whose
// headers now give another size or layout is told so before anything is sized from them, and a
// PSD is decoded at the size and depth of its checked header.
DecodeOutcome decode_photo(const SourcePhoto &p, int width, int height, int spp, uint8_t *slot)
{
    errno = 0;
    try {
        platform::BitmapPtr bmp;
        if (p.type == SourceType::Psd) {
            // The probe's record, copied: the loader writes its PSD/PSB slot.
            int dims[kImageInfosCount];
            std::copy(std::begin(p.infos), std::end(p.infos), dims);
            if (!(bmp = Manip().readPSD(p.path, dims)))
                return errno == ENOMEM ? DecodeOutcome::OutOfMemory : DecodeOutcome::Damaged;
        } else {
            // A JPEG goes straight into its slot; a TIFF through a bitmap of its own depth.
            const DataPtr bytes = platform::contents_at_path(p.path);
            if (p.type == SourceType::Jpeg)
                return platform::decode_jpeg_into(bytes, width, height, spp, slot);
            const platform::PixelLayout checked{width, height, spp, p.bits};
            if (const DecodeOutcome d =
                    platform::BitmapImageRep::imageRepWithData(bytes, &checked, &bmp);
                d != DecodeOutcome::Ok)
                return d;
        }
        copy_to_stack(*bmp, spp, slot);
        return DecodeOutcome::Ok;
    } catch (const std::bad_alloc &) {
        return DecodeOutcome::OutOfMemory;
    }
}

std::string decode_message(DecodeOutcome d, const SourcePhoto &p)
{
    switch (d) {
    case DecodeOutcome::Damaged:
        return file_name(p.path) + " cannot be decoded (corrupt, truncated or an unsupported "
                                   "layout)";
    case DecodeOutcome::OtherSize:
        return file_name(p.path) + " now gives another size than when it was checked";
    case DecodeOutcome::OtherLayout:
        return file_name(p.path) + " now gives another layout than when it was checked";
    case DecodeOutcome::OutOfMemory:
        return "not enough memory to decode " + file_name(p.path);
    default:
        return file_name(p.path) + " could not be decoded";
    }
}

// The folder of a path ("." when it names none) and its last component.
std::pair<std::string, std::string> folder_and_name(const std::string &path)
{
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

} // namespace

int worker_threads(int threads)
{
    return std::clamp(threads > 0 ? threads : platform::processor_count(), 1, 32);
}

int smallest_side(int method)
{
    switch (method) {
    case kMethodDeredid:
        return 10;
    case kMethodFusionAdjust:
        return 4;
    default:
        return 1;
    }
}

RoadError check_method_size(const Document &doc, int method)
{
    const int side = smallest_side(method);
    if (doc.width >= side && doc.height >= side)
        return {};
    const char *name = method_name(method);
    return fail(kExitBadInput, "the photos are " + std::to_string(doc.width) + " x " +
                                   std::to_string(doc.height) + " pixels, too small for " +
                                   (name ? name : "this method") + ", which needs at least " +
                                   std::to_string(side) + " x " + std::to_string(side));
}

RoadError decode_stack(Document *doc, const MemoryBudget &budget, int threads, const JobShape &job,
                       uint64_t *weighed)
{
    const size_t n = doc->photos.size();
    MemoryPlan plan;
    if (RoadError e = plan_memory(*doc, job, budget, worker_threads(threads), &plan))
        return e;
    if (weighed)
        *weighed = plan.weighed;
    const int decoders = plan.decoders;
    const size_t one = size_t(doc->width) * size_t(doc->height) * size_t(doc->spp);
    doc->stack = Data::zeroed(one * n);
    if (!doc->stack)
        return fail(kExitFailed, "not enough memory for " + std::to_string(n) + " photos of " +
                                     std::to_string(doc->width) + " x " +
                                     std::to_string(doc->height));

    // Each decoder takes the next photo; once a photo fails, the later ones are skipped, but the
    // earlier ones still run: the first bad photo in the user's order is the one reported
    // (those skipped come after it and have no outcome).
    std::vector<std::optional<DecodeOutcome>> outcome(n);
    std::atomic<size_t> next{0}, firstBad{n};
    uint8_t *stack = doc->stack->mutableBytes();
    imagecore::run_banded(decoders, decoders, [&](const imagecore::Band &) {
        for (size_t k = next++; k < n; k = next++) {
            if (k > firstBad.load())
                continue;
            outcome[k] =
                decode_photo(doc->photos[k], doc->width, doc->height, doc->spp, stack + k * one);
            // The allocator would keep the photo's freed buffers in this thread's arena, beside
            // the next photo's, in every decoder's.
            ::malloc_trim(0);
            if (outcome[k] != DecodeOutcome::Ok) {
                size_t bad = firstBad.load();
                while (k < bad && !firstBad.compare_exchange_weak(bad, k)) {
                }
            }
        }
    });
    for (size_t k = 0; k < n; ++k) {
        const DecodeOutcome d = outcome[k].value_or(DecodeOutcome::Damaged);
        if (d == DecodeOutcome::Ok)
            continue;
        doc->stack = nullptr;
        const bool photoAtFault = d != DecodeOutcome::OutOfMemory;
        return fail(photoAtFault ? kExitBadInput : kExitFailed, decode_message(d, doc->photos[k]));
    }
    return {};
}

namespace {

// Photo indices, darkest first: by the metadata's exposures when every photo has one, else by
// mean brightness, the only measure left.
std::vector<int> darkest_first(const Document &doc, size_t photoBytes)
{
    const int n = static_cast<int>(doc.photos.size());
    std::vector<float> key(size_t(n), 0.0f);
    if (doc.exif > 0 && doc.deltaT && doc.deltaT->length() >= key.size() * sizeof(float)) {
        std::memcpy(key.data(), doc.deltaT->bytes(), key.size() * sizeof(float));
    } else {
        for (int k = 0; k < n; ++k) {
            const uint8_t *p = doc.stack->bytes() + size_t(k) * photoBytes;
            uint64_t sum = 0;
            for (size_t i = 0; i < photoBytes; ++i)
                sum += p[i];
            key[size_t(k)] = static_cast<float>(double(sum) / double(photoBytes));
        }
    }
    std::vector<int> order(static_cast<size_t>(n));
    if (fClassementCroissant(n, key.data(), order.data()) != n)
        throw std::bad_alloc();
    return order;
}

} // namespace

std::string denoise_stack(Document *doc, int count, int threads, const MemoryBudget &budget)
{
    count = std::min(count, static_cast<int>(doc->photos.size()));
    if (count < 1 || !doc->stack)
        return {};
    const int w = doc->width, h = doc->height;
    const bool grey = doc->spp == 1;
    const int bytes = mem4denoise(w, h, kDenoiseTile);
    const auto one = platform::image_bytes(w, h, doc->spp, 1);
    const auto rgb = platform::image_bytes(w, h, 3, 1);
    const auto row = platform::checked_product({w, 3});
    const auto need = denoise_need(*doc);
    if (bytes < 0 || !one || !rgb || !row || *row > size_t(INT_MAX) || !need)
        return "noise reduction skipped: the photos are too large for it";
    if (const MemoryLimit *limit = binding_limit(budget, *need, worker_threads(threads)))
        return "noise reduction skipped: it needs " +
               limit_phrase(*limit, *need, worker_threads(threads), budget.threadStack);
    if (threads < 1)
        threads = platform::processor_count();

    int failed = 0;
    try {
        const std::vector<int> order = darkest_first(*doc, *one);
        auto work = std::make_unique_for_overwrite<float[]>(size_t(bytes) / sizeof(float) + 1);
        std::vector<uint8_t> out(*rgb), in(grey ? *rgb : 0);
        for (int k = 0; k < count; ++k) {
            uint8_t *photo = doc->stack->mutableBytes() + size_t(order[size_t(k)]) * *one;
            if (grey)
                for (size_t i = 0; i < *one; ++i)
                    in[3 * i] = in[3 * i + 1] = in[3 * i + 2] = photo[i];
            float nrParam[kNrParamCount];
            nr_def(nrParam); // fresh for every photo: denoise2 rewrites part of it
            if (denoise2(w, h, 3, int(*row), 8, kDenoiseTile, threads, nrParam, work.get(),
                         grey ? in.data() : photo, out.data()) != 1) {
                ++failed;
                continue;
            }
            // A grey pixel comes back with R = B = its luma and G, rebuilt from them, at times
            // a code lower: R is the grey.
            if (grey)
                for (size_t i = 0; i < *one; ++i)
                    photo[i] = out[3 * i];
            else
                std::memcpy(photo, out.data(), *one);
        }
    } catch (const std::bad_alloc &) {
        return "noise reduction skipped: out of memory";
    }
    if (failed > 0)
        return "noise reduction failed on " + std::to_string(failed) + " of the " +
               std::to_string(count) + " photos asked for; " +
               (failed == 1 ? "it is merged as it was" : "they are merged as they were");
    return {};
}

RoadError align_photos(Document *doc, int alignType, bool keepSize, int threads)
{
    const int n = static_cast<int>(doc->photos.size());
    if (alignType == kAlignNone || n < 2 || !doc->stack)
        return {};
    int dims[2] = {keepSize ? 1 : 0, 0};
    const int w = doc->width, h = doc->height;
    const int rc = alignType == kAlignTranslation
                       ? tr_align(n, w, h, doc->spp, 8, dims, doc->stack->mutableBytes())
                       : rt_align(worker_threads(threads), int(w * 0.1), int(h * 0.1), n, w, h,
                                  doc->spp, 8, dims, doc->stack->mutableBytes(), nullptr);
    if (rc < 0)
        return fail(kExitFailed,
                    rc == -4 ? "not enough memory to align the photos"
                             : "aligning the photos failed (error " + std::to_string(rc) + ")");
    doc->width = dims[0];
    doc->height = dims[1];
    return {};
}

namespace {

// Exposure fusion: the stack goes straight to the fusion job, no merge. The job's alert becomes
// the driver's message.
RoadError fuse(const Document &doc, const float *tmParam, int threads, bool showProgress,
               const StageHook &stage, DataPtr *result)
{
    if (stage)
        stage("Fusing");
    int dims[kImageDimsCount] = {};
    dims[kDimsWidth] = doc.width;
    dims[kDimsHeight] = doc.height;
    dims[kDimsSamples] = doc.spp;
    dims[kDimsBits] = 8;
    dims[kDimsOutBits] = 16;
    Fusion job;
    job.setParam(Data::copy(tmParam, kTmParamBytes));
    job.setImageDimsFrom(Data::copy(dims, sizeof dims));
    job.setImageCount(static_cast<int>(doc.photos.size()));
    if (threads > 0)
        job.setNbProc(threads);
    job.setShowProgress(showProgress ? 1 : 0);
    std::string said;
    platform::AlertSink previous =
        platform::set_alert_sink([&said](const platform::Alert &a) { said = a.message; });
    DataPtr fused = job.processFusion(doc.stack);
    platform::set_alert_sink(previous);
    // The job alerts on every failure but an allocation of its own; it names its kernel's.
    if (!fused)
        return said.empty() ||
                       said == platform::localized_string("Insufficient memory to fuse images")
                   ? fail(kExitFailed, "not enough memory to fuse the photos")
                   : fail(kExitFailed, "exposure fusion failed: " + said);
    *result = fused;
    return {};
}

// The sampling step of the intensive blend, which its defaults leave open. Against every pixel
// of the window (step 1), step 4 moves 2 % of the 16-bit samples of a real bracket by more than
// an 8-bit level at the default Strength (5 % at Strength 10) and takes a twentieth of the time;
// step 8 moves 11 % that far, step 2 takes a quarter of step 1's time. A radius below the step
// takes the radius, so that the window keeps its centre and both ends.
constexpr int kIntensiveStep = 4;

// The relative exposure of each photo as the road takes it for the merge: the metadata's
// (deltaT) when every photo has one, else the merge's own estimate from the brightness of the
// photos. Empty when the estimate cannot be made.
std::vector<float> road_exposures(const Document &doc)
{
    const size_t n = doc.photos.size();
    std::vector<float> ev(n, 1.0f);
    if (doc.exif > 0 && doc.deltaT && doc.deltaT->length() >= n * sizeof(float)) {
        std::memcpy(ev.data(), doc.deltaT->bytes(), n * sizeof(float));
    } else if (n > 1) {
        std::vector<int> keys(n);
        if (mediane_images(int(n), doc.width, doc.height, doc.width * doc.spp, doc.spp, 8,
                           doc.stack->bytes(), keys.data()) < 0 ||
            guess_ev(0, int(n), keys.data(), ev.data(), 0.0f) != int(n))
            return {};
    }
    return ev;
}

// The methods that combine the photos directly (11 to 14): the combination kernels on the 8-bit
// stack, with what their defaults leave open set here: the intensive blend's sampling step, and
// the two photos of method 13 (the darkest and the brightest unless --pair chose).
RoadError combine(const Document &doc, int method, const float *tmParam, int threads,
                  const StageHook &stage, DataPtr *result)
{
    float p[kTmParamCount];
    std::copy(tmParam, tmParam + kTmParamCount, p);
    if (method == kMethodFusionIntensive && imagecore::clamp_to_int(p[kInStep]) < 1)
        p[kInStep] = float(std::clamp(imagecore::clamp_to_int(p[kInRadius]), 1, kIntensiveStep));
    if (method == kMethodTwoPhotos && p[kTwoPhotoA] < 0) {
        const std::vector<float> ev = road_exposures(doc);
        if (ev.empty())
            return fail(kExitFailed, "not enough memory to estimate the photos' exposures");
        // Ties: the first photo is the darker, the last the brighter.
        p[kTwoPhotoA] = float(std::min_element(ev.begin(), ev.end()) - ev.begin());
        p[kTwoPhotoB] = float(ev.rend() - 1 - std::max_element(ev.rbegin(), ev.rend()));
    }
    if (stage)
        stage(method == kMethodFusionIntensive     ? "Fusing (intensive)"
              : method == kMethodHighlightsShadows ? "Combining (highlights and shadows)"
              : method == kMethodTwoPhotos         ? "Combining (two photos)"
                                                   : "Combining (mean)");
    auto bytes = platform::image_bytes(doc.width, doc.height, doc.spp, 2);
    DataPtr out = bytes ? Data::zeroed(*bytes) : nullptr;
    if (!out)
        return fail(kExitFailed, "not enough memory for the result");
    const int rc = combine_photos(method, p, static_cast<int>(doc.photos.size()), doc.width,
                                  doc.height, doc.width * doc.spp, doc.spp, 8, 16,
                                  doc.stack->bytes(), out->mutableBytes(), worker_threads(threads));
    if (rc != doc.height)
        return fail(kExitFailed,
                    rc == -4 ? "not enough memory to combine the photos"
                             : "combining the photos failed (error " + std::to_string(rc) + ")");
    *result = out;
    return {};
}

} // namespace

RoadError process(const Document &doc, int method, const float *tmParam, int threads,
                  bool showProgress, const StageHook &stage, DataPtr *result)
{
    if (method == kMethodFusionAdjust)
        return fuse(doc, tmParam, threads, showProgress, stage, result);
    if (method >= kMethodFusionIntensive && method <= kMethodMean)
        return combine(doc, method, tmParam, threads, stage, result);
    const int n = static_cast<int>(doc.photos.size());
    int dims[kImageDimsCount] = {};
    dims[kDimsWidth] = doc.width;
    dims[kDimsHeight] = doc.height;
    dims[kDimsSamples] = doc.spp;
    dims[kDimsBits] = 8;
    DataPtr dimsData = Data::copy(dims, sizeof dims);

    if (stage)
        stage("Merging");
    MergeToHDR merge;
    merge.setNbProc(worker_threads(threads));
    merge.setImageDimsFrom(dimsData);
    merge.setImageCount(n);
    if (doc.exif > 0)
        merge.setDeltaT(doc.deltaT);
    float gamma = 2.2f, trc = 0;
    if (doc.profile && trc_from_profile(doc.profile->bytes(), doc.profile->length(), &trc) > 0 &&
        trc > 0)
        gamma = trc;
    merge.setCamCurve(merge.makeCurve(gamma, 1));
    DataPtr hdr = merge.mergeImagesToHDR(showProgress ? 0 : 1, doc.stack, doc.exif, 0.0f, nullptr);
    if (!hdr)
        return fail(kExitFailed, merge.outOfMemory() ? "not enough memory to merge the photos"
                                                     : "the merge failed (unusable exposures)");

    if (stage)
        stage(method == kMethodDeredid ? "Tone mapping (Deredid Edazozed)"
                                       : "Tone mapping (Rodo Vizezadadu)");
    dims[kDimsOutBits] = 16;
    ToneMap tm;
    if (method == kMethodDeredid)
        tm.setTMParam1(Data::copy(tmParam, kTmParamBytes));
    else
        tm.setTMParam2(Data::copy(tmParam, kTmParamBytes));
    tm.setImageDimsFrom(Data::copy(dims, sizeof dims));
    tm.setDocType(kDocRgbe);
    tm.setNbProc(worker_threads(threads));
    hdr = method == kMethodDeredid ? tm.enhancerToneMap(showProgress ? 1 : 0, hdr)
                                   : tm.compressorToneMap(showProgress ? 1 : 0, hdr);
    auto expected = platform::image_bytes(doc.width, doc.height, doc.spp, 2);
    if (!hdr && tm.outOfMemory())
        return fail(kExitFailed, "not enough memory to tone-map the photos");
    if (!hdr || !expected || hdr->length() != *expected)
        return fail(kExitFailed, "tone mapping failed");
    *result = hdr;
    return {};
}

namespace {

// A named temporary file of the save, where the folder takes no unnamed one: SIGINT and SIGTERM
// remove it before the process ends. Only what a signal handler may touch.
char g_pendingPath[PATH_MAX];
volatile sig_atomic_t g_pending = 0;

extern "C" void remove_pending_then_stop(int sig)
{
    if (g_pending)
        ::unlink(g_pendingPath);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// Holds SIGINT and SIGTERM back for its life, so that none lands between a file's creation and
// its handler's, or between the handler's removal and the file's: they arrive when it goes.
class SignalsHeld {
public:
    SignalsHeld()
    {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        ::pthread_sigmask(SIG_BLOCK, &set, &m_old);
    }
    ~SignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &m_old, nullptr); }
    SignalsHeld(const SignalsHeld &) = delete;
    SignalsHeld &operator=(const SignalsHeld &) = delete;

private:
    sigset_t m_old;
};

// Holds a named temporary file: removed when the holder goes, and by SIGINT or SIGTERM while it
// is held (a signal the process ignores stays ignored). Made with the signals held back.
class PendingFile {
public:
    explicit PendingFile(std::string path) : m_path(std::move(path))
    {
        if (m_path.size() >= sizeof g_pendingPath)
            return; // too long for the handler's copy: removed on the way out alone
        std::memcpy(g_pendingPath, m_path.c_str(), m_path.size() + 1);
        g_pending = 1;
        struct sigaction act {};
        act.sa_handler = remove_pending_then_stop;
        sigemptyset(&act.sa_mask);
        for (int k = 0; k < 2; ++k) {
            ::sigaction(kSignals[k], nullptr, &m_old[k]);
            if (m_old[k].sa_handler != SIG_IGN)
                ::sigaction(kSignals[k], &act, nullptr);
        }
        m_installed = true;
    }
    ~PendingFile()
    {
        const SignalsHeld held;
        if (m_installed) {
            g_pending = 0;
            for (int k = 0; k < 2; ++k)
                ::sigaction(kSignals[k], &m_old[k], nullptr);
        }
        ::unlink(m_path.c_str());
    }
    PendingFile(const PendingFile &) = delete;
    PendingFile &operator=(const PendingFile &) = delete;
    const std::string &path() const { return m_path; }

private:
    static constexpr int kSignals[2] = {SIGINT, SIGTERM};
    std::string m_path;
    struct sigaction m_old[2] = {};
    bool m_installed = false;
};

struct FdCloser {
    int fd = -1;
    ~FdCloser()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

bool g_unnamedFiles = true;           // set_unnamed_files_for_testing
void (*g_hiddenLinkHook)() = nullptr; // set_hidden_link_hook_for_testing

// The longest file name the folder takes (255 bytes on the usual file systems).
size_t name_max(const std::string &dir)
{
    const long n = ::pathconf(dir.c_str(), _PC_NAME_MAX);
    return n > 0 ? size_t(n) : size_t(NAME_MAX);
}

// A hidden temporary name beside name in dir: "." name suffix, the name cut where the whole
// would not fit the folder. The suffix alone keeps such names apart.
std::string hidden_path(const std::string &dir, const std::string &name, const std::string &suffix)
{
    const size_t room = name_max(dir), fixed = 1 + suffix.size();
    return dir + "/." + name.substr(0, fixed < room ? room - fixed : 0) + suffix;
}

// Whether the process holds CAP_FOWNER (bit 3 of its effective capabilities), which lifts the
// sticky folder's rule; root's when the capabilities cannot be read.
bool may_act_as_any_owner()
{
    constexpr uint64_t kCapFowner = uint64_t(1) << 3;
    const std::optional<uint64_t> caps = platform::process_status().capabilities;
    return caps ? (*caps & kCapFowner) != 0 : ::geteuid() == 0;
}

// An unnamed file in dir that the writers can reach through /proc (they take a path), or -1
// where the folder takes none.
int open_unnamed(const std::string &dir)
{
    const int fd =
        g_unnamedFiles ? ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666) : -1;
    if (fd >= 0 && ::access(("/proc/self/fd/" + std::to_string(fd)).c_str(), W_OK) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The last number a default name takes ("<name>_hdr-999.jpg").
constexpr int kLastOutputNumber = 999;

// The hidden names a save passes through: the named temporary file where the folder takes no
// unnamed one (mkstemp's template), and -o's finished file before its rename, tried under
// kHiddenTries numbers.
constexpr const char *kTemplateSuffix = ".XXXXXX";
constexpr int kHiddenTries = 100;
std::string hidden_suffix(int k)
{
    return "." + std::to_string(::getpid()) + "-" + std::to_string(k);
}

} // namespace

std::vector<std::string> save_notes(const Document &doc, OutputFormat format)
{
    std::vector<std::string> notes;
    if (format != OutputFormat::Jpeg || doc.photos.empty())
        return notes;
    const std::string first = file_name(doc.photos.front().path);
    auto megabytes = [](double bytes) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f MB", bytes / double(1 << 20));
        return std::string(text);
    };
    if (doc.profile && doc.profile->length() > kJpegMaxIccBytes)
        notes.push_back("the ICC profile of " + first + " (" +
                        megabytes(double(doc.profile->length())) +
                        ") is left out of the result: a JPEG holds at most " +
                        megabytes(double(kJpegMaxIccBytes)) + " of profile (-f tiff keeps it)");
    if (doc.iptc && doc.iptc->length() > kJpegMaxIptcBytes)
        notes.push_back("the IPTC block of " + first + " (" + std::to_string(doc.iptc->length()) +
                        " bytes) is left out of the result: a JPEG holds at most " +
                        std::to_string(kJpegMaxIptcBytes) + " bytes of it (-f tiff keeps it)");
    return notes;
}

RoadError save_result(const Document &doc, const DataPtr &result, int method, const float *tmParam,
                      OutputFormat format, int quality, const OutputTarget &target,
                      std::string *saved)
{
    const SourcePhoto &first = doc.photos.front();
    int32_t info[kSaveInfoCount] = {};
    info[kSaveWidth] = doc.width;
    info[kSaveHeight] = doc.height;
    info[kSaveSamples] = doc.spp;
    info[kSaveXDpi] = doc.dpi;
    info[kSaveYDpi] = doc.dpi;
    info[kSaveIccLength] = doc.profile ? static_cast<int32_t>(doc.profile->length()) : 0;
    info[kSaveOrientation] = doc.orientation;
    const uint8_t *profile = doc.profile ? doc.profile->bytes() : nullptr;
    const int iptcLen = doc.iptc ? static_cast<int>(doc.iptc->length()) : 0;
    const uint8_t *iptc = doc.iptc ? doc.iptc->bytes() : nullptr;
    const std::string &path = target.path;
    const auto [dir, name] = folder_and_name(path);

    // The result is written into an unnamed file in the target's folder, which nothing that
    // stops the process can leave behind; the writers reach it through /proc. Where the folder
    // takes none, into a hidden named file that SIGINT and SIGTERM remove.
    FdCloser unnamed{open_unnamed(dir)};
    std::string writePath = "/proc/self/fd/" + std::to_string(unnamed.fd);
    std::unique_ptr<PendingFile> named;
    if (unnamed.fd < 0) {
        const std::string tmpl = hidden_path(dir, name, kTemplateSuffix);
        std::vector<char> tmp(tmpl.begin(), tmpl.end());
        tmp.push_back('\0');
        const SignalsHeld held;
        const int fd = ::mkstemp(tmp.data());
        if (fd < 0)
            return fail(kExitFailed, "cannot write in " + dir + ": " + std::strerror(errno));
        named = std::make_unique<PendingFile>(tmp.data());
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
        ::close(fd);
        writePath = named->path();
    }

    // Row lengths in samples (JPEG) and bytes (TIFF), which the writers take as int: a row too
    // long for one (no photo that passed the checks) is refused rather than wrapped.
    auto rowSamples = platform::checked_product({doc.width, doc.spp});
    auto rowBytes = platform::checked_product({doc.width, doc.spp, 2});
    const bool rowsFit = rowSamples && rowBytes && *rowBytes <= size_t(INT_MAX);
    int r = -3;
    errno = 0;
    if (rowsFit && format == OutputFormat::Jpeg) {
        info[kSaveBits] = 8;
        info[kSaveIs16to8] = 1;
        r = KVwritejpg(writePath.c_str(), quality, info, int(*rowSamples), profile,
                       record_ints(first.exifBuf), record_ints(first.gpsBuf), iptcLen, iptc, method,
                       tmParam, result->bytes());
    } else if (rowsFit) {
        info[kSaveBits] = 16;
        info[kSaveIs16to8] = 0;
        r = buf2tif(result->bytes(), info, int(*rowBytes), profile, record_ints(first.exifBuf),
                    record_ints(first.gpsBuf), iptcLen, iptc, method, tmParam, 0, nullptr,
                    writePath.c_str());
    }
    if (r != doc.height) {
        // The system's word for a failed write (a full disk, a quota) says more than the code.
        const int e = errno;
        if (r == -4)
            return fail(kExitFailed, "not enough memory to save " + path);
        return fail(kExitFailed, "could not save " + path + ": " +
                                     (e != 0 ? std::string(std::strerror(e))
                                             : "writer error " + std::to_string(r)));
    }

    // The finished file gets its name in one step. A default name is taken only when free, the
    // link failing when it exists (another run may take it at the same time); -o's file is
    // replaced by a rename from a fresh hidden name.
    auto link_to = [&](const std::string &to) {
        const int rc =
            named ? ::link(named->path().c_str(), to.c_str())
                  : ::linkat(AT_FDCWD, writePath.c_str(), AT_FDCWD, to.c_str(), AT_SYMLINK_FOLLOW);
        return rc == 0 ? 0 : errno;
    };
    if (target.numbered) {
        for (int k = 1; k <= kLastOutputNumber; ++k) {
            const std::string to = numbered_output_path(path, k);
            const int e = link_to(to);
            if (e == 0) {
                if (saved)
                    *saved = to;
                return {};
            }
            if (e != EEXIST)
                return fail(kExitFailed, "could not save " + to + ": " + std::strerror(e));
        }
        return fail(kExitFailed, "could not save the result: " + path +
                                     " and its numbered "
                                     "names up to " +
                                     file_name(numbered_output_path(path, kLastOutputNumber)) +
                                     " all exist (give -o)");
    }
    if (!named) {
        for (int k = 0; !named && k < kHiddenTries; ++k) {
            const std::string hidden = hidden_path(dir, name, hidden_suffix(k));
            // Held until the name has its handler, or a signal between the two leaves it behind.
            const SignalsHeld held;
            const int e = link_to(hidden);
            if (e == 0 && g_hiddenLinkHook)
                g_hiddenLinkHook();
            if (e == 0)
                named = std::make_unique<PendingFile>(hidden);
            else if (e != EEXIST)
                return fail(kExitFailed, "could not save " + path + ": " + std::strerror(e));
        }
        if (!named)
            return fail(kExitFailed, "could not save " + path + ": no free temporary name");
    }
    if (std::rename(named->path().c_str(), path.c_str()) != 0)
        return fail(kExitFailed, "could not save " + path + ": " + std::strerror(errno));
    if (saved)
        *saved = path;
    return {};
}

RoadError check_output(const std::vector<std::string> &photos, const std::string &output,
                       bool replaces)
{
    struct stat out;
    const bool exists = replaces && ::stat(output.c_str(), &out) == 0;
    if (exists) {
        if (S_ISDIR(out.st_mode))
            return fail(kExitFailed, "cannot save " + output + ": it is a directory");
        // The save would put a regular file in its place.
        if (!S_ISREG(out.st_mode))
            return fail(kExitFailed, "cannot save " + output + ": it is " +
                                         (S_ISFIFO(out.st_mode)   ? "a named pipe"
                                          : S_ISSOCK(out.st_mode) ? "a socket"
                                                                  : "a device") +
                                         ", not a regular file");
        for (const auto &photo : photos) {
            struct stat in;
            if (::stat(photo.c_str(), &in) == 0 && in.st_dev == out.st_dev &&
                in.st_ino == out.st_ino)
                return fail(kExitUsage, "the output " + output + " is the photo " + photo +
                                            "; saving would replace it (give another -o)");
        }
    }
    const std::string dir = folder_and_name(output).first;
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return fail(kExitFailed, "cannot save " + output + ": there is no folder " + dir);
    if (::access(dir.c_str(), W_OK | X_OK) != 0)
        return fail(kExitFailed, "cannot save " + output + ": the folder " + dir +
                                     " cannot be written (" + std::strerror(errno) + ")");
    // In a sticky folder (/tmp, mode 1777) only the owner of a file, of the folder, or a process
    // that may act as any owner, replaces it: the rename at the end of the run would fail.
    if (exists && (st.st_mode & S_ISVTX) && out.st_uid != ::geteuid() && st.st_uid != ::geteuid() &&
        !may_act_as_any_owner())
        return fail(kExitFailed, "cannot save " + output + ": " + std::strerror(EPERM) +
                                     " (it belongs to another user, and the folder " + dir +
                                     " lets only a file's owner replace it)");
    // The name the save will take must fit the folder: for default names the first free one
    // now, which a second run finds longer ("-2").
    std::string taken = output;
    if (!replaces) {
        int k = 1;
        for (struct stat existing; k <= kLastOutputNumber; ++k)
            if (::lstat(numbered_output_path(output, k).c_str(), &existing) != 0)
                break;
        if (k > kLastOutputNumber)
            return fail(kExitFailed,
                        "cannot save the result: " + output + " and its numbered names up to " +
                            file_name(numbered_output_path(output, kLastOutputNumber)) +
                            " all exist (give -o)");
        taken = numbered_output_path(output, k);
    }
    const size_t longest = name_max(dir);
    if (file_name(taken).size() > longest || taken.size() >= PATH_MAX)
        return fail(kExitFailed,
                    "cannot save " + taken + ": the name is longer than the " +
                        std::to_string(taken.size() >= PATH_MAX ? PATH_MAX - 1 : longest) +
                        " bytes the file system takes" + (replaces ? "" : " (give -o)"));
    // So must the hidden names the save passes through, a few bytes longer, or the run fails
    // after all its work: the named temporary file where the folder takes no unnamed one, and
    // -o's finished file before its rename. A default name is linked straight from the file.
    const std::string name = folder_and_name(output).second;
    size_t hidden = 0;
    if (FdCloser probe{open_unnamed(dir)}; probe.fd < 0)
        hidden = hidden_path(dir, name, kTemplateSuffix).size();
    if (replaces)
        hidden = std::max(hidden, hidden_path(dir, name, hidden_suffix(kHiddenTries - 1)).size());
    if (hidden >= PATH_MAX)
        return fail(kExitFailed,
                    "cannot save " + taken +
                        ": the hidden temporary file the result is written into first would have "
                        "a path longer than the " +
                        std::to_string(PATH_MAX - 1) + " bytes the system takes" +
                        (replaces ? " (give a shorter -o)" : " (give -o)"));
    return {};
}

void set_unnamed_files_for_testing(bool allowed)
{
    g_unnamedFiles = allowed;
}

void set_hidden_link_hook_for_testing(void (*hook)())
{
    g_hiddenLinkHook = hook;
}

std::string default_output_path(const std::string &firstPhoto, OutputFormat format)
{
    std::string dir, name = firstPhoto;
    if (auto slash = firstPhoto.find_last_of('/'); slash != std::string::npos) {
        dir = firstPhoto.substr(0, slash + 1);
        name = firstPhoto.substr(slash + 1);
    }
    if (auto dot = name.find_last_of('.'); dot != std::string::npos && dot > 0)
        name = name.substr(0, dot);
    return dir + name + "_hdr" + (format == OutputFormat::Jpeg ? ".jpg" : ".tif");
}

std::string numbered_output_path(const std::string &first, int number)
{
    if (number < 2)
        return first;
    const auto dot = first.find_last_of('.');
    return first.substr(0, dot) + "-" + std::to_string(number) + first.substr(dot);
}

} // namespace app
