// Fuzz entry point of the JPEG probe and the ICC profile reader: infojpg, then jpg_profile into
// buffers of the reported length and of half of it.
#include <cstdint>
#include <vector>

#include "fuzz/temp_input.h"
#include "imagecore/jpeg_readers.h"
#include "imagecore/records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzsupport::TempInput in(data, size);
    if (!in.ok())
        return 0;
    int info[kImageInfosCount] = {};
    if (infojpg(in.path(), info) < 0)
        return 0;
    std::vector<uint8_t> icc(size_t(info[kInfoIccLength]) + 1);
    jpg_profile(in.path(), icc.data(), icc.size() - 1);
    jpg_profile(in.path(), icc.data(), icc.size() / 2);
    return 0;
}
