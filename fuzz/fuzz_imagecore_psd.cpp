// Fuzz entry point of the PSD/PSB reader over the input in memory: getPsdInfo and psd_profile,
// then, in both layouts, the pixel-data check and load_psd with both channel orders.
#include <cstdint>
#include <vector>

#include "fuzz/memory_stream.h"
#include "imagecore/psd_reader.h"
#include "imagecore/records.h"
#include "platform/checked_size.h"

namespace {
// Decoded sizes a fuzz input may ask for; larger headers are probed and checked, not decoded.
constexpr size_t kMaxDecode = size_t(32) << 20;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzsupport::MemoryStream in(data, size);
    if (!in)
        return 0;
    int info[kImageInfosCount] = {};
    if (getPsdInfo(in.get(), info) < 1)
        return 0;
    std::vector<uint8_t> icc(size_t(info[kInfoIccLength]) + 1);
    psd_profile(in.get(), icc.data(), icc.size() - 1);
    psd_profile(in.get(), icc.data(), icc.size() / 2);

    const int bits = info[kInfoBits];
    const int depthBytes = bits == 32 ? 4 : bits / 8 > 0 ? bits / 8 : 1;
    auto bytes = platform::image_bytes(info[kInfoWidth], info[kInfoHeight], 4, depthBytes);
    for (int kind : {32, 64}) {
        info[kInfoPsdKind] = kind;
        const int present = psd_pixels_present(in.get(), info);
        if (!bytes || *bytes > kMaxDecode)
            continue;
        std::vector<uint16_t> dest(*bytes / 2 + 8);
        // The decoder checks the file as the check does: both agree on refusals.
        const int loaded = load_psd(kind == 64 ? 0 : 1, in.get(), info,
                                    kind == 64 ? 3 * info[kInfoWidth] + 1 : 0, dest.data());
        if (present < 0 && loaded != present)
            __builtin_trap();
    }
    return 0;
}
