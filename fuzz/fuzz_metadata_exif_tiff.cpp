// Fuzz entry point of the source metadata reader on the TIFF path (exif_fuzz_entry.h).
#include <cstddef>
#include <cstdint>

#include "fuzz/exif_fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return fuzzsupport::fuzz_exif_reader(data, size, 0);
}
