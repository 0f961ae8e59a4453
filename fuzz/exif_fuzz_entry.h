// The body shared by the source metadata reader's fuzz entry points, one per file type:
// getExifData, the record conversion, and read_iptc over the IPTC block it located.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/temp_input.h"
#include "metadata/exif_reader.h"
#include "metadata/exif_records.h"

namespace fuzzsupport {

// type: getExifData's file type (1 JPEG, 2 PSD, 0 TIFF).
inline int fuzz_exif_reader(const uint8_t *data, size_t size, int type)
{
    TempInput in(data, size);
    if (!in.ok())
        return 0;
    ExifInfo info;
    getExifData(in.path(), type, &info);
    // Texts stay terminated whatever the file holds.
    if (info.model[63] != 0 || info.dateTime[19] != 0 || info.lens[63] != 0 ||
        info.gpsDate[10] != 0)
        __builtin_trap();
    int32_t exifBuf[kExifBufCount] = {};
    int32_t gpsBuf[kGpsBufCount] = {};
    metadataBufFromExifInfo(&info, exifBuf, gpsBuf);
    // The located block lies inside the file, so its length is bounded by the input's.
    if (info.iptcLength > 0 && size_t(info.iptcLength) <= size) {
        std::vector<uint8_t> block(size_t(info.iptcLength) + 1, 0);
        read_iptc(in.path(), info.iptcLength, info.iptcOffset, block.data());
    }
    return 0;
}

} // namespace fuzzsupport
