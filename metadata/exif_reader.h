// The source metadata reader: EXIF, GPS, thumbnail, orientation, IPTC and XMP positions of a
// JPEG, TIFF or PSD photo, read from the file with the stream readers (the whole file is never
// loaded), and the copy of the IPTC block that the output files carry. The readers take a path
// or a stream open for reading bytes (a file, or bytes in memory from fmemopen); offsets count
// from the stream's start.
#pragma once

#include <cstdint>
#include <cstdio>

#include "metadata/exif_records.h"

// Reads the metadata of the file at path into info, which is reset to zero first. type: 0 TIFF,
// 1 JPEG, 2 PSD, anything else TIFF. Tag offsets count from the TIFF header (file start for
// TIFF, after "Exif\0\0" in the JPEG APP1, the start of resource 1058 in a PSD); the thumbnail
// and IPTC offsets stored are absolute file offsets except the IPTC and XMP offsets of TIFF
// tags 33723 and 700, which are kept as stored; info->iptcBase and info->xmpBase give the
// position each offset counts from (the TIFF header's, or 0 for an absolute offset). Counts and
// lengths read from the file are clamped to the bytes the file holds past their data; data that
// lies outside the file is not read. The IPTC length is that of the whole records
// (iptc_records_length) inside what holds the block: the tag's data, within the JPEG segment or
// PSD resource that holds the EXIF; the IPTC resource's size, within its Photoshop resources
// (an APP13 segment's, a TIFF tag's). A block without a whole record is not recorded. A JPEG's
// XMP position is kept only for a packet of this system (metadata::recorded_method, any
// method); its aux:Lens text goes to info->lens in any case. Returns 1 when the metadata was
// read;
//   -1 the file cannot be opened, a JPEG without FF D8, a marker walk that meets too many FF
//      padding bytes, a segment length below 2 or the end of the file, PSD read failures
//      (short header, bad resource signature, resource walk past the resources' length);
//   -2 end of image or start of scan before the first APP1, a PSD without "8BPS", a byte order
//      other than "II" / "MM";
//   -3 a PSD with fewer than 3 channels or not in RGB mode, a TIFF magic other than 42, a null
//      path or info;
//   -4 out of memory;
//   -10 in the JPEG second pass (IPTC search), a byte other than FF where a marker is expected.
// On failure info holds what was read before it.
int getExifData(const char *path, int type, ExifInfo *info);
// The same over a stream: -1 for a null stream.
int getExifData(FILE *f, int type, ExifInfo *info);

// Copies the IPTC block of `length` bytes at file offset `offset` into buffer (caller-owned,
// at least length bytes; callers pass a zero-filled buffer of length + 1). Returns the length
// of the whole records at its start (iptc_records_length): the part to carry on, length itself
// for a sound block; 0 when length <= 0, offset < 0 or the block runs past the end of the
// file; -1 when the file cannot be opened, positioned or read in full; -2 when the block does
// not start with a whole record; -3 when path or buffer is null.
int read_iptc(const char *path, int length, int offset, uint8_t *buffer);
// The same over a stream: -1 for a null stream.
int read_iptc(FILE *f, int length, int offset, uint8_t *buffer);

// Scans `length` bytes of Photoshop image resources from the current position of f for the
// IPTC-NAA (1028) and thumbnail (1036) resources and stores their absolute positions and
// lengths in info (a later resource of the same id wins; an IPTC resource without a whole
// record is passed over). length is clamped to the bytes left in the file. Returns the last
// thumbnail length found, 1 when there is none, -4 when the bytes cannot be buffered, -3 when f
// or info is null.
int parse_photoshop_data(FILE *f, int64_t length, ExifInfo *info);
