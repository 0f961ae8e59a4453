// The body shared by the source metadata reader's fuzz entry points, one per file type, over the
// input in memory: getExifData, the record conversion, and read_iptc over the IPTC block it
// located (its offset resolved from the base it counts from).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/memory_stream.h"
#include "metadata/exif_reader.h"
#include "metadata/exif_records.h"

namespace fuzzsupport {

// type: getExifData's file type (1 JPEG, 2 PSD, 0 TIFF).
inline int fuzz_exif_reader(const uint8_t *data, size_t size, int type)
{
    MemoryStream in(data, size);
    if (!in)
        return 0;
    ExifInfo info;
    getExifData(in.get(), type, &info);
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
        const int64_t at = int64_t(info.iptcBase) + info.iptcOffset;
        // It holds whole records only, so it is read back whole.
        if (at <= int64_t(size) &&
            read_iptc(in.get(), info.iptcLength, int(at), block.data()) != info.iptcLength)
            __builtin_trap();
    }
    return 0;
}

} // namespace fuzzsupport
