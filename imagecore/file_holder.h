// RAII holders for C files and C heap buffers.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace imagecore {

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

} // namespace imagecore
