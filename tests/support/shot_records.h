// The records the project's JPEG writer takes for a generated photo taken as a camera would:
// its exposure in EXIF and its size in saveInfo. Header only: the programs that write the photo
// link the metadata module, the test support does not.
#pragma once

#include <cstdint>

#include "imagecore/records.h"
#include "metadata/exif_records.h"

namespace testsupport {

struct ShotRecords {
    int32_t exif[kExifBufCount] = {};
    int32_t gps[kGpsBufCount] = {};
    int32_t info[kSaveInfoCount] = {};
};

// An 8-bit RGB photo of w x h at dpi, orientation 1, exposed 1/den s at f/8, ISO 100 (den 0: no
// exposure data).
inline ShotRecords shot_records(int w, int h, int den, int dpi)
{
    ShotRecords r;
    if (den > 0) {
        r.exif[kExifExposureNum] = 1;
        r.exif[kExifExposureDen] = den;
        r.exif[kExifFNumberNum] = 8;
        r.exif[kExifFNumberDen] = 1;
        r.exif[kExifIso] = 100;
    }
    r.info[kSaveWidth] = w;
    r.info[kSaveHeight] = h;
    r.info[kSaveSamples] = 3;
    r.info[kSaveBits] = 8;
    r.info[kSaveXDpi] = r.info[kSaveYDpi] = dpi;
    r.info[kSaveOrientation] = 1;
    return r;
}

} // namespace testsupport
