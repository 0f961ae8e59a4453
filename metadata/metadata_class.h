// Relative exposures of a bracketed series (deltaT, from each photo's exifBuf), the test for
// usable exposure data, and an in-memory EXIF reader that builds an exifBuf from the bytes of a
// JPEG file or of a block that starts with a TIFF header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/data.h"

// Parse state of one in-memory EXIF read. Each getMetaData call owns a fresh one, so reads on
// different threads never share it.
struct MetaDataParseState {
    float shutter = 0; // exposure time from ShutterSpeedValue
    int32_t numExposure = 0, denExposure = 0;
    int32_t numAperture = 0, denAperture = 0;
    int32_t iso = 0;
    int32_t camera = 0; // always 0
    int32_t numFocal = 0, denFocal = 0;
    int32_t focal35 = 0;
    int32_t numFPX = 0, denFPX = 0;
    int32_t fpUnit = 0;
    int32_t thumb_offset = 0, thumb_datalen = 0;
    char model[64] = {};
    char date_time[20] = {};
};

class MetaData {
public:
    // deltaT: one float per record of exifBufs (each a 240-byte exifBuf; a shorter or null
    // object reads as zero-filled past its bytes), in order, proportional to the light the
    // photo collected: t x ISO x 20.64516 / N^2 with f/8 and ISO 100 taken when absent, or
    // 2^(slot 4 / 1000) when the record has no exposure time at all (slots 0 and 1 both 0).
    // Returns a new data object of 4 x count bytes; null when memory runs out.
    platform::DataPtr getEV(const platform::DataArray &exifBufs) const;

    // 0 when slot 0 or slot 1 of the record is 0 (no exposure time), 2 when slot 6 is 2 (the
    // exposure came from the ImageDescription text), else 1. A null object reads as zeros.
    int scanExif(const platform::DataPtr &exifBuf) const;

    // Builds a new 240-byte exifBuf from data: a whole JPEG stream (its first APP1 EXIF block)
    // or a block starting with "II" / "MM". Slots: 0..3 exposure and f-number pairs, 5 ISO,
    // 10..15 focal data, 16/17 the thumbnail's offset inside data and its length, 23..38 model,
    // 39..43 date-time; every other slot 0. Data it cannot read leaves slots at 0. Returns null
    // only when memory runs out or data is null.
    platform::DataPtr getMetaData(const platform::DataPtr &data) const;

    // Reads cntDir 12-byte entries at base + dirOffset + 2 (ordre 1: "MM" data, 0: "II") into
    // state. base holds length bytes; an entry or a tag's data that does not lie inside them is
    // not read. Returns the value of tag 34665 (the Exif IFD offset) when the directory has
    // it, else 0.
    int64_t getExifTags(int64_t dirOffset, const uint8_t *base, size_t length, int cntDir,
                        int ordre, MetaDataParseState &state) const;
};

// A simpler exposure measure of one exifBuf (60 int32): t = slot 0 / slot 1, times
// slot 5 / (slot 2 / slot 3)^2 when those three slots are all above 0. Writes it to *result
// (0 when slot 1 is 0) and returns 1 when it is above 0, else 0 (also for null pointers, when
// nothing is written).
int relativeEVfromExifBuf(const int32_t *exifBuf, float *result);
