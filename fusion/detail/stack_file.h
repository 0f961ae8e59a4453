// The photo stack in a temporary file (the out-of-core mode): the alignedPhotosBuf layout, photo
// k's row y at sample (k x height + y) x rowSamples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sys/types.h>

namespace fusion::detail {

inline constexpr int kTraceStackFile = 0;

// Reads row y of photo k (rowSamples samples of sampleBytes bytes) into dst. False on a failed
// seek or a short read.
inline bool read_stack_row(FILE *f, int k, int height, int y, size_t rowSamples, size_t sampleBytes,
                           void *dst)
{
    const int64_t at = (int64_t(k) * height + y) * int64_t(rowSamples * sampleBytes);
    const size_t got =
        ::fseeko(f, off_t(at), SEEK_SET) == 0 ? std::fread(dst, sampleBytes, rowSamples, f) : 0;
    if (got != rowSamples && kTraceStackFile)
        std::fprintf(stderr, "could not read fpSource - returned %d instead of %d  at  %d\n",
                     int(got), int(rowSamples), y);
    return got == rowSamples;
}

} // namespace fusion::detail
