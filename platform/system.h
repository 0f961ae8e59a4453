// Facts about the machine and about paths.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// Online processors, clamped to 0..32; 0 when it cannot be read.
int processor_count();
// Physical memory in bytes; 0 when it cannot be read.
uint64_t physical_memory();
// What /proc/self/status (under root, "" but for tests) tells of this process: its memory in
// bytes, its address space (VmSize), resident set (VmRSS), data segment (VmData), anonymous
// resident memory (RssAnon) and resident high-water mark (VmHWM), 0 where they cannot be read;
// its effective capabilities (CapEff), when they can be read.
struct ProcessStatus {
    uint64_t size = 0, resident = 0, data = 0, anonymous = 0, peak = 0;
    std::optional<uint64_t> capabilities;
};
ProcessStatus process_status(const std::string &root = "");

// The extension of the last path component after its last '.', case kept; empty when the
// component has none (or is a leading-dot name such as ".profile").
std::string path_extension(const std::string &path);

} // namespace platform
