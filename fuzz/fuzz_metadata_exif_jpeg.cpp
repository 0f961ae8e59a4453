// Fuzz entry point of the source metadata reader on the JPEG path: getExifData, the record
// conversion, and read_iptc over the IPTC block it located.
#include <cstdint>
#include <vector>

#include "fuzz/temp_input.h"
#include "metadata/exif_reader.h"
#include "metadata/exif_records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzsupport::TempInput in(data, size);
    if (!in.ok())
        return 0;
    ExifInfo info;
    getExifData(in.path(), 1, &info);
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
