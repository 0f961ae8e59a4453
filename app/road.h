// The road of one job, from the photos on disk to the saved photograph: checks and probes,
// metadata, decoding into the 8-bit stack, the merge, the tone mapping and the save. The
// driver adds no processing of its own; it calls the job objects and functions in that order.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/document.h"
#include "app/memory_gate.h"
#include "app/options.h"
#include "app/photo_checks.h"
#include "platform/data.h"
#include "platform/system.h"
#include "tonemap/tm_params.h"

namespace app {

// Stage names for progress and timings; the driver's observer shows them.
using StageHook = std::function<void(const std::string &stage)>;

// Before any work: the output may not be one of the photos (the same file after links: device
// and inode; kExitUsage), an existing directory, or lie in a folder that is missing or cannot
// be written (kExitFailed). A default name, which replaces nothing (replaces false), has its
// folder checked alone.
RoadError check_output(const std::vector<std::string> &photos, const std::string &output,
                       bool replaces = true);

// The worker count of -j (threads): the processor count when 0 or less, 1 to 32.
int worker_threads(int threads);

// The smallest side a photo may have for the method: below it the method's pyramids or windows
// have nothing to work on.
int smallest_side(int method);
// Photos smaller than smallest_side(method) on a side are bad input (kExitBadInput), told
// before decoding.
RoadError check_method_size(const Document &doc, int method);

// Decodes every photo into the 8-bit interleaved stack and checks that each matches the first
// in size, channel count and bits per channel. Before anything is allocated, the run is weighed
// by plan_memory against budget, with threads running (the processor count when 0 or less) and
// up to as many decoders, each decoding into its own slot. weighed (when not null) gets
// job_memory for the run so weighed and the decoders taken. A photo that fails is reported (the
// first in the given order when several do) and the stack is dropped.
RoadError decode_stack(Document *doc, const MemoryBudget &budget = memory_budget(), int threads = 0,
                       const JobShape &job = {}, uint64_t *weighed = nullptr);

// Noise reduction of the stack in place, before the merge of the tone-mapping methods: the count
// darkest photos (by the metadata's exposures when doc->exif is 1, else by mean brightness;
// count is capped at the photo count), darkest first, each from fresh default parameters.
// Grey photos are denoised as RGB and come back grey. threads: worker threads, below 1 the
// processor count. budget as for decode_stack: when the stack, the work area and the photo
// copies need more (as job_memory counts them), nothing is done. A photo the denoiser cannot take
// stays as it was. Returns an empty text when every photo asked for was denoised, else what was not
// done and why.
std::string denoise_stack(Document *doc, int count, int threads,
                          const MemoryBudget &budget = memory_budget());

// Alignment of the stack in place, after decoding and noise reduction and before the merge, the
// fusion or a combination: by features (alignType kAlignFeatures: rt_align, a feature moving at
// most a tenth of each side between two photos) or by translation (kAlignTranslation: tr_align),
// cropped to the area every photo covers unless keepSize. doc's width and height follow the
// crop. kAlignNone and a single photo leave the stack as it is. threads as for process.
RoadError align_photos(Document *doc, int alignType, bool keepSize, int threads);

// Merge and tone mapping, or fusion or a combination method (11 to 14) straight from the stack:
// the 16-bit result, w x h x spp samples. threads: the worker count of the kernels (the
// processor count when 0 or less).
RoadError process(const Document &doc, int method, const float *tmParam, int threads,
                  bool showProgress, const StageHook &stage, platform::DataPtr *result);

// What saving in format leaves out of the first photo's metadata, a line each for the user: an
// ICC profile or IPTC block larger than a JPEG carries. Empty when everything is carried.
std::vector<std::string> save_notes(const Document &doc, OutputFormat format);

// Where the result goes: -o's file, replaced when it exists, or the default names beside the
// first photo, of which the first free one is taken once the result is complete.
struct OutputTarget {
    std::string path; // -o's file, or the first default name
    bool numbered = false;
};

// Saves the 16-bit result with the first photo's metadata and the settings packet. It is written
// into an unnamed file in the target's folder (a hidden named one where the file system has
// none; SIGINT and SIGTERM remove it), which then gets its name in one step, so a name is
// complete or untouched. A numbered target takes path, else numbered_output_path(path, 2), 3...
// up to 999, the first that does not exist at that moment, and fails past the last. saved (when
// not null) gets the name taken.
RoadError save_result(const Document &doc, const platform::DataPtr &result, int method,
                      const float *tmParam, OutputFormat format, int quality,
                      const OutputTarget &target, std::string *saved = nullptr);
inline RoadError save_result(const Document &doc, const platform::DataPtr &result, int method,
                             const float *tmParam, OutputFormat format, int quality,
                             const std::string &path)
{
    return save_result(doc, result, method, tmParam, format, quality, OutputTarget{path, false});
}

// For tests: false makes save_result write a named temporary file, as where the file system
// has no unnamed ones.
void set_unnamed_files_for_testing(bool allowed);
// For tests: called the moment -o's finished file has its hidden name, before that name has its
// handler (say to raise a signal there); null for none.
void set_hidden_link_hook_for_testing(void (*hook)());

// The first default name of the result: beside the first photo, "<name>_hdr.jpg" or ".tif".
std::string default_output_path(const std::string &firstPhoto, OutputFormat format);
// The default name number (2 and on) after first: "<name>_hdr-2.jpg"; first itself below 2.
std::string numbered_output_path(const std::string &first, int number);

} // namespace app
