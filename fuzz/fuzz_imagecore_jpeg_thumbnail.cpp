// Fuzz entry point of the embedded-thumbnail decoder: header mode, then a full decode into a
// buffer of the size the header gave (when that size is a thumbnail's, not a photo's).
#include <climits>
#include <cstdint>
#include <vector>

#include "imagecore/jpeg_readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > size_t(INT_MAX))
        return 0;
    int w = 0, h = 0, c = 0;
    if (kvread_jpg_thumbnail(data, int(size), 1, &w, &h, &c, nullptr) < 1)
        return 0;
    const size_t bytes = size_t(w) * size_t(h) * size_t(c);
    if (bytes == 0 || bytes > (size_t(16) << 20))
        return 0;
    std::vector<uint8_t> out(bytes);
    kvread_jpg_thumbnail(data, int(size), 0, nullptr, nullptr, nullptr, out.data());
    return 0;
}
