// Radiance RGBE picture files (layout in imagecore/radiance.h) and rgbeBufs: the header's
// metadata into an exifBuf, a full read, a read reduced to a preview size while it decodes, a
// whole-image writer with a metadata header, a strip writer, and a read that replaces the merge's
// marker exponents. Files come from anywhere: every size is checked before it is used.
#pragma once

#include <cstdint>

// Scans the header of the file at path into exifBuf (60 int32, caller-owned, not cleared):
// [7] becomes -1, then "ICC_PROFILE=" text starting "sRGB", "Adobe RGB" or "ProPhoto RGB" sets it
// to 0, 1 or 2; "CAMERA=" gives the model text [23..38] and "CAPDATE=" the date text [39..43]
// (up to 64 and 20 characters before the line feed, zero-padded, no terminator at full length);
// "SHUTTER=", "APERTURE=" and "FOCAL_LENGTH=" give the rationals [0]/[1], [2]/[3] and [10]/[11] at
// scale 100000 (v >= 1: trunc(v x 100000) / 100000; 0 < v < 1: 100000 / trunc(100000 / v); a
// value of 0 or less, NaN, or one whose rational passes int32 leaves both slots); "ISO=" gives [5].
// Returns the index of the resolution line among the lines read (the number of header lines
// before it); 100 when none of the first 100 lines is the resolution line; -1 when the file
// cannot be opened or ends before the resolution line; -3 for a null pointer. exifBuf keeps what
// was stored before a failure.
int extract_rgbe_exif(const char *path, int32_t *exifBuf);

// Reads the file at path into out, an rgbeBuf of width x height (4 x width x height bytes,
// caller-owned); the resolution line, within the first 100 header lines, must give these
// dimensions. Returns height; 0 when height < 1 (nothing read); -1 the file cannot be opened, its
// header ends before the resolution line, a read comes short or the file ends inside the pixel
// data; -3 a null pointer, width < 1 or a byte count past size_t; -4 out of memory, or a
// run-length scanline that announces another width; -200 other dimensions, or no resolution
// line; -201 a scanline header whose third byte has its top bit set; -202 a packet whose count is
// 0 or that carries a component past the width. On failure out holds the rows decoded before.
int kv_io_read_rgbe(int width, int height, const char *path, uint8_t *out);

// Reads the file at path, of srcWidth x srcHeight, into out, an rgbeBuf of outWidth x outHeight
// (4 x outWidth x outHeight bytes, caller-owned), taking output row j from source row
// trunc(j x srcHeight / outHeight) and column i from trunc(i x srcWidth / outWidth) (quotients in
// single precision; nothing is averaged). Files under 16640 bytes are refused, and the header may
// hold size / 128 - 128 lines. Returns srcHeight; 0 when srcHeight < 1; -1 the file cannot be
// opened; -2 it cannot be measured, a header line cannot be read, or the first pixel bytes, a
// scanline header or a flat row come short; -3 unless 1 <= outWidth <= srcWidth and
// 1 <= outHeight <= srcHeight, a null pointer, or a file too small; -4 out of memory, or a
// scanline of another width; -5 the file ends inside run-length data; -200, -201, -202 as
// kv_io_read_rgbe.
int kv_io_read_preview_rgbe(int srcWidth, int srcHeight, int outWidth, int outHeight,
                            const char *path, uint8_t *out);

// Writes rgbe, an rgbeBuf of width x height, to a new file at path: the header "#?RADIANCE",
// metadata lines from exifBuf (60 int32, null for none) and iccName (a zero-terminated name of
// up to 32 bytes, null or empty for none; written when its first byte is 1 to 127), the
// generator, format and blank lines and the resolution line; then the rows, run-length coded
// when width is 8 to 32767, flat otherwise. Texts end at their first zero byte or line feed, the model at
// 64 bytes, the date at 20. Returns height; -1 the file cannot be created, or a header line, a
// scanline header or a coded component cannot be written (what was written stays); -2 a flat row
// cannot be written; -3 a null pointer, width or height below 1, or a byte count past size_t;
// -4 out of memory.
int kv_io_rgbe_write(const char *path, int width, int height, const int32_t *exifBuf,
                     const char *iccName, const uint8_t *rgbe);

// Writes strip `strip` of an image of width x height cut into strips of rowsPerStrip rows: strip
// 0 creates the file at path (replacing any earlier one) with a header of its own (no metadata
// lines), later strips append. rows holds the strip's rows of the rgbeBuf, first row first:
// rowsPerStrip of them, except that the last strip holds the rest. Callers write the strips in
// order 0, 1, 2, ... Returns the number of rows written; 0 for a strip past the image (the file
// untouched); -1, -2, -4 as kv_io_rgbe_write; -3 a null pointer, a negative strip index,
// rowsPerStrip, width or height below 1, or a byte count past size_t.
int kv_write_strip_rgbe(const char *path, int strip, int rowsPerStrip, int width, int height,
                        const uint8_t *rows);

// Reads the file at path into out (an rgbeBuf of width x height) with kv_io_read_rgbe, then
// turns every pixel with exponent byte 255 into grey at the largest of maxima[0..n-1] and every
// pixel with exponent byte 0 into grey at the smallest of minima[0..n-1] (n of 1 or less: the
// first elements); grey of 0 is (0, 0, 0, 128). Returns height; 0 when height < 1 (nothing
// read); -3 a null pointer; otherwise kv_io_read_rgbe's code, out then holding what it decoded.
int replaceOutliersWithMinMax(int n, const float *minima, const float *maxima, const char *path,
                              int width, int height, uint8_t *out);
