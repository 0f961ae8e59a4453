// The small integer records that travel between the probes, the job objects and the writers.
// Each is 13 signed 32-bit integers, zero-filled by its owner; the enums name the slots.
#pragma once

#include <cstdint>

#include "platform/data.h"

// imageInfos: filled by one header probe (TIFF, PSD/PSB or JPEG); a probe writes only the slots
// it knows. Slot meanings per probe:
//   slot  TIFF                  PSD/PSB                         JPEG
//   0     ImageWidth            width                           width
//   1     ImageLength           height                          height
//   2     BitsPerSample (1st)   bits per channel                output components
//   3     SamplesPerPixel       channel count                   8
//   4     XResolution (int)     horizontal resolution (int)     X density
//   5     StripOffsets          vertical resolution (int)       Y density
//   6     ICC profile length    ICC profile length              ICC profile length
//   7     RowsPerStrip          offset of layer-and-mask        -
//   8     StripByteCounts       offset of the EXIF data         -
//   9     PlanarConfiguration   -                               -
//   10    Orientation           32 (PSD) or 64 (PSB)            -
//   11    Compression           -                               -
inline constexpr int kImageInfosCount = 13;
enum ImageInfosSlot : int {
    kInfoWidth = 0,
    kInfoHeight = 1,
    kInfoBits = 2,
    kInfoSamples = 3,
    kInfoXRes = 4,
    kInfoStripOffsets = 5,
    kInfoYRes = 5,
    kInfoIccLength = 6,
    kInfoRowsPerStrip = 7,
    kInfoLayerOffset = 7,
    kInfoStripByteCounts = 8,
    kInfoExifOffset = 8,
    kInfoPlanar = 9,
    kInfoOrientation = 10,
    kInfoPsdKind = 10,
    kInfoCompression = 11,
};

// imageDimsData: built for every job object; carried as a 52-byte data object.
inline constexpr int kImageDimsCount = 13;
enum ImageDimsSlot : int {
    kDimsWidth = 0,
    kDimsHeight = 1,
    kDimsSamples = 2,
    kDimsBits = 3,    // bits per sample of the working data
    kDimsOutBits = 4, // bits per sample of the output
    kDimsDpi = 5,
    kDimsIccLength = 6,
    kDimsIs16to8 = 7,
    kDimsIptcLength = 8,
    kDimsOrientation = 10,
};

// The image an imageDimsData object describes. An object shorter than the record fills what it
// holds (nothing is read past its end); the rest, and everything of a nil object, reads as 0.
struct ImageDims {
    int32_t width = 0, height = 0, samples = 0, bits = 0, outBits = 0;
};
inline ImageDims image_dims_from(const platform::DataPtr &dims)
{
    int32_t rec[kImageDimsCount] = {};
    if (dims)
        dims->getBytes(rec, sizeof rec);
    return {rec[kDimsWidth], rec[kDimsHeight], rec[kDimsSamples], rec[kDimsBits],
            rec[kDimsOutBits]};
}

// saveInfo: what the save job hands to the JPEG and TIFF writers.
inline constexpr int kSaveInfoCount = 13;
enum SaveInfoSlot : int {
    kSaveWidth = 0,
    kSaveHeight = 1,
    kSaveSamples = 2,
    kSaveBits = 3, // bits per sample written
    kSaveXDpi = 4,
    kSaveYDpi = 5,
    kSaveIccLength = 6,
    kSaveIs16to8 = 7,
    kSaveOrientation = 10,
};
