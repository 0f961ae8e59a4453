// The EXIF/GPS block both output writers carry: a small little-endian TIFF structure (IFD0 with
// model, orientation and the Exif and GPS pointers, then the Exif IFD and the GPS IFD, each
// followed by its data) made from the first photo's exifBuf and gpsBuf records.
// As TIFF wants, texts of four bytes or fewer (terminator included) sit in the entry's value
// field, longer ones in the data area, and every offset is even: odd-length data is followed by
// one zero byte (the GPS date stamp, always last, is not).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Decides which entries the block holds. exifBuf (60 int32) and gpsBuf (24 int32) are the
// records of one photo; a null record reads as a zero-filled one. Out:
//   exifCount    present Exif entries (ExposureTime, FNumber, ISOSpeedRatings,
//                DateTimeOriginal, FocalLength)
//   exifDataLen  their data-area bytes: 8 per RATIONAL, the date's count when it is above 4,
//                rounded up to even
//   gpsCount     present GPS entries plus VersionID when there is any
//   gpsDataLen   24 per 3-RATIONAL, 8 for the altitude, 11 for the date stamp
//   modelLen, datetimeLen, lensLen  text counts (length + 1, 0 for an empty text): model and
//                lens at most 65, date at most 21
//   gpsDateLen   11 or 0
// Returns exifCount + gpsCount; -3 when an out pointer is null.
int get_exif_count(const int32_t *exifBuf, int *exifCount, int *exifDataLen, const int32_t *gpsBuf,
                   int *gpsCount, int *gpsDataLen, int *modelLen, int *datetimeLen, int *gpsDateLen,
                   int *lensLen);

// Lays the block out into out, which the caller zero-fills and sizes from the counts
// (14 + 12 x (k + 1) + model data + Exif part + GPS part, k the number of Model, Exif and GPS
// entries of IFD0, the model data being 0 for a count of 4 or less, else the count rounded up
// to even; the value this function returns). The counts must be those get_exif_count
// gives for the same records. orientation outside 1..8 is written as 1.
// Returns the block length; -1 (nothing written) when there is no model, no Exif entry and no
// GPS entry; -3 when out is null or the counts do not match the records.
int write_exif_buf(int exifCount, int exifDataLen, int gpsCount, int gpsDataLen, int modelLen,
                   int datetimeLen, int gpsDateLen, int orientation, const int32_t *exifBuf,
                   const int32_t *gpsBuf, uint8_t *out);

namespace metadata {

// The counts of get_exif_count, for the TIFF writer, which writes the same Exif and GPS IFDs
// into its own file.
struct ExifCounts {
    int exifCount = 0, exifDataLen = 0;
    int gpsCount = 0, gpsDataLen = 0;
    int modelLen = 0, datetimeLen = 0, gpsDateLen = 0, lensLen = 0;
    bool operator==(const ExifCounts &) const = default;
};
ExifCounts exif_counts(const int32_t *exifBuf, const int32_t *gpsBuf);

// A text of count bytes (terminator included) fits the 4-byte value field of its entry.
inline bool text_in_value_field(int count)
{
    return count <= 4;
}
// Bytes a data block of n bytes takes in a data area: n, and one zero byte when n is odd.
inline size_t word_aligned(size_t n)
{
    return n + (n & 1);
}

// Bytes of the Exif and GPS parts (IFD and data; 0 when the IFD has no entry).
size_t exif_part_size(const ExifCounts &c);
size_t gps_part_size(const ExifCounts &c);

// Write the Exif or GPS IFD and its data at out, which lies at file offset base; out holds
// the part's size in zero-filled bytes. Offsets are from the start of the file (or block).
void write_exif_ifd(const int32_t *exifBuf, const ExifCounts &c, uint8_t *out, uint32_t base);
void write_gps_ifd(const int32_t *gpsBuf, const ExifCounts &c, uint8_t *out, uint32_t base);

// One 12-byte IFD entry at p: tag, type, count and the value or offset (little-endian).
void put_ifd_entry(uint8_t *p, uint16_t tag, uint16_t type, uint32_t count, uint32_t value);

// The settings packet both writers embed: embed_xmp for tmMethod (with its wrapper), tmParam
// and the lens text of exifBuf slots 44..59 when it is not empty. Empty when neither a method
// (tmMethod >= 1) nor a lens asks for one, or when the packet cannot be made (out of memory,
// null tmParam for a method with settings). May throw std::bad_alloc.
std::vector<uint8_t> settings_packet(int tmMethod, const float *tmParam, const int32_t *exifBuf);

} // namespace metadata
