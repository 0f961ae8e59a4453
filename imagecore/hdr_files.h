// HDR file conversions between uncompressed TIFF strips, Radiance picture files and rgbeBufs:
// a 32-bit float TIFF into an rgbeBuf, a 16-bit TIFF strip into a Radiance file or an rgbeBuf,
// an rgbeBuf into a big-endian 16-bit TIFF, and the size of a Radiance file from its header.
// The TIFF readers take the strip's position and the image size from the caller (the TIFF
// probe's imageInfos carry them); every byte they read is checked to lie inside the file first.
// Pixels are encoded as rgbeBuf pixels are (imagecore/pixel_buffers.h encode_rgbe); red, green
// and blue are samples 0, (spp - 1) / 2 and spp - 1 of each pixel.
#pragma once

#include <cstdint>

// Reads the 32-bit float TIFF at path into rgbe (an rgbeBuf of 4 x info[0] x info[1] bytes):
// info[0] width, info[1] height, info[3] samples per pixel, info[5] file offset of the pixels
// (interleaved, rows packed, floats in the byte order of the file's first two bytes, decoded as
// readfloat does: half their IEEE 754 value). Statistics of v = 0.3 R + 0.6 G + 0.1 B, each
// x 256: *min the smallest positive v (2.56e13 when none), *max the largest (0 when none),
// *mean the mean over the pixels.
// Returns 1; -1 when the file cannot be opened or measured; -2 when it starts with neither "II"
// nor "MM" or ends before the pixel data does (nothing is decoded then), or a read fails (rgbe
// holds the rows before it); -3 for a null pointer, a side or spp below 1, a negative offset or
// a size past the address range. The statistics are written on success only.
int fp2rgbe(const char *path, const int info[], float *min, float *max, float *mean, uint8_t *rgbe);

// Converts the w x h strip of spp host-order 16-bit samples at file offset `offset` of tiffPath
// (sample s read as s / 4096, 0 as 1) into a new Radiance file at hdrPath: the header lines
// "#?RADIANCE", "# Converted by Kestrovald Zenit 2.1 from <sourceName>" (up to its first line
// feed; null reads as empty), the format and blank lines and "-Y <h> +X <w>", then flat rows of
// R G B E pixels, top row first.
// Returns h; -1 when the TIFF cannot be opened or does not hold the strip (nothing is created
// then), the Radiance file cannot be created, or a write or read fails (what was written
// stays); -3 for a null path, a side or spp below 1 or a negative offset; -4 when memory runs
// out.
int tif2hdr(const char *tiffPath, int w, int h, int spp, int offset, const char *sourceName,
            const char *hdrPath);

// As tif2hdr, each sample s read as s / 65536 (0 as 1), into rgbe, an rgbeBuf of 4 x w x h
// bytes. Returns h; -1 when the file cannot be opened, does not hold the strip, or a read fails;
// -3 and -4 as tif2hdr.
int tif2exrbuf(const char *path, int w, int h, int spp, int offset, uint8_t *rgbe);

// Writes the w x h rgbeBuf as a new big-endian TIFF at path: header, one strip at offset 8 of
// three unsigned 16-bit samples a pixel, then an 11-entry directory. With min and max from
// hdrMinMax and k = 1 / (max - min), each channel of a pixel with exponent e (not 0) is
// (mantissa - min) x 65535 x k x 2^(e - 128) for gamma 1, else
// 65535 x ((mantissa - min) x k x 2^(e - 128))^(1 / gamma), truncated and held to 0..65535;
// exponent 0 gives black.
// Returns h; -1 when max - min is not above 0 (nothing is created) or the file cannot be
// created; -2 when a write fails (the file stays as written); -3 for a null pointer, a side
// outside 1..65535, a file past 4 GiB or a gamma that is not finite and above 0; -4 when memory
// runs out.
int hdr2tif(float gamma, const uint8_t *rgbe, int w, int h, const char *path);

// Reads the header of the Radiance file at path, at most size / 128 - 128 lines of up to 127
// characters, up to its resolution line "-Y <h> +X <w>": info[0] = w, info[1] = h, info[2] =
// the file's size in bytes.
// Returns the number of lines before the resolution line; -1 when the file cannot be opened or
// measured, is smaller than 16640 bytes (fewer than 2 lines examined) or larger than INT_MAX
// bytes; -2 when a line cannot be read; -3 when no resolution line is found among the lines
// examined, a side is not positive, the image is larger than the kernels take (more than
// INT_MAX pixels, or rows of 16-bit RGB past INT_MAX bytes: platform::kernel_sized), or a
// pointer is null. info is written on success only.
int rgbe_dim(const char *path, int info[3]);
