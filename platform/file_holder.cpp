#include "platform/file_holder.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

long file_length(FILE *f)
{
    if (!f)
        return -1;
    long here = std::ftell(f);
    if (here < 0 || std::fseek(f, 0, SEEK_END) != 0)
        return -1;
    long end = std::ftell(f);
    if (std::fseek(f, here, SEEK_SET) != 0)
        return -1;
    return end;
}

FilePtr open_regular(const std::string &path, uint64_t &length, std::string *why)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        // A socket cannot be opened at all.
        *why = errno == ENXIO ? "is not a regular file (a pipe, a device or a socket)"
                              : std::strerror(errno);
        return nullptr;
    }
    struct stat st {};
    const bool measured = ::fstat(fd, &st) == 0;
    if (!measured || !S_ISREG(st.st_mode)) {
        *why = !measured               ? std::strerror(errno)
               : S_ISDIR(st.st_mode) ? "is a directory"
                                     : "is not a regular file (a pipe, a device or a socket)";
        ::close(fd);
        return nullptr;
    }
    // Reads of a regular file never block; the flag goes so that none is ever refused.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FilePtr f(::fdopen(fd, "rb"));
    if (!f) {
        *why = std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    length = uint64_t(st.st_size);
    return f;
}

} // namespace platform
