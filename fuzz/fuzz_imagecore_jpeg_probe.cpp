// Fuzz entry point of the JPEG probe and the ICC profile reader over the input in memory:
// infojpg, then jpg_profile into buffers of the reported length and of half of it.
#include <cstdint>
#include <vector>

#include "fuzz/memory_stream.h"
#include "imagecore/jpeg_readers.h"
#include "imagecore/records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzsupport::MemoryStream in(data, size);
    if (!in)
        return 0;
    int info[kImageInfosCount] = {};
    if (infojpg(in.get(), info) < 0)
        return 0;
    std::vector<uint8_t> icc(size_t(info[kInfoIccLength]) + 1);
    jpg_profile(in.get(), icc.data(), icc.size() - 1);
    jpg_profile(in.get(), icc.data(), icc.size() / 2);
    return 0;
}
