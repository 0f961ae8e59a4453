// Photoshop documents (PSD and the large-document PSB variant) in RGB mode: the header and
// image-resource probe, the embedded ICC profile, and the decoder of the first three channels
// (raw or PackBits, 8 or 16 bits; raw 32-bit float into an rgbeBuf). All numbers in the file are
// big-endian. Every size and offset read from a file is checked against its length, and the
// pixel data against what the header promises before anything is allocated for it.
// Each reader takes a path or a stream open for reading bytes (a file, or bytes in memory from
// fmemopen); offsets count from the stream's start and its position is left anywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Big-endian stream readers: the next 2, 4 or 8 bytes of f. A missing byte reads as 0xFF
// (callers check the file length first).
uint16_t fget2m(FILE *f);
uint32_t fget4m(FILE *f);
uint64_t fget8m(FILE *f);

// Probes the header and walks the image resources into imageInfos (13 ints, zero-filled by the
// caller): [0] width, [1] height, [2] bits per channel, [3] channel count, [4] and [5] the
// integer parts of the horizontal and vertical resolution (resource 1005), [6] the size of the
// first ICC profile resource (1039), [7] the file offset of the layer-and-mask section, [8] the
// file offset of the EXIF data (resource 1058). The walk ends quietly at a block without "8BIM"
// or one that passes the end of the resources; what was found stays.
// Returns [7] (> 0) on success; -1 when the file cannot be opened, a side passes the format's
// limit (30000 for version 1, PSD; 300000 for version 2, PSB; [0] to [3] are recorded), or the
// header, colour-mode data or resources do not lie inside the file; -2 when the signature is not
// "8BPS" or the version is neither 1 nor 2; -3 for fewer than 3 channels or a colour mode other
// than 3 (RGB).
int getPsdInfo(const char *path, int *imageInfos);
int getPsdInfo(FILE *f, int *imageInfos);

// Copies the first ICC profile resource (1039) into dest, which holds capacity bytes. Returns
// the number of bytes copied; 0 when there is none; -1 when the file cannot be opened or read;
// -2 for a wrong signature; -3 for fewer than 3 channels, a mode other than RGB, or a profile
// longer than capacity (nothing copied).
int psd_profile(const char *path, uint8_t *dest, size_t capacity);
int psd_profile(FILE *f, uint8_t *dest, size_t capacity);

// Checks, reading the file but allocating nothing, that it holds the pixel data load_psd would
// read for imageInfos (as for load_psd): the header's version is the layout [10] asks for
// (2 for 64, else 1); raw data holds channels x height x width samples; PackBits data holds its
// row-length table (height x channels entries) and the sum of those lengths, and that sum can
// fill the three planes read (a two-byte run gives at most 128 bytes).
// Returns 0 when it does, loadBytes (when not null) then getting the bytes load_psd holds beside
// dest for 8 and 16 bits (a plane, and PackBits data whole); otherwise the code load_psd gives
// for that file: -1 (a bad record, another version, a section or raw plane outside the file),
// -2 (32 bits not stored raw) or -3 (a PackBits table or data past the end).
int psd_pixels_present(const char *path, const int *imageInfos, uint64_t *loadBytes = nullptr);
int psd_pixels_present(FILE *f, const int *imageInfos, uint64_t *loadBytes = nullptr);

// Decodes channels 0, 1, 2 of the document described by imageInfos ([0] width, [1] height,
// [2] bits, [3] channels, [7] layer-and-mask offset as getPsdInfo gives them; [10] 64 for PSB,
// any other value PSD) into dest.
// 8 and 16 bits: dest holds height rows of max(rowLength, 3 x width) samples of the document's
// depth (uint8_t or host-order uint16_t); file channel k goes to sample k of each pixel when
// channelOrder >= 1, to sample 2 - k otherwise; the surplus of a row is left untouched.
// 32 bits (raw only): dest is an rgbeBuf of 4 x width x height bytes; channelOrder and rowLength
// do not apply.
// The file is first checked as psd_pixels_present does; nothing is allocated before.
// Returns the height on success; -1 for a depth other than 8, 16 and 32, a width or height
// below 1, fewer than 3 channels, a header version other than the layout [10] asks for, a file
// that cannot be opened, an offset outside the file, raw planes past its end, a short read, or
// (32 bits) no memory; -2 for a 32-bit document not stored raw; -3 when the PackBits row-length
// table or the data it counts passes the end of the file, or the data runs out before a plane is
// full; -4 when memory runs out (8 and 16 bits).
int load_psd(int channelOrder, const char *path, const int *imageInfos, int rowLength, void *dest);
int load_psd(int channelOrder, FILE *f, const int *imageInfos, int rowLength, void *dest);

namespace imagecore {

// PackBits over src[pos, srcLength) into dst[0, dstLength): a header byte n (signed) of 0..127
// copies the next n + 1 bytes, -1..-127 repeats the next byte 1 - n times, -128 does nothing.
// Decoding stops when dst is full or the data ends; a run that passes either end is cut there
// (its bytes in src are still consumed, up to the data's end). pos advances past what was read.
// Returns the number of bytes written to dst.
size_t packbits_decode(const uint8_t *src, size_t srcLength, size_t &pos, uint8_t *dst,
                       size_t dstLength);

// The big-endian float of the document's 32-bit planes, decoded with the exponent bias 128:
// four zero bytes give 0; any other pattern (1 + fraction x 2^-23) x 2^(exponent - 128),
// negated for a set sign bit; every value is half its IEEE 754 reading.
float psd_float_decode(const uint8_t *p);

} // namespace imagecore
