// Fuzz entry point of the row-streaming TIFF merge: the input as both photos of a bracket,
// merged with exposures from the metadata and from a spacing, the result into /dev/null.
#include <cstdint>

#include "fuzz/memory_file.h"
#include "merge/manip_merge.h"
#include "metadata/exif_records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static fuzzsupport::MemoryFile file;
    const char *path = file.write(data, size, "tif");
    if (!path)
        return 0;
    int32_t rec[kExifBufCount] = {};
    rec[kExifExposureNum] = 1;
    rec[kExifExposureDen] = 100;
    const platform::DataPtr exif = platform::Data::copy(rec, sizeof rec);
    const platform::StringArray paths = {path, path};
    const int courbe = size ? data[size - 1] % 3 : 0;
    for (float ev : {0.0f, 1.5f})
        ManipMerge().hdrTileProcess(paths, {exif, exif}, ev, courbe, 0, 2, "/dev/null");
    return 0;
}
