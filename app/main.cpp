// zenit: merges a bracketed series into an HDR image and tone-maps it into one photograph.
// Parses the command line, runs the road of one job and maps failures to exit statuses.
#include <csignal>
#include <cstdio>
#include <malloc.h>
#include <new>
#include <string>
#include <unistd.h>
#include <vector>

#include "align/align_log.h"
#include "app/options.h"
#include "app/progress_display.h"
#include "app/road.h"
#include "app/settings.h"
#include "platform/bundle.h"
#include "platform/system.h"
#include "platform/user_defaults.h"
#include "tonemap/tm_params.h"

using namespace app;

namespace {

int run(int argc, char **argv)
{
    // A write past the file-size limit (ulimit -f) then fails with EFBIG and is reported as any
    // failed write, instead of the signal ending the run after all its work.
    ::signal(SIGXFSZ, SIG_IGN);
    platform::set_resources_root(platform::program_resources_root());
    Options opt;
    std::string error;
    constexpr const char *kTryHelp = "Try 'zenit --help' for more information.\n";
    // Messages name what the user gave (photos, -o, files, option values): a name holding line
    // ends or terminal controls is shown escaped, not acted on.
    if (!parse_options(argc, argv, &opt, &error)) {
        std::fprintf(stderr, "zenit: %s\n%s", printable(error).c_str(), kTryHelp);
        return kExitUsage;
    }
    if (opt.help) {
        std::fputs(usage_text().c_str(), stdout);
        return kExitOk;
    }

    int method = 0;
    float tmParam[kTmParamCount] = {};
    auto report = [&](const RoadError &e) {
        std::fprintf(stderr, "zenit: %s\n%s", printable(e.message).c_str(),
                     e.code == kExitUsage ? kTryHelp : "");
        return e.code;
    };
    std::vector<std::string> rounded;
    if (RoadError e = resolve_settings(opt, &method, tmParam, &rounded))
        return report(e);
    if (!opt.quiet)
        for (const std::string &line : rounded)
            std::fprintf(stderr, "zenit: %s\n", printable(line).c_str());

    // A preferences file that cannot be taken is named once, before any work; the built-in
    // preferences stand in for it.
    const platform::UserDefaults &defaults = platform::UserDefaults::standardUserDefaults();
    if (!defaults.problem().empty() && !opt.quiet)
        std::fprintf(stderr, "zenit: the preferences file %s %s; it is ignored\n",
                     printable(defaults.path()).c_str(), defaults.problem().c_str());

    const int quality =
        opt.quality >= 0 ? opt.quality : jpeg_quality(defaults.objectForKey("GeneralQuality"));

    // Where the result goes is checked before any photo is read; a default name is taken when
    // the result is saved.
    const OutputTarget target = opt.output.empty()
                                    ? OutputTarget{default_output_path(opt.photos[0], opt.format), true}
                                    : OutputTarget{opt.output, false};
    if (RoadError e = check_output(opt.photos, target.path, !target.numbered))
        return report(e);

    ProgressDisplay display(stderr, ::isatty(STDERR_FILENO) != 0, opt.quiet);
    // What a stage freed goes back to the system before the next: the allocator would keep it,
    // and the stage's buffers would add to the next one's peak.
    auto stage = [&](const std::string &name) {
        ::malloc_trim(0);
        display.stage(name);
    };

    // What the run does, weighed against the memory before any photo is decoded. Noise reduction
    // is for the merge: exposure fusion blends the photos as they are.
    JobShape job;
    job.method = method;
    job.format = opt.format;
    if (method == kMethodDeredid || method == kMethodRodo)
        job.denoise =
            opt.denoise >= 0
                ? opt.denoise
                : noise_reduction_count(platform::UserDefaults::standardUserDefaults().objectForKey(
                      "NoiseReductionSettings"));
    const AlignmentChoice preference = alignment_settings(
        platform::UserDefaults::standardUserDefaults().objectForKey("AlignmentSettings"));
    job.alignType = opt.align == kAlignFromDefaults ? preference.alignType : opt.align;
    const bool keepSize = opt.keepSize || !preference.crop;
    uint64_t weighed = 0;
    // Read before the photos are, so that what the process holds beyond them is its own.
    const MemoryBudget budget = memory_budget();

    Document doc;
    stage("Reading photos");
    RoadError e = check_and_probe(opt.photos, &doc);
    // The checks run before their findings can be weighed: the limit that stopped them is named.
    if (e.message == kReadingOutOfMemory)
        if (const MemoryLimit *limit = tightest_limit(budget, worker_threads(opt.threads)))
            e.message += ": " + limit_text(*limit);
    if (!e)
        e = check_method_size(doc, method);
    if (!e) {
        stage("Decoding photos");
        e = decode_stack(&doc, budget, opt.threads, job, &weighed);
    }
    std::string note;
    if (!e && job.denoise > 0) {
        stage("Reducing noise");
        note = denoise_stack(&doc, job.denoise, opt.threads, budget);
    }
    // Every method combines aligned photos; the aligner's lines go between the progress reports.
    if (!e && doc.photos.size() > 1) {
        const int alignType = job.alignType;
        if (alignType != kAlignNone) {
            stage(alignType == kAlignFeatures ? "Aligning (features)" : "Aligning (translation)");
            AlignLogSink previous =
                set_align_log_sink([&display](const std::string &line) { display.note(line); });
            e = align_photos(&doc, alignType, keepSize, opt.threads);
            set_align_log_sink(previous);
            // Cropping to the area every photo covers can leave too little for the method.
            if (!e)
                e = check_method_size(doc, method);
        }
    }
    platform::DataPtr result;
    std::string saved;
    if (!e)
        e = process(doc, method, tmParam, opt.threads, !opt.quiet, stage, &result);
    std::vector<std::string> notes;
    if (!note.empty())
        notes.push_back(note);
    if (!e) {
        doc.stack.reset(); // the stack is no longer needed; saving wants the memory
        stage("Saving");
        e = save_result(doc, result, method, tmParam, opt.format, quality, target, &saved);
        if (!e)
            for (std::string &left : save_notes(doc, opt.format))
                notes.push_back(std::move(left));
    }
    display.finish();
    if (!opt.quiet)
        for (const std::string &line : notes)
            std::fprintf(stderr, "zenit: %s\n", printable(line).c_str());
    if (e)
        return report(e);

    if (opt.timings) {
        for (const auto &[name, seconds] : display.timings())
            std::fprintf(stderr, "%-36s %8.3f s\n", name.c_str(), seconds);
        std::fprintf(stderr, "Memory  estimated %llu MB, peak %llu MB\n",
                     static_cast<unsigned long long>((weighed + (1 << 19)) >> 20),
                     static_cast<unsigned long long>((peak_resident_bytes() + (1 << 19)) >> 20));
    }
    if (!opt.quiet)
        std::fprintf(stderr, "Saved %s\n", printable(saved).c_str());
    return kExitOk;
}

} // namespace

// Any allocation that fails where no stage catches it ends the run as one that does.
int main(int argc, char **argv)
{
    settle_allocator();
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc &) {
        std::fputs("zenit: not enough memory\n", stderr);
        return kExitFailed;
    }
}
