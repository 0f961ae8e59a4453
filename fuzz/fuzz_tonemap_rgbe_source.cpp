// Fuzz entry point of the local operator's own Radiance reader: the header scan for size and
// primaries, then the pixels at the size it gives (and at a wrong one).
#include <cstdint>
#include <vector>

#include "fuzz/memory_file.h"
#include "fuzz/rgbe_fuzz_entry.h"
#include "platform/checked_size.h"
#include "tonemap/rgbe_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static fuzzsupport::MemoryFile file;
    const char *path = file.write(data, size, "hdr");
    if (!path)
        return 0;
    float primaries[8];
    int info[7] = {};
    if (rgbe_dim2(path, primaries, info) < 0)
        return 0;
    auto bytes = platform::image_bytes(info[0], info[1], 4, 1);
    if (!bytes || *bytes > fuzzsupport::kMaxRgbeDecode)
        return 0;
    std::vector<uint8_t> out(*bytes);
    if (decomp2(path, info, out.data()) > info[1])
        __builtin_trap();
    const int narrower[3] = {info[0] > 1 ? info[0] - 1 : 1, info[1], 0};
    decomp2(path, narrower, out.data());
    return 0;
}
