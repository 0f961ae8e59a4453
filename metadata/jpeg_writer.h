// The JPEG writer of the final image: a baseline JPEG through libjpeg with the first photo's
// metadata in marker segments ahead of the scan: EXIF/GPS block (APP1), IPTC block in a
// Photoshop image-resource segment (APP13), the settings packet (APP1 XMP) and the ICC profile
// in as many APP2 chunks as it needs.
#pragma once

#include <cstddef>
#include <cstdint>

// The largest ICC profile a JPEG carries: 255 APP2 chunks (the count is one byte) of 65519 bytes.
inline constexpr size_t kJpegMaxIccBytes = size_t(255) * 65519;
// The largest IPTC block one APP13 segment frames.
inline constexpr size_t kJpegMaxIptcBytes = 65506;

// Writes path (created or replaced) as SOI, JFIF APP0 (density unit dots per inch), the
// segments present, the frame, the scan and EOI.
//   quality   1..100 (libjpeg's scale; forced baseline)
//   saveInfo  13 int32 (imagecore/records.h): [0] width, [1] height, [2] samples per pixel
//             (1 grey, 3 RGB), [4]/[5] X/Y dots per inch (saturated to 0..65535), [6] ICC
//             profile length, [7] is16to8 (0 or 1), [10] EXIF orientation (outside 1..8: 1)
//   rowBytes  with is16to8 0: bytes from one row of 8-bit samples to the next (at least
//             width x spp); with is16to8 1: the row pitch in 16-bit samples (at least
//             width x spp), the high byte of each of a row's first width x spp samples being
//             written
//   profile   saveInfo[6] bytes, or null when [6] <= 0. A profile longer than kJpegMaxIccBytes
//             is left out.
//   exifBuf, gpsBuf  the first photo's records (null reads as empty); the lens is exifBuf
//             slots 44..59
//   iptcLen, iptc    the IPTC block carried unchanged; left out when its segment would pass the
//             JPEG segment limit (iptcLen above kJpegMaxIptcBytes)
//   tmMethod, tmParam  the method (0: no settings) and its 20 settings for the XMP packet;
//             tmParam may be null only when tmMethod < 1. The packet is written when tmMethod
//             >= 1 or the lens text is not empty.
//   pixels    interleaved rows, top to bottom; caller-owned.
// The caller owns every buffer. Returns the rows written (the height); -1 when the file cannot
// be created; -3 on a bad argument (null pixels or saveInfo, size below 1, samples per pixel
// other than 1 or 3, rowBytes below a row, a positive length with a null block; no file is
// made) or when libjpeg reports an error (the partial file stays); -4 when the 16-to-8 row
// buffer cannot be allocated (no file is made). A segment whose buffer cannot be allocated is
// left out. Prints nothing.
int KVwritejpg(const char *path, int quality, const int32_t *saveInfo, int rowBytes,
               const uint8_t *profile, const int32_t *exifBuf, const int32_t *gpsBuf, int iptcLen,
               const uint8_t *iptc, int tmMethod, const float *tmParam, const void *pixels);
