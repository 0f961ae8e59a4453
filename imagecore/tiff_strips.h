// Readers of the pixel data of uncompressed TIFF files whose layout a probe has already found
// (strip offsets, rows per strip, byte order): one band of rows through the strip table, a whole
// image stored as one block of 16-bit samples, one bias-128 float sample; and the in-place flip
// or transpose of an image of 8-byte pixels. Byte orders are the probe's: 1 big-endian ("MM"),
// 2 little-endian ("II").
#pragma once

#include <cstdint>
#include <cstdio>

// Reads band `band` (bands of bandHeight rows) of an image of `height` rows cut into strips of
// rowsPerStrip rows, whose file offsets stripOffsets holds (ceil(height / rowsPerStrip) of them,
// read as unsigned), into out: rows of width x spp samples of bps bits, appended one after the
// other; 8 bits as bytes, 16 bits as host-order uint16_t assembled in the file's byte order.
// out holds `rows` rows. The strips read:
//   - one strip (rowsPerStrip == height): from row band x bandHeight, `rows` rows;
//   - strips taller than a band: the strip that holds row band x bandHeight, from that row, no
//     further than the strip's end;
//   - otherwise: rows / rowsPerStrip whole strips from strip band x (rows / rowsPerStrip) on.
// Rows past the image's end and strips past the table's end are not read.
// Returns the number of rows read from the last strip read; 0 when there is nothing to read;
// -1 when the file cannot be opened or rowsPerStrip is below 1; -n when the n-th row (counting
// from 1) of a strip cannot be read in full (out then holds what was read before it); -3 for a
// depth other than 8 and 16, a 16-bit byte order other than 1 and 2, a negative band, height or
// count, width or spp below 1, a row of more than INT_MAX bytes, or a null pointer.
int read_strip_tif(const char *path, int band, int bandHeight, int width, int rows, int spp,
                   int bps, int rowsPerStrip, int height, const int *stripOffsets, int order,
                   void *out);

// Reads height rows of width x spp 16-bit samples stored from file offset `offset` on, in byte
// order `order`, into out (host-order samples, rows packed).
// Returns height; 0 when height is not positive; -1 when the file cannot be opened; -n when row
// n (counting from 1) cannot be read in full (out holds the rows before it); -3 for a byte order
// other than 1 and 2, width or spp below 1, a negative offset, a row of more than INT_MAX bytes
// or a null pointer.
int load_tif(const char *path, int width, int height, int spp, int offset, int order,
             uint16_t *out);

// The next four bytes of f as a float of the bias-128 readers (half its IEEE 754 value; four
// zero bytes give 0), least significant byte first when order is 0x4949 ("II"), most
// significant first otherwise. 0 when fewer than four bytes are left (feof(f) then tells).
float readfloat(uint16_t order, FILE *f);

// Reorders the W x H pixels of 8 bytes each in buf in place: bit 0 of code mirrors the columns,
// bit 1 the rows, bit 2 transposes (the result is then H pixels wide and W high). Destination d
// takes the pixel at row x W + col, where (row, col) is (d mod H, d div H) with bit 2 and
// (d div W, d mod W) without, then mirrored as the bits ask. Nothing is done for a side below 1,
// a null buffer, a pixel count past the address range, or when the bookkeeping (W x H bits)
// cannot be allocated.
void kv_flip_image(int code, int W, int H, void *buf);
