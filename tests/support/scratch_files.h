// Test helpers for code that makes temporary files: a private folder that stands for the system's
// temporary folder while it lives, and a cap on the size of any file written, as a full disk.
#pragma once

#include <cstdint>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace testsupport {

class PrivateTmp {
public:
    PrivateTmp();  // a new folder under /tmp, TMPDIR pointing at it
    ~PrivateTmp(); // the folder and all it holds removed, TMPDIR restored
    PrivateTmp(const PrivateTmp &) = delete;
    PrivateTmp &operator=(const PrivateTmp &) = delete;

    std::string path(const std::string &name) const { return m_dir + "/" + name; }
    std::vector<std::string> entries() const; // names, sorted

private:
    std::string m_dir, m_old;
    bool m_hadOld = false;
};

// Writes past `bytes` bytes of a file fail (SIGXFSZ ignored) while it lives.
class FileSizeLimit {
public:
    explicit FileSizeLimit(uint64_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    rlimit m_old{};
    void (*m_handler)(int) = nullptr;
};

} // namespace testsupport
