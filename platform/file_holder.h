// RAII holders for C files and C heap buffers.
#pragma once

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/checked_size.h"

namespace platform {

struct FileCloser {
    void operator()(FILE *f) const
    {
        if (f)
            std::fclose(f);
    }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

inline FilePtr open_file(const char *path, const char *mode)
{
    return FilePtr(path ? std::fopen(path, mode) : nullptr);
}
inline FilePtr open_file(const std::string &path, const char *mode)
{
    return open_file(path.c_str(), mode);
}

// Length of an open file in bytes, the position kept; -1 when it cannot be told.
long file_length(FILE *f);

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
// A calloc'd buffer that can be released into a data object without copying.
template <class T> using CBuffer = std::unique_ptr<T[], FreeDeleter>;

template <class T> CBuffer<T> calloc_buffer(size_t count)
{
    return CBuffer<T>(static_cast<T *>(std::calloc(count ? count : 1, sizeof(T))));
}

// The length of an open stream (a file, or bytes in memory) into length; false when it cannot
// be told.
inline bool stream_length(FILE *f, uint64_t &length)
{
    long len = file_length(f);
    if (len < 0)
        return false;
    length = uint64_t(len);
    return true;
}

// Opens path for reading and measures it into length; null when it cannot be opened or measured.
inline FilePtr open_measured(const char *path, uint64_t &length)
{
    FilePtr f = open_file(path, "rb");
    if (!f || !stream_length(f.get(), length))
        return nullptr;
    return f;
}

// Opens path for reading when it is a regular file, and measures it into length. The open does
// not block (a named pipe without a writer would wait for one forever) and the check is made on
// what was opened. Null when it cannot be opened or is no regular file, with why: the system's
// reason, "is a directory" or "is not a regular file (a pipe, a device or a socket)".
FilePtr open_regular(const std::string &path, uint64_t &length, std::string *why);

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

} // namespace platform
