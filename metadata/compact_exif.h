// The compact EXIF layer: a smaller record than ExifInfo (exposure data, camera model, capture
// date-time and the position of a Photoshop thumbnail; no lens, IPTC, XMP, orientation or GPS),
// its reader for TIFF files and for the EXIF block of JPEG files, and its conversion into an
// exifBuf at a finer rational scale. It runs the source metadata reader's own parsers.
#pragma once

#include <cstdint>
#include <cstdio>

// The fields mean what the same fields of ExifInfo mean. Callers hand it over zero-filled.
struct CompactExifInfo {
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
    int32_t thumbWidth, thumbHeight, thumbRowBytes; // Photoshop thumbnail resource
    int32_t thumbLength;                            // bytes of its JPEG data
    int32_t thumbOffset;                            // absolute file offset of its JPEG data
};

// Reads the file at path into info (fields the file does not give keep their values).
// type 1: a JPEG, whose first APP1 segment must hold the EXIF block; TIFF offsets then count
// from the byte after its "Exif\0\0". Any other type: a TIFF file, offsets from its start.
// Types 0 and 1 follow the directory chain from IFD0 (up to a zero offset, a directory already
// seen, 64 directories, or a directory of exactly 255 entries); other types read IFD0 alone.
// From the directories: Model (272, at most min(count, 64) - 1 characters), ImageDescription
// (270, parseImageDescription), Photoshop image resources (34377, parsePhotoshopData) and the
// Exif IFD (34665, parseExif). Counts are cut to the bytes the file holds.
// Returns 1 when the read completed (either byte order); -1 the file cannot be opened, or a
// JPEG without FF D8, with seven FF bytes where a marker is expected, with an end of image
// before any APP1, with a segment length below 2 or a segment past the end of the file; -2 a
// byte order other than "II" / "MM", or a JPEG whose first APP1 holds no EXIF block (or that
// reaches its scan without one); -3 a magic other than 42, or a null path or info; -4 out of
// memory. Prints nothing.
int getImageExif(const char *path, int type, CompactExifInfo *info);

// Parses the Exif IFD at the current position of f into info: ExposureTime, FNumber,
// ISOSpeedRatings, DateTimeOriginal, FocalLength, FocalPlaneXResolution and its unit,
// ExposureIndex, FocalLengthIn35mmFilm, with the ShutterSpeedValue and ApertureValue fallbacks.
// Values that are offsets are file offsets. order is the TIFF byte-order word of the file
// (0x4949 "II" reads little-endian, any other value big-endian). length is not used.
// Returns 1; -1 when the position or length of f cannot be told; -3 when f or info is null.
int parseExif(FILE *f, int64_t length, CompactExifInfo *info, uint16_t order);

// Looks in the `length` bytes of Photoshop image resources at the current position of f (cut
// at the end of the file) for the first thumbnail resource (1036) whose signature starts at
// least 27 bytes before the block's end, and stores its width, height, row bytes, JPEG length
// (cut to the bytes the file holds) and absolute JPEG offset in info. Returns the thumbnail length;
// 1 when the block is shorter than 27 bytes or holds no thumbnail; -3 when f or info is null; -4
// when the block cannot be buffered.
int parsePhotoshopData(FILE *f, int64_t length, CompactExifInfo *info);

// Fills exifBuf (60 int32) from the record: slots 0/1 exposure time, 2/3 f-number, 10/11 focal
// length and 13/14 focal-plane X resolution as rationals at scale 100000 (v >= 1 gives
// (v x 100000, 100000), 0 < v < 1 gives (100000, 100000 / v), truncated and saturated to the
// int32 range; a value at or below 0 leaves both slots), 5 ISO, 6 source flag, 12 35-mm focal
// length, 15 resolution unit, 16 thumbnail offset, 17 thumbnail length, 23..38 the model and
// 39..43 the date-time bytes. Other slots keep their values. Returns slot 0; -3 when a pointer
// is null (nothing written).
int bufFromExifInfo(const CompactExifInfo *info, int32_t *exifBuf);

// parse_image_description (metadata/image_description.h) over the compact record: reads
// `length` bytes of ImageDescription text at the current position of f and sets the exposure
// time, ISO and source flag as that function does. Returns what it returns.
int parseImageDescription(FILE *f, int64_t length, CompactExifInfo *info);
