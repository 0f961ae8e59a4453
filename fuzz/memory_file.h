// The fuzz input as a file that a path names, for code that opens photos by path (the driver):
// one in-memory file (memfd) per process, reached through symbolic links whose names carry the
// extensions the driver reads the type from. An input rewrites the memory file; no file is
// created or removed on disk for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace fuzzsupport {

class MemoryFile {
public:
    MemoryFile()
    {
        m_fd = memfd_create("zenit-fuzz", 0);
        const char *tmp = std::getenv("TMPDIR");
        std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/zenit-fuzz-XXXXXX";
        if (m_fd < 0 || !mkdtemp(dir.data()))
            return;
        m_dir = dir;
        m_target = "/proc/" + std::to_string(long(getpid())) + "/fd/" + std::to_string(m_fd);
    }
    ~MemoryFile()
    {
        for (const std::string &link : m_links)
            std::remove(link.c_str());
        if (!m_dir.empty())
            std::remove(m_dir.c_str());
        if (m_fd >= 0)
            close(m_fd);
    }
    MemoryFile(const MemoryFile &) = delete;
    MemoryFile &operator=(const MemoryFile &) = delete;

    // Makes the memory file hold the bytes; returns the path of a link to it named
    // "photo.<extension>", or null when that cannot be done.
    const char *write(const uint8_t *data, size_t size, const std::string &extension)
    {
        if (m_dir.empty() || ftruncate(m_fd, 0) != 0 ||
            (size > 0 && pwrite(m_fd, data, size, 0) != ssize_t(size)))
            return nullptr;
        m_path = m_dir + "/photo." + extension;
        for (const std::string &link : m_links)
            if (link == m_path)
                return m_path.c_str();
        if (symlink(m_target.c_str(), m_path.c_str()) != 0)
            return nullptr;
        m_links.push_back(m_path);
        return m_path.c_str();
    }

private:
    int m_fd = -1;
    std::string m_dir, m_target, m_path;
    std::vector<std::string> m_links;
};

} // namespace fuzzsupport
