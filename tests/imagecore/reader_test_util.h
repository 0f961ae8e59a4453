// Small helpers shared by the source-reader tests: open descriptor count (to see that every
// path closes its file) and file writing into a temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/fixtures.h"

namespace readertest {

// Descriptors open in this process now.
inline int open_fds()
{
    int n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

// Writes bytes as dir/name and returns the path.
inline std::string put(const testsupport::TempDir &dir, const std::string &name,
                       const testsupport::Bytes &bytes)
{
    std::string path = dir.file(name);
    EXPECT_TRUE(testsupport::write_file(path, bytes)) << path;
    return path;
}

} // namespace readertest
