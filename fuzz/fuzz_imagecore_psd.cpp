// Fuzz entry point of the PSD/PSB reader: getPsdInfo and psd_profile, then load_psd with both
// field widths and both channel orders, and Manip::readPSD under a ".psb" name.
#include <cstdint>
#include <vector>

#include "fuzz/temp_input.h"
#include "imagecore/manip.h"
#include "imagecore/psd_reader.h"
#include "imagecore/records.h"
#include "platform/checked_size.h"

namespace {
// Decoded sizes a fuzz input may ask for; larger headers are probed but not decoded.
constexpr size_t kMaxDecode = size_t(32) << 20;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzsupport::TempInput in(data, size, ".psb");
    if (!in.ok())
        return 0;
    int info[kImageInfosCount] = {};
    if (getPsdInfo(in.path(), info) < 1)
        return 0;
    std::vector<uint8_t> icc(size_t(info[kInfoIccLength]) + 1);
    psd_profile(in.path(), icc.data(), icc.size() - 1);
    psd_profile(in.path(), icc.data(), icc.size() / 2);

    const int bits = info[kInfoBits];
    const int depthBytes = bits == 32 ? 4 : bits / 8 > 0 ? bits / 8 : 1;
    auto bytes = platform::image_bytes(info[kInfoWidth], info[kInfoHeight], 4, depthBytes);
    if (!bytes || *bytes > kMaxDecode)
        return 0;
    std::vector<uint16_t> dest(*bytes / 2 + 8);
    for (int kind : {32, 64}) {
        info[kInfoPsdKind] = kind;
        load_psd(kind == 64 ? 0 : 1, in.path(), info, kind == 64 ? 3 * info[kInfoWidth] + 1 : 0,
                 dest.data());
    }
    info[kInfoPsdKind] = 0;
    Manip().readPSD(in.str(), info);
    return 0;
}
