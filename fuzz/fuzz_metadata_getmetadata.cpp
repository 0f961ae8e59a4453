// Fuzz entry point of the in-memory EXIF reader: getMetaData over the input, then the relative
// exposure and the exposure test over the record it built.
#include <cstdint>

#include "metadata/exif_records.h"
#include "metadata/metadata_class.h"
#include "platform/data.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    MetaData m;
    platform::DataPtr rec = m.getMetaData(platform::Data::copy(data, size));
    if (!rec || rec->length() != size_t(kExifBufBytes))
        __builtin_trap();
    m.getEV({rec, rec});
    m.scanExif(rec);
    int32_t slots[kExifBufCount];
    rec->getBytes(slots, sizeof slots);
    float ev = 0;
    relativeEVfromExifBuf(slots, &ev);
    return 0;
}
