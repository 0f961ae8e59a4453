// The TIFF writer of the final image: uncompressed little-endian TIFF, one strip at offset 8,
// IFD0 right after it in ascending tag order, then its data: resolution, camera model,
// orientation, ICC profile (RGB profiles only), settings packet, IPTC block and the Exif and
// GPS IFDs of the EXIF/GPS block.
#pragma once

#include <cstdint>

// Writes path (created or replaced).
//   pixels    interleaved rows, top to bottom, caller-owned
//   saveInfo  13 int32 (imagecore/records.h): [0] width, [1] height, [2] samples per pixel in
//             the buffer (1..4; a 2- or 4-sample buffer loses its last sample: 1 or 3 written),
//             [3] bits per sample (8 or 16; forced to 8 by is16to8), [4] dots per inch (both
//             resolutions), [6] ICC profile length, [7] is16to8, [10] EXIF orientation (outside
//             1..8: 1)
//   rowBytes  with is16to8 0: bytes from one row to the next (at least a buffer row); samples
//             of [3] / 8 bytes in host order. With is16to8 1: the buffer holds 16-bit samples
//             and rowBytes is the row pitch in samples (at least width x [2]); the high byte of
//             each sample is written.
//   profile   [6] bytes; kept when 1..20 bytes long or when its colour-space field reads "RGB"
//   exifBuf, gpsBuf  the first photo's records (null reads as empty)
//   iptcLen, iptc    IPTC block, stored zero-padded to a multiple of 4 bytes
//   tmMethod, tmParam  method (0: none) and its 20 settings for a new settings packet
//   xmpLen, xmp      an existing packet to carry (zero-terminated, xmpLen counting the zero) or
//             0 and null. The program's own packet (methods 1, 2, 10, 11) is carried as it is;
//             another one too unless tmMethod >= 1 asks for a new packet. Otherwise a new packet
//             is made when tmMethod >= 1 or the lens text (exifBuf slots 44..59) is not empty.
// As TIFF wants, values of 4 bytes or fewer sit in their entry's value field and every offset
// is even (odd-length data, including an odd strip, is followed by one zero byte); sides above
// 65535 are written as LONG, others as SHORT.
// Returns the rows written (the height); nothing is written or made before the arguments are
// checked and the IFD area built:
//   -1  path null or not creatable; the IFD area cannot be allocated; the file would pass
//       2^32 - 1 bytes (its offsets are 32-bit)
//   -2  the header cannot be written
//   -3  a row cannot be written; or a bad argument (null pixels or saveInfo, width or height
//       below 1, [2] outside 1..4, bits other than 8 or 16, rowBytes below a buffer row, a
//       positive length with a null profile, IPTC block or packet, tmMethod >= 1 with a null
//       tmParam)
//   -4  the row buffer cannot be allocated
//   -12 the IFD area cannot be written or the file cannot be completed (close fails)
// A partial file stays on disk. Prints nothing.
int buf2tif(const void *pixels, const int32_t *saveInfo, int rowBytes, const uint8_t *profile,
            const int32_t *exifBuf, const int32_t *gpsBuf, int iptcLen, const uint8_t *iptc,
            int tmMethod, const float *tmParam, int xmpLen, const char *xmp, const char *path);
