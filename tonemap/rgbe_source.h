// The local operator's own reader of Radiance RGBE picture files (layout in imagecore/radiance.h),
// for its out-of-core mode, in which the source comes from a file instead of memory: the pixels
// into an rgbeBuf, and the header's size and primaries. Its header limits and result codes are
// its own: a file of fewer than 12801 bytes has its header scanned for size / 128 lines, a larger
// one for 100.
#pragma once

#include <cstdint>

// Reads the file at path into out, an rgbeBuf of info[0] x info[1] (4 x info[0] x info[1] bytes,
// caller-owned): header lines of up to 128 characters, then the rows, flat or run-length coded as
// the first pixel bytes say. Returns the rows read (info[1]); -1 the file cannot be opened, or it
// ends inside a run-length scanline; -2 a header line or the pixel data cannot be read, or the
// header has no resolution line; -3 the resolution is not info[0] x info[1] (also for a null
// pointer or a size below 1); -4 out of memory, or a scanline that announces another width; -5 a
// run past the end of its component; -6 a packet count of 0, a literal past the end of its
// component, or a scanline header whose width high byte is 128 or more. On failure out holds the
// rows decoded before.
int decomp2(const char *path, const int *info, uint8_t *out);

// The same reader under its second name.
int decomp_rle(const char *path, const int *info, uint8_t *out);

// Reads the header of the file at path (lines of up to 127 characters): info[0] width, info[1]
// height, info[2] the file size in bytes (clamped to the int range), and info[6] = 32 when a
// line "PRIMARIES=" gives all eight values. Then, when info[6] is positive (a value the caller
// left there counts), primaries[0..7] receive the values read or, without such a line, the
// defaults 0.648431 0.330856 0.321152 0.597871 0.155886 0.066044 0.3101 0.3162; otherwise eight
// zeros. Returns the number of header lines before the resolution line; -1 the file cannot be
// opened or measured (or a null pointer); -2 a header line cannot be read; -3 no resolution line
// with a width and height of 1 or more among the lines examined. info[3..5] are not touched.
int rgbe_dim2(const char *path, float *primaries, int *info);
