// JPEG source readers on libjpeg: the header probe, the ICC profile reassembled from its APP2
// chunks, and the decoder of an embedded thumbnail held in memory. Each call owns its error
// manager and its source state (jpeg_error.h), so readers and writers may run on several threads
// at once. The pixels of whole photos are decoded elsewhere.
// The file readers take a path or a stream open for reading bytes (a file, or bytes in memory
// from fmemopen), read from its start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// What the library keeps beside the pixels while it decodes a JPEG file, in bytes.
struct JpegHeldBytes {
    // The coefficients of a progressive or multi-scan file, which it reads whole before the
    // first row: every block of every component (128 bytes a block, the rows and columns of
    // blocks rounded up to the sampling factors); 0 for a file of one sequential scan, which
    // goes a row of blocks at a time.
    int64_t coefficients = 0;
    // The APP2 segments (ICC profile chunks) it keeps from the header on, with their records.
    int64_t markers = 0;
};

// Probes a JPEG file into imageInfos (13 ints, zero-filled by the caller): [0] width,
// [1] height, [2] output components, [3] 8, [4] X density, [5] Y density (as the JFIF header
// states them, whatever the unit), [6] the total ICC profile length when the APP2 chunks give a
// complete profile (otherwise not written); and held, when not null.
// Returns 8; -1 when the file cannot be opened; -3 when the library reports an error (corrupt or
// truncated header, no image); -4 when it runs out of memory.
int infojpg(const char *path, int *imageInfos, JpegHeldBytes *held);
int infojpg(FILE *f, int *imageInfos, JpegHeldBytes *held);
int infojpg(const char *path, int *imageInfos);
int infojpg(FILE *f, int *imageInfos);

// Reassembles the ICC profile of a JPEG file into dest, which holds capacity bytes. Returns the
// profile's length; 0 when the file has no complete profile; -1 when it cannot be opened; -3 on
// a library error, or when the profile is longer than capacity (nothing copied); -4 when the
// library runs out of memory.
int jpg_profile(const char *path, uint8_t *dest, size_t capacity);
int jpg_profile(FILE *f, uint8_t *dest, size_t capacity);

// Decodes a JPEG held in memory (an embedded thumbnail): data holds length bytes.
// mode 1: stores the output width, height and components and returns the height.
// Any other mode: decodes every scanline into dest, rows of width x components bytes packed
// (dest holds width x height x components bytes as mode 1 reported them) and returns the bytes
// written; the three pointers are not used and may be null.
// Returns -3 on a library error (corrupt or truncated data) or a null or empty argument.
int kvread_jpg_thumbnail(const uint8_t *data, int length, int mode, int *width, int *height,
                         int *components, uint8_t *dest);
