#include "platform/system.h"

#include <unistd.h>

namespace platform {

int processor_count()
{
    long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    if (n < 0)
        return 0;
    return n > 32 ? 32 : static_cast<int>(n);
}

uint64_t physical_memory()
{
    long pages = ::sysconf(_SC_PHYS_PAGES);
    long size = ::sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || size <= 0)
        return 0;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(size);
}

std::string path_extension(const std::string &path)
{
    std::string::size_type slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string::size_type dot = name.find_last_of('.');
    if (dot == std::string::npos || dot == 0)
        return {};
    return name.substr(dot + 1);
}

} // namespace platform
