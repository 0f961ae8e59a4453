// Fuzz entry point for the bitmap decoder (TIFF and JPEG from memory).
#include <cstddef>
#include <cstdint>

#include "platform/bitmap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    auto bytes = platform::Data::copy(data, size);
    if (bytes)
        platform::BitmapImageRep::imageRepWithData(bytes);
    return 0;
}
