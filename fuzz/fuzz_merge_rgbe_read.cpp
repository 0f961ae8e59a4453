// Fuzz entry point of the Radiance full read: the metadata scan, kv_io_read_rgbe at the size the
// resolution line gives (and at a wrong one), and the marker replacement.
#include <cstdint>
#include <vector>

#include "fuzz/memory_file.h"
#include "fuzz/rgbe_fuzz_entry.h"
#include "merge/rgbe_io.h"
#include "metadata/exif_records.h"
#include "platform/checked_size.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static fuzzsupport::MemoryFile file;
    const char *path = file.write(data, size, "hdr");
    if (!path)
        return 0;
    int32_t exif[kExifBufCount] = {};
    extract_rgbe_exif(path, exif);
    int w = 0, h = 0;
    if (!fuzzsupport::rgbe_fuzz_dims(path, w, h))
        return 0;
    auto bytes = platform::image_bytes(w, h, 4, 1);
    if (!bytes || *bytes > fuzzsupport::kMaxRgbeDecode)
        return 0;
    std::vector<uint8_t> out(*bytes);
    if (kv_io_read_rgbe(w, h, path, out.data()) > h)
        __builtin_trap();
    kv_io_read_rgbe(w > 1 ? w - 1 : w, h, path, out.data());
    const float minima[2] = {0.5f, 0.0f}, maxima[2] = {1.0f, 1e30f};
    replaceOutliersWithMinMax(2, minima, maxima, path, w, h, out.data());
    return 0;
}
