// The memory a run will hold, weighed before any photo is decoded: the buffers each stage
// allocates for the method and the options, against the memory the run may use.
#pragma once

#include <cstdint>
#include <optional>

#include "app/document.h"
#include "app/options.h"
#include "tonemap/tm_params.h"

namespace app {

// The denoiser's tile side, which its work area is sized by.
inline constexpr int kDenoiseTile = 2048;

// What a run does, as far as its memory goes.
struct JobShape {
    int method = kMethodDeredid;
    int denoise = 0;            // photos the noise reduction takes; 0 when it does not run
    int alignType = kAlignNone; // kAlignFeatures, kAlignTranslation or kAlignNone
    int decoders = 1;           // photos decoded at once
};

// The most memory the run of job on doc's photos holds at once, in bytes: its resident peak,
// the program's own included, at doc's size (an alignment's crop only lowers it). Nothing when
// the photos pass the size the processing takes or the photo count. How each stage is counted
// is told beside the code.
std::optional<uint64_t> job_memory(const Document &doc, const JobShape &job);

// The peak of the noise reduction of a stack of stackBytes bytes, the program included; nothing
// when the denoiser does not take the size.
std::optional<uint64_t> denoise_need(int w, int h, int spp, uint64_t stackBytes);

// How a run admitted by plan_memory goes: the photos decoded at once and job_memory for it.
struct MemoryPlan {
    int decoders = 1;
    uint64_t weighed = 0;
};

// Weighs job on doc's photos against memory (bytes; 0 skips the weighing): a job that needs more
// with one decoder is refused (kExitFailed, saying how much it needs), photos too large to count
// are kExitBadInput. Noise reduction that memory does not hold is left out of the weighing, as
// denoise_stack leaves it out of the run (the decoders of job are not read). Up to workers photos
// are decoded at once, as many as memory holds, one at least.
RoadError plan_memory(const Document &doc, const JobShape &job, uint64_t memory, int workers,
                      MemoryPlan *plan);

} // namespace app
