// Fuzz entry point of the compact EXIF reader: getImageExif as a TIFF file, as a JPEG and with
// IFD0 alone, the conversion of each record, then parsePhotoshopData and parseExif (both byte
// orders) from the start of the input.
#include <cstdint>
#include <cstdio>

#include "fuzz/memory_file.h"
#include "imagecore/byte_order.h"
#include "metadata/compact_exif.h"
#include "metadata/exif_records.h"
#include "platform/file_holder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static fuzzsupport::MemoryFile file;
    const char *path = file.write(data, size, "tif");
    if (!path)
        return 0;
    for (int type : {0, 1, 5}) {
        CompactExifInfo info{};
        getImageExif(path, type, &info);
        // Texts stay terminated, and a thumbnail lies inside the file.
        if (info.model[63] != 0 || info.dateTime[19] != 0 || info.thumbLength < 0 ||
            uint64_t(info.thumbOffset) + uint64_t(info.thumbLength) > size)
            __builtin_trap();
        int32_t exifBuf[kExifBufCount] = {};
        bufFromExifInfo(&info, exifBuf);
    }
    platform::FilePtr f = platform::open_file(path, "rb");
    if (!f)
        return 0;
    CompactExifInfo info{};
    parsePhotoshopData(f.get(), int64_t(size), &info);
    for (uint16_t order : {imagecore::kOrderII, imagecore::kOrderMM}) {
        if (std::fseek(f.get(), 0, SEEK_SET) == 0)
            parseExif(f.get(), 0, &info, order);
    }
    return 0;
}
