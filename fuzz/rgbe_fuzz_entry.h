// Shared by the Radiance readers' fuzz entry points: the image size a caller learns from the
// file's resolution line before it reads, and the largest output a fuzz input may ask for.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imagecore/radiance.h"
#include "platform/file_holder.h"

namespace fuzzsupport {

inline constexpr size_t kMaxRgbeDecode = size_t(32) << 20;

// Width and height from the first 100 header lines; false when there is no resolution line.
inline bool rgbe_fuzz_dims(const char *path, int &width, int &height)
{
    platform::FilePtr f = platform::open_file(path, "rb");
    return f && imagecore::radiance_scan_header(f.get(), 100, imagecore::kRadianceLineSize, &height,
                                                &width, [](const char *) {}) >= 0;
}

} // namespace fuzzsupport
