// Facts about the machine and about paths.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Online processors, clamped to 0..32; 0 when it cannot be read.
int processor_count();
// Physical memory in bytes; 0 when it cannot be read.
uint64_t physical_memory();
// The extension of the last path component after its last '.', case kept; empty when the
// component has none (or is a leading-dot name such as ".profile").
std::string path_extension(const std::string &path);

} // namespace platform
