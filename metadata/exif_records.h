// The per-photo metadata records: ExifInfo, filled by the source readers, and the fixed-size
// exifBuf (60 int32, 240 bytes) and gpsBuf (24 int32, 96 bytes) that travel with each photo.
#pragma once

#include <cstdint>

inline constexpr int kExifBufCount = 60;
inline constexpr int kExifBufBytes = kExifBufCount * 4;
inline constexpr int kGpsBufCount = 24;
inline constexpr int kGpsBufBytes = kGpsBufCount * 4;

// exifBuf slots.
enum ExifBufSlot : int {
    kExifExposureNum = 0,
    kExifExposureDen = 1,
    kExifFNumberNum = 2,
    kExifFNumberDen = 3,
    kExifExposureOffset = 4, // thousandths of a stop; read only when slots 0 and 1 are both 0
    kExifIso = 5,
    kExifSourceFlag = 6, // 0 EXIF tags, 2 the ImageDescription text
    kExifFocalNum = 10,
    kExifFocalDen = 11,
    kExifFocal35 = 12,
    kExifFocalPlaneXResNum = 13,
    kExifFocalPlaneXResDen = 14,
    kExifFocalPlaneUnit = 15,
    kExifThumbOffset = 16,
    kExifThumbLength = 17,
    kExifIptcOffset = 18,
    kExifIptcLength = 19,
    kExifOrientation = 20,
    kExifXmpOffset = 21,
    kExifXmpLength = 22,
    kExifModel = 23,    // 64 bytes of text, slots 23..38
    kExifDateTime = 39, // 20 bytes, slots 39..43
    kExifLens = 44,     // 64 bytes, slots 44..59
};

// gpsBuf: slots 0..5 latitude, 6..11 longitude, 12..13 altitude, 14..19 time stamp (each a
// numerator/denominator pair); bytes 80, 81, 82 the references; bytes 84..94 the date stamp.
enum GpsBufSlot : int {
    kGpsLatitude = 0,
    kGpsLongitude = 6,
    kGpsAltitude = 12,
    kGpsTimeStamp = 14,
};
inline constexpr int kGpsLatRefByte = 80;
inline constexpr int kGpsLonRefByte = 81;
inline constexpr int kGpsAltRefByte = 82;
inline constexpr int kGpsDateByte = 84;

struct ExifInfo {
    int32_t sourceFlag;     // 0 EXIF (or nothing found); 2 exposure from ImageDescription
    float exposureTime;     // seconds; 0 absent
    float fNumber;          // 0 absent
    int32_t iso;            // 0 absent
    float focalLength;      // mm; 0 absent
    int32_t focalLength35;  // mm as stored
    float focalPlaneXRes;   // pixels per unit; 0 absent
    int32_t focalPlaneUnit; // EXIF unit code as stored
    char model[64];         // NUL-terminated, at most 63 characters
    char dateTime[20];      // "YYYY:MM:DD hh:mm:ss"
    char lens[64];          // from the XMP packet
    int32_t thumbWidth, thumbHeight, thumbRowBytes; // Photoshop thumbnail resource only
    int32_t thumbLength;                            // bytes of the embedded JPEG thumbnail
    int32_t thumbOffset;                            // absolute file offset of its JPEG data
    int32_t orientation;                            // 1..8; 0 absent
    int32_t iptcLength, iptcOffset;                 // see iptcBase
    int32_t xmpLength, xmpOffset;                   // see xmpBase
    char latRef;                                    // 'N' or 'S'
    int32_t latitude[6];                            // degrees, minutes, seconds as pairs
    char lonRef;                                    // 'E' or 'W'
    int32_t longitude[6];
    char altRef; // 0 above sea level, 1 below
    int32_t altitude[2];
    int32_t gpsTime[6]; // hours, minutes, seconds as pairs
    char gpsDate[11];   // "YYYY:MM:DD"
    // The file positions iptcOffset and xmpOffset count from: the TIFF header's for the TIFF
    // tags (IPTC 33723, XMP 700), which keep their offsets as stored; 0 for the positions found
    // in Photoshop resources and JPEG segments, which are absolute. A reader of the block adds
    // the base.
    int32_t iptcBase, xmpBase;
};

// Sets every field of the record to zero.
void init_exifInfo(ExifInfo *info);

// Partial reset: the numeric fields ahead of the model text (source flag to focal-plane unit)
// and lens bytes 2..21 become zero; every other field keeps its value. Returns 0; -3 for null.
int initExifInfo(ExifInfo *info);

// Fills exifBuf (60 int32) and gpsBuf (24 int32) from the record; slots it does not set keep
// their values (callers start from zero-filled records). Returns exifBuf slot 0, the exposure
// numerator (0 when absent).
int metadataBufFromExifInfo(const ExifInfo *info, int32_t *exifBuf, int32_t *gpsBuf);

// Scales of the rational encoding: the exifBuf's, and the compact record's finer one.
inline constexpr int32_t kRationalScale = 100;
inline constexpr int32_t kCompactRationalScale = 100000;

// What the rational encoding does with a value whose numerator or denominator passes int32.
enum class RationalOverflow { kSaturate, kRefuse };

// The rational encoding of positive values at a scale (100 for exifBuf records): v >= 1 gives
// (v x scale, scale), 0 < v < 1 gives (scale, (1 / v) x scale), both truncated in double
// precision. A result past the int32 range is saturated, or refused when asked. Returns false
// (and writes nothing) for v <= 0, NaN or a refused value.
bool rational_from_float(float v, int32_t *num, int32_t *den, int32_t scale = 100,
                         RationalOverflow overflow = RationalOverflow::kSaturate);
