// The fuzz input as a file, for readers that take a path: a per-process unique name in the
// temporary folder, written for one call and removed when the holder goes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace fuzzsupport {

class TempInput {
public:
    // suffix: the file name's ending, e.g. ".psb" where the extension matters.
    TempInput(const uint8_t *data, size_t size, const char *suffix = "")
    {
        const char *dir = std::getenv("TMPDIR");
        m_path = std::string(dir && *dir ? dir : "/tmp") + "/hdr_fuzz_" +
                 std::to_string(long(getpid())) + suffix;
        if (FILE *f = std::fopen(m_path.c_str(), "wb")) {
            m_ok = std::fwrite(data, 1, size, f) == size;
            m_ok = std::fclose(f) == 0 && m_ok;
        }
    }
    ~TempInput() { std::remove(m_path.c_str()); }
    TempInput(const TempInput &) = delete;
    TempInput &operator=(const TempInput &) = delete;

    bool ok() const { return m_ok; }
    const char *path() const { return m_path.c_str(); }
    const std::string &str() const { return m_path; }

private:
    std::string m_path;
    bool m_ok = false;
};

} // namespace fuzzsupport
