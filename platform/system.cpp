#include "platform/system.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <unistd.h>

#include "platform/file_holder.h"

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

ProcessStatus process_status(const std::string &root)
{
    ProcessStatus s;
    FilePtr f = open_file(root + "/proc/self/status", "r");
    if (!f)
        return s;
    const std::pair<const char *, uint64_t *> fields[] = {{"VmSize", &s.size},
                                                          {"VmRSS", &s.resident},
                                                          {"VmData", &s.data},
                                                          {"RssAnon", &s.anonymous},
                                                          {"VmHWM", &s.peak}};
    char line[256];
    while (std::fgets(line, sizeof line, f.get())) {
        const char *colon = std::strchr(line, ':');
        if (!colon)
            continue;
        const std::string name(line, size_t(colon - line));
        char *end = nullptr;
        if (name == "CapEff") {
            const unsigned long long caps = std::strtoull(colon + 1, &end, 16);
            if (end != colon + 1)
                s.capabilities = caps;
            continue;
        }
        const unsigned long long kib = std::strtoull(colon + 1, &end, 10);
        if (end == colon + 1 || std::strncmp(end, " kB", 3) != 0 || kib >= (1ULL << 53))
            continue;
        for (const auto &[field, value] : fields)
            if (name == field)
                *value = uint64_t(kib) << 10;
    }
    return s;
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
