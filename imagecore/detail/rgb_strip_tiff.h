// The layout both RGB TIFF writers share: an 8-byte header, one strip of pixels at offset 8, then
// an 11-entry directory followed by its BitsPerSample and SampleFormat arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "imagecore/byte_order.h"
#include "platform/file_holder.h"

namespace imagecore::detail {

inline constexpr int kRgbStripEntries = 11;
// Count, entries, next offset, then the three BitsPerSample and three SampleFormat shorts.
inline constexpr uint32_t kRgbStripBitsAt = 2 + 12 * kRgbStripEntries + 4;
inline constexpr uint32_t kRgbStripFormatAt = kRgbStripBitsAt + 6;
inline constexpr size_t kRgbStripIfdBytes = kRgbStripFormatAt + 6;
// ImageWidth, ImageLength and RowsPerStrip are written as shorts.
inline constexpr int kRgbStripMaxSide = 65535;

struct StripTiffWriter {
    bool bigEndian;

    void u16(uint8_t *p, uint16_t v) const { bigEndian ? put_be16(p, v) : put_le16(p, v); }
    void u32(uint8_t *p, uint32_t v) const { bigEndian ? put_be32(p, v) : put_le32(p, v); }

    // "II" or "MM", 42, the directory's offset.
    void header(uint8_t *p, uint32_t ifdOffset) const
    {
        p[0] = p[1] = bigEndian ? 'M' : 'I';
        u16(p + 2, 42);
        u32(p + 4, ifdOffset);
    }

    void entry(uint8_t *p, uint16_t tag, uint16_t type, uint32_t count, uint32_t value) const
    {
        u16(p, tag);
        u16(p + 2, type);
        u32(p + 4, count);
        // A single short stands in the first two bytes of the field.
        if (type == 3 && count == 1) {
            u16(p + 8, uint16_t(value));
            u16(p + 10, 0);
        } else {
            u32(p + 8, value);
        }
    }

    // The directory of a w x h image of three samples of `bits` bits in `format` (1 unsigned
    // integer, 3 IEEE float), the strip of dataSize bytes at offset 8, the directory at
    // ifdOffset; ifd holds kRgbStripIfdBytes.
    void directory(uint8_t *ifd, uint32_t w, uint32_t h, uint32_t ifdOffset, uint32_t dataSize,
                   uint16_t bits, uint16_t format) const
    {
        enum : uint16_t { kShort = 3, kLong = 4 };
        u16(ifd, kRgbStripEntries);
        uint8_t *e = ifd + 2;
        entry(e + 0 * 12, 256, kShort, 1, w);                              // ImageWidth
        entry(e + 1 * 12, 257, kShort, 1, h);                              // ImageLength
        entry(e + 2 * 12, 258, kShort, 3, ifdOffset + kRgbStripBitsAt);    // BitsPerSample
        entry(e + 3 * 12, 259, kShort, 1, 1);                              // no compression
        entry(e + 4 * 12, 262, kShort, 1, 2);                              // RGB
        entry(e + 5 * 12, 273, kLong, 1, 8);                               // StripOffsets
        entry(e + 6 * 12, 277, kShort, 1, 3);                              // SamplesPerPixel
        entry(e + 7 * 12, 278, kShort, 1, h);                              // RowsPerStrip
        entry(e + 8 * 12, 279, kLong, 1, dataSize);                        // StripByteCounts
        entry(e + 9 * 12, 284, kShort, 1, 1);                              // interleaved
        entry(e + 10 * 12, 339, kShort, 3, ifdOffset + kRgbStripFormatAt); // SampleFormat
        u32(ifd + 2 + 12 * kRgbStripEntries, 0);                           // the only directory
        for (int k = 0; k < 3; ++k) {
            u16(ifd + kRgbStripBitsAt + 2 * k, bits);
            u16(ifd + kRgbStripFormatAt + 2 * k, format);
        }
    }
};

// Creates the file at path and writes it whole: the header, h rows of w pixels of three samples
// of `bits` bits that fill(y, row) makes (in the file's byte order), then the directory. The
// caller has checked that the sizes fit the format. Returns 0; -1 when the file cannot be
// created; -2 when a write or the closing flush fails (the file stays as written).
// std::bad_alloc may escape.
template <class Fill>
int write_rgb_strip_tiff(const char *path, bool bigEndian, int w, int h, uint16_t bits,
                         uint16_t format, Fill fill)
{
    const size_t rowBytes = size_t(w) * 3 * (bits / 8);
    const uint32_t dataSize = uint32_t(rowBytes * size_t(h)), ifdOffset = 8 + dataSize;
    std::vector<uint8_t> row(rowBytes);
    platform::FilePtr f = platform::open_file(path, "wb");
    if (!f)
        return -1;
    const StripTiffWriter out{bigEndian};
    uint8_t header[8];
    out.header(header, ifdOffset);
    if (std::fwrite(header, 1, 8, f.get()) != 8)
        return -2;
    for (int y = 0; y < h; ++y) {
        fill(y, row.data());
        if (std::fwrite(row.data(), 1, rowBytes, f.get()) != rowBytes)
            return -2;
    }
    uint8_t ifd[kRgbStripIfdBytes];
    out.directory(ifd, uint32_t(w), uint32_t(h), ifdOffset, dataSize, bits, format);
    if (std::fwrite(ifd, 1, sizeof ifd, f.get()) != sizeof ifd)
        return -2;
    return std::fclose(f.release()) == 0 ? 0 : -2;
}

} // namespace imagecore::detail
