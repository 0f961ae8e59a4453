// Fuzz entry point of the driver's whole decode of one photo: the batch checks, probe and
// metadata (check_and_probe), then the memory check and the bitmap or PSD decode into the stack
// (decode_stack) under a small memory budget. The input becomes the photo through an in-memory
// file (memory_file.h), named by its leading bytes: "8BPS" a PSD, a TIFF byte order a TIFF,
// anything else a JPEG.
// Where the decode's allocations follow from the file's own bytes (a PSD: raw planes, or
// PackBits that expand at most 64 times), no allocation may pass what those bytes can give: a
// larger one means sizes from the header were allocated before the file was checked to hold
// them (a 40-byte header claiming 2000 x 2000 at 16 bits would allocate 24 MB). A TIFF is bound
// the same way by what its strips can expand to.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "app/road.h"
#include "fuzz/memory_file.h"

// The sanitizers' allocation hooks, when the program is built with one; absent otherwise.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void *,
                                                                            size_t),
                                                         void (*freeHook)(const volatile void *))
    __attribute__((weak));

namespace {

// What the job may hold: any photo whose stack, HDR image and result need more is refused.
constexpr uint64_t kMemoryBudget = uint64_t(64) << 20;

size_t g_largest = 0;
void on_malloc(const volatile void *, size_t size)
{
    if (size > g_largest)
        g_largest = size;
}
void on_free(const volatile void *) {}

bool starts_with(const uint8_t *data, size_t size, const char *magic, size_t n)
{
    return size >= n && std::memcmp(data, magic, n) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool hooked = __sanitizer_install_malloc_and_free_hooks &&
                               __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free) != 0;
    const bool psd = starts_with(data, size, "8BPS", 4);
    const bool tiff = starts_with(data, size, "II*\0", 4) || starts_with(data, size, "MM\0*", 4);
    static fuzzsupport::MemoryFile file;
    const char *path = file.write(data, size, psd ? "psd" : tiff ? "tif" : "jpg");
    if (!path)
        return 0;
    g_largest = 0;
    app::Document doc;
    if (!app::check_and_probe({path}, &doc))
        app::decode_stack(&doc, kMemoryBudget);
    // The PSD's own bytes bound its decode: the three planes read, in the bitmap or the stack,
    // come from raw bytes or from PackBits that expand at most 64 times; beyond that, room for
    // the readers' small buffers.
    if (hooked && psd && g_largest > 64 * size + (size_t(1) << 20))
        __builtin_trap();
    // A TIFF's strips hold its rows or could expand to them (4096 times at the most), a palette
    // triples them, and libtiff's own buffers answer to the file's length.
    const size_t tiffBound = std::max(3 * 4096 * size, (size_t(64) << 20) + 8 * size);
    if (hooked && tiff && g_largest > tiffBound + (size_t(1) << 20))
        __builtin_trap();
    return 0;
}
