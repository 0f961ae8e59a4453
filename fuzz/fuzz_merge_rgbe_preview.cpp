// Fuzz entry point of the Radiance reduced read: kv_io_read_preview_rgbe at the size the
// resolution line gives, reduced to a tenth, to one pixel and to the full size.
#include <climits>
#include <cstdint>
#include <vector>

#include "fuzz/memory_file.h"
#include "fuzz/rgbe_fuzz_entry.h"
#include "merge/rgbe_io.h"
#include "platform/checked_size.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static fuzzsupport::MemoryFile file;
    const char *path = file.write(data, size, "hdr");
    if (!path)
        return 0;
    int w = 0, h = 0;
    if (!fuzzsupport::rgbe_fuzz_dims(path, w, h) || w < 1 || h < 1)
        return 0;
    const int wider = w < INT_MAX ? w + 1 : w; // refused: larger than the source
    const int sizes[][2] = {{1, 1}, {w / 10 + 1, h / 10 + 1}, {w, h}, {wider, h}};
    for (const auto &s : sizes) {
        auto bytes = platform::image_bytes(s[0], s[1], 4, 1);
        if (!bytes || *bytes > fuzzsupport::kMaxRgbeDecode)
            continue;
        std::vector<uint8_t> out(*bytes);
        if (kv_io_read_preview_rgbe(w, h, s[0], s[1], path, out.data()) > h)
            __builtin_trap();
    }
    return 0;
}
