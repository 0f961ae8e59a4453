// Pieces of the source metadata reader and of the record conversion that the compact EXIF layer
// shares: the Exif IFD parse, the text of an ASCII entry and the Photoshop resources, all read
// from a file with every position checked against its length, and the exifBuf slots both
// conversions fill.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "imagecore/tiff_ifd.h"
#include "metadata/exif_records.h"

namespace metadata::detail {

// Parses the Exif IFD at offset ifd of the TIFF structure t (a file's; offsets count from its
// base) into info: exposure time, f-number, ISO, capture date-time, focal data, with the
// ShutterSpeedValue and ApertureValue fallbacks. Fields whose tags are absent keep their values.
void parse_exif_ifd(const imagecore::TiffBytes &t, uint32_t ifd, ExifInfo *info);

// Copies the text of an ASCII entry of t into dst (capacity bytes, cleared first): at most
// maxChars characters, cut at the end of the data and after a newline, NUL-terminated. A text
// of 4 bytes or fewer lies in the value field. Nothing is written when no character can be
// read.
void read_entry_text(const imagecore::TiffBytes &t, const imagecore::TiffEntry &e, int64_t maxChars,
                     char *dst, size_t capacity);

// A Photoshop image-resource block read whole from the current position of a file: the bytes
// asked for, cut at the end of the file.
struct PhotoshopBlock {
    int64_t start = 0;      // file offset of its first byte
    int64_t fileLength = 0; // bytes of the whole file
    std::vector<uint8_t> bytes;
};
// Reads length bytes (none when below 1) from the current position of f into block. Returns 0;
// 1 when the position or the file's length cannot be told; -4 when the bytes cannot be
// buffered.
int read_photoshop_block(FILE *f, int64_t length, PhotoshopBlock &block);

// The thumbnail resource (1036) of a Photoshop image-resource block.
struct PhotoshopThumb {
    int32_t width = 0, height = 0, rowBytes = 0;
    int32_t length = 0; // the compressed size, cut to the bytes the file holds after offset
    int32_t offset = 0; // absolute file offset of the JPEG data
};
// Reads the thumbnail fields of the resource whose "8BIM" signature is at file offset at, in a
// file of fileLength bytes. false when they do not lie inside the file or the offset passes
// the int32 range.
bool read_photoshop_thumb(FILE *f, int64_t fileLength, int64_t at, PhotoshopThumb &thumb);
// Stores the thumbnail into a record that has its fields (ExifInfo, CompactExifInfo); returns
// its length.
template <class Record> int32_t store_thumb(const PhotoshopThumb &t, Record &r)
{
    r.thumbWidth = t.width;
    r.thumbHeight = t.height;
    r.thumbRowBytes = t.rowBytes;
    r.thumbLength = t.length;
    r.thumbOffset = t.offset;
    return t.length;
}

// Fills the exifBuf slots (60 int32) that the compact record has too: exposure time, f-number,
// focal length and focal-plane X resolution as rationals at the given scale (rational_from_float),
// ISO, source flag, 35-mm focal length, resolution unit, thumbnail offset and length, and the
// model and date-time texts. Other slots keep their values.
void fill_common_slots(const ExifInfo *info, int32_t *exifBuf, int32_t scale);

} // namespace metadata::detail
