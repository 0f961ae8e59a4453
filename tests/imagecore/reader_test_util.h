// Helpers of the source-reader tests: the open descriptor count (every path closes its file),
// fixture files in a temporary folder, and 8-bit PSD documents.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "imagecore/records.h"
#include "tests/support/fixtures.h"

namespace readertest {

using Infos = std::array<int, kImageInfosCount>;

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

// w x h pixels of spp 8-bit samples that tell pixel and channel apart.
inline std::vector<uint8_t> pattern8(uint32_t w, uint32_t h, int spp = 3)
{
    std::vector<uint8_t> px(size_t(w) * h * size_t(spp));
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = uint8_t(i * 7 + i / 3);
    return px;
}

// A PSD of those pixels, compression 0 (raw) or 1 (PackBits).
inline testsupport::PsdBuilder psd8(const std::vector<uint8_t> &px, uint32_t w, uint32_t h,
                                    int compression = 0)
{
    testsupport::PsdBuilder b;
    b.compression = compression;
    b.set_interleaved8(px.data(), w, h, int(px.size() / (size_t(w) * h)));
    return b;
}

} // namespace readertest
