// Fuzz entry point of the TIFF probe over the input in memory: getTiffInfo, then tif_profile
// into a buffer of the reported length and arr_from_tiffOffset at the strip offsets.
#include <cstdint>
#include <vector>

#include "fuzz/memory_stream.h"
#include "imagecore/records.h"
#include "imagecore/tiff_probe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzsupport::MemoryStream in(data, size);
    if (!in)
        return 0;
    int info[kImageInfosCount] = {};
    if (getTiffInfo(in.get(), info) < 0)
        return 0;
    // The probe reports a profile only when it lies inside the file: the length is bounded.
    std::vector<uint8_t> icc(size_t(info[kInfoIccLength] > 0 ? info[kInfoIccLength] : 0) + 1);
    tif_profile(in.get(), icc.data(), icc.size() - 1);
    tif_profile(in.get(), icc.data(), icc.size() / 2);
    int out[16];
    arr_from_tiffOffset(in.get(), data[0] % 17, info[kInfoStripOffsets], out);
    return 0;
}
