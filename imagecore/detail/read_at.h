// Positioned reads from a C file whose length is known, refused when the bytes do not lie
// inside the file: the readers of hostile files check every offset and count this way.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "imagecore/checked_size.h"
#include "imagecore/file_holder.h"

namespace imagecore::detail {

// Opens path for reading and measures it into length; null when it cannot be opened or measured.
inline FilePtr open_measured(const char *path, uint64_t &length)
{
    FilePtr f = open_file(path, "rb");
    if (!f)
        return f;
    long len = file_length(f.get());
    if (len < 0)
        return nullptr;
    length = uint64_t(len);
    return f;
}

// Reads n bytes at off into dst; false (dst may be partly written) when [off, off + n) is not
// inside a file of `length` bytes, or the seek or the read fails.
inline bool read_at(FILE *f, uint64_t length, uint64_t off, void *dst, size_t n)
{
    if (!range_inside(off, n, length) || off > uint64_t(LONG_MAX))
        return false;
    if (std::fseek(f, long(off), SEEK_SET) != 0)
        return false;
    return std::fread(dst, 1, n, f) == n;
}

} // namespace imagecore::detail
