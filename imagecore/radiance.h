// The Radiance RGBE picture file at the level of its pieces: header lines, the resolution line,
// and scanlines to and from rgbeBuf rows, flat (R G B E a pixel) or run-length coded (the four
// components of a scanline one after another, each as run and literal packets). The file
// readers and writers of merge, tone mapping and the HDR conversions are built from these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace imagecore {

// Header lines are read with fgets into a buffer of this size: a longer line comes in pieces of
// 127 characters, each taken as a line.
inline constexpr int kRadianceLineSize = 128;
// The widest scanline the run-length layout can announce; wider images are written flat.
inline constexpr int kRadianceMaxRleWidth = 32767;
// The narrowest scanline written run-length coded: other readers of the format take narrower
// ones as flat, whatever their first bytes.
inline constexpr int kRadianceMinRleWidth = 8;

// True when line begins with the resolution line "-Y <height> +X <width>" as sscanf reads that
// format (white space optional between the parts, numbers with an optional sign): rows top to
// bottom, pixels left to right, the only orientation recognised. Numbers outside the int range
// do not match. height and width are written on a match only.
bool radiance_resolution(const char *line, int *height, int *width);

// The header as the writers lay it out: "#?RADIANCE\n", lines as given (each ending in a line
// feed), "FORMAT=32-bit_rle_rgbe\n\n" (the format line and the blank line that ends the header)
// and "-Y <height> +X <width>\n".
std::string radiance_header(std::string_view lines, int height, int width);

// Reads header lines of up to lineSize - 1 characters until the resolution line, at most
// maxLines of them, calling visit(const char *line) for each line before it. Returns the
// resolution line's index (the number of lines before it) with height and width set;
// kHeaderEnd when a line cannot be read first; kHeaderNoResolution after maxLines lines.
inline constexpr long kHeaderEnd = -1;
inline constexpr long kHeaderNoResolution = -2;
template <class Visit>
long radiance_scan_header(FILE *f, long maxLines, int lineSize, int *height, int *width,
                          Visit &&visit)
{
    char line[512];
    if (lineSize > int(sizeof line))
        lineSize = int(sizeof line);
    for (long n = 0; n < maxLines; ++n) {
        if (!std::fgets(line, lineSize, f))
            return kHeaderEnd;
        if (radiance_resolution(line, height, width))
            return n;
        visit(static_cast<const char *>(line));
    }
    return kHeaderNoResolution;
}

enum class RadianceLayout { kFlat, kRunLength };

// Decides the layout of every scanline of a file from its first 4 pixel bytes at the current
// position (2, 2 and a third byte below 128: run-length), and steps back to them. False when
// they cannot be read or the position cannot be restored.
bool radiance_peek_layout(FILE *f, RadianceLayout *layout);

enum class ScanlineResult {
    kOk,
    kShortHeader,   // the 4-byte scanline header cannot be read
    kHighWidthByte, // its third byte has the top bit set
    kWidthMismatch, // it announces another width
    kEndAtPacket,   // end of file where a packet starts
    kEndInPacket,   // end of file inside a packet's data
    kZeroCount,     // a packet whose first byte is 0
    kPastComponent, // a literal packet that carries the component past the width
    kRunPastEnd,    // a run packet that carries the component past the width
};

// Reads one run-length scanline of width pixels into row, an rgbeBuf row (width red bytes, then
// green, blue, exponents): each component lands in its block directly.
ScanlineResult radiance_read_rle_row(FILE *f, int width, uint8_t *row);

// Reads one flat scanline of width pixels through work (4 x width bytes) and scatters it into
// the rgbeBuf row. False on a short read.
bool radiance_read_flat_row(FILE *f, int width, uint8_t *row, uint8_t *work);

// True when rows of this width are written flat: the run-length layout cannot announce them, or
// they are too narrow for other readers to take them as run-length coded.
inline bool radiance_flat_width(int width)
{
    return width < kRadianceMinRleWidth || width > kRadianceMaxRleWidth;
}

// Run-length codes the n bytes of one component into out, which holds 2 x n bytes (enough for
// the worst case); returns the coded length. Repeats shorter than 5 bytes stay in literals,
// which hold up to 127 bytes (a component's last literal 128); a run holds up to 127 bytes.
size_t radiance_rle_encode(const uint8_t *d, int n, uint8_t *out);

// Bytes of work space radiance_write_row needs for a row of width pixels: 2 x width for a
// run-length row (one coded component), 4 x width for a flat one (below 8 or above 32767).
size_t radiance_row_work(int width);

enum class RowWriteResult { kOk, kRunLengthFailed, kFlatFailed };

// Writes one rgbeBuf row of width pixels: run-length coded with its scanline header from
// kRadianceMinRleWidth to kRadianceMaxRleWidth, flat otherwise. work holds radiance_row_work(width)
// bytes.
RowWriteResult radiance_write_row(FILE *f, const uint8_t *row, int width, uint8_t *work);

} // namespace imagecore
