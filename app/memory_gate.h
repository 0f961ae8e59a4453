// The memory a run will hold, weighed before any photo is decoded: the buffers each stage
// allocates for the method and the options, against the memory the run may use (the machine's,
// the control group's, the process's address-space and data limits).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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
    OutputFormat format = OutputFormat::Jpeg; // a TIFF writer copies the metadata
};

// The most memory the run of job on doc's photos holds at once, in bytes: its resident peak,
// the program's own included, at doc's size (an alignment's crop only lowers it). Nothing when
// the photos pass the size the processing takes or the photo count. How each stage is counted
// is told beside the code.
std::optional<uint64_t> job_memory(const Document &doc, const JobShape &job);

// The peak of the noise reduction of doc's stack, the program and the document's metadata
// included; nothing when the denoiser does not take the size.
std::optional<uint64_t> denoise_need(const Document &doc);

// What bounds the memory of a run.
enum class LimitKind {
    Physical,     // the machine's memory
    ControlGroup, // the memory limit of the process's control group
    AddressSpace, // RLIMIT_AS (ulimit -v)
    DataSegment,  // RLIMIT_DATA (ulimit -d)
};

struct MemoryLimit {
    LimitKind kind = LimitKind::Physical;
    uint64_t bytes = 0;
    // What the limit counts beyond the run's resident memory (address-space and data limits):
    // what the process holds mapped but not resident when weighed (libraries, reserved areas).
    // Such limits count every thread's stack whole as well.
    uint64_t beyond = 0;
};

// The memory a run may use: every limit must hold it.
struct MemoryBudget {
    MemoryBudget() = default;
    // Physical memory alone, of physical bytes (0: no limit).
    MemoryBudget(uint64_t physical);
    std::vector<MemoryLimit> limits;
    uint64_t threadStack = 0; // the address space a thread's stack takes
};

// The memory of this process: physical memory; the limit of its control group, the least of
// its own and its ancestors' (version 2: memory.max, "max" for none; version 1:
// memory.limit_in_bytes), found from root + "/proc/self/cgroup" under root + "/sys/fs/cgroup"
// (version 2 also under ".../unified"); RLIMIT_AS and RLIMIT_DATA when set, with what the
// process holds beyond its resident memory (root + "/proc/self/status"). root is "" but for tests.
MemoryBudget memory_budget(const std::string &root = "");

// The limit of budget that resident bytes with threads running do not fit, the one that leaves
// the least room when several do not; null when every limit holds them.
const MemoryLimit *binding_limit(const MemoryBudget &budget, uint64_t resident, int threads);

// What the limit allows: "this machine has 8.0 GB", "the process's address-space limit
// (ulimit -v) is 240 MB".
std::string limit_text(const MemoryLimit &limit);
// What a run of resident bytes with threads running needs of the limit and what it allows, to
// follow "need": "1.1 GB of address space with 8 threads, the process's address-space limit
// (ulimit -v) is 240 MB".
std::string limit_phrase(const MemoryLimit &limit, uint64_t resident, int threads,
                         uint64_t threadStack);
// The limit of budget that leaves a run with threads running the least room; null for none.
const MemoryLimit *tightest_limit(const MemoryBudget &budget, int threads);

// The largest resident set of this process in bytes (the kernel's high-water mark).
uint64_t peak_resident_bytes();

// The allocator as the run's memory is counted for: one arena for every thread, whose freed
// blocks the trims between stages give back; where the address space or the data segment is
// limited, large blocks mapped apart and given back as they are freed, so that what it reserves
// beyond what the run holds stays as small as memory_budget counts it. Called before any thread
// starts.
void settle_allocator();

// How a run admitted by plan_memory goes: the photos decoded at once and job_memory for it.
struct MemoryPlan {
    int decoders = 1;
    uint64_t weighed = 0;
};

// Weighs job on doc's photos against budget with threads running: a job that needs more than a
// limit with one decoder is refused (kExitFailed, "not enough memory", saying how much it needs
// and which limit binds), photos too large to count are kExitBadInput. Noise reduction that the
// budget does not hold is left out of the weighing, as denoise_stack leaves it out of the run
// (the decoders of job are not read). Up to threads photos are decoded at once, as many as the
// budget holds, one at least.
RoadError plan_memory(const Document &doc, const JobShape &job, const MemoryBudget &budget,
                      int threads, MemoryPlan *plan);

} // namespace app
