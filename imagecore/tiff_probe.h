// Header probe of TIFF source files: the imageInfos slots (records.h), the embedded ICC profile
// (tag 34675) and arrays of 32-bit values at a file offset. Each call reads the byte order from
// its own file's header; nothing is kept between calls. The pixels are decoded elsewhere.
// Each reader takes a path or a stream open for reading bytes (a file, or bytes in memory from
// fmemopen); offsets count from the stream's start and its position is left anywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Fills the TIFF slots of imageInfos (13 ints, zero-filled by the caller): [0] ImageWidth,
// [1] ImageLength, [2] BitsPerSample (first value), [3] SamplesPerPixel, [4] XResolution
// (integer part), [5] StripOffsets, [6] ICC profile length, [7] RowsPerStrip,
// [8] StripByteCounts, [9] PlanarConfiguration, [10] Orientation, [11] Compression. Each slot
// takes the first non-zero value met walking the directory chain from IFD0; [6] is written only
// when the profile's bytes lie inside the file. A directory that cannot be read ends the walk
// and the slots found so far stay.
// Returns 2 for a little-endian ("II") file, 1 for a big-endian ("MM") one, -1 when the file
// cannot be opened, -2 when it does not start with "II" or "MM", -3 when the magic is not 42.
int getTiffInfo(const char *path, int *imageInfos);
int getTiffInfo(FILE *f, int *imageInfos);

// Copies the ICC profile of the first tag 34675 met in the directory chain into dest, which
// holds capacity bytes. Returns the number of bytes copied; 0 when there is no such tag or the
// file does not start with "II" or "MM"; -1 when the file cannot be opened; -2 when the profile's
// bytes do not lie inside the file; -3 when the magic is not 42 or the profile is longer than
// capacity (nothing is copied then).
int tif_profile(const char *path, uint8_t *dest, size_t capacity);
int tif_profile(FILE *f, uint8_t *dest, size_t capacity);

// With count 1 or less, stores offset itself in out[0] (the value field held the value) and
// returns 1 without opening the file. Otherwise reads count 32-bit values at file offset
// `offset`, in the byte order of the file's own header ("II" little-endian, anything else
// big-endian), into out (count ints) and returns count. Returns -1 when the file cannot be
// opened, -2 when the values do not lie inside the file (out untouched).
int arr_from_tiffOffset(const char *path, int count, int offset, int *out);
int arr_from_tiffOffset(FILE *f, int count, int offset, int *out);
