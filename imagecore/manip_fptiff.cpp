// Manip: an rgbeBuf written as an uncompressed little-endian TIFF of 32-bit IEEE float RGB, one
// strip at offset 8 and the directory after it; and the big-endian bias-128 float decoder.
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "imagecore/byte_order.h"
#include "imagecore/manip.h"
#include "imagecore/pixel_buffers.h"
#include "imagecore/psd_reader.h"
#include "platform/checked_size.h"
#include "platform/file_holder.h"

namespace {

constexpr int kEntries = 11;
// Count, 11 entries, next offset, then the three BitsPerSample and three SampleFormat shorts.
constexpr size_t kIfdBytes = 2 + 12 * kEntries + 4 + 6 + 6;
constexpr uint32_t kBitsOffset = 2 + 12 * kEntries + 4;
constexpr uint32_t kFormatOffset = kBitsOffset + 6;
// ImageWidth, ImageLength and RowsPerStrip are written as shorts.
constexpr int kMaxSide = 65535;

enum : uint16_t { kShort = 3, kLong = 4 };

void put_entry(uint8_t *p, uint16_t tag, uint16_t type, uint32_t count, uint32_t value)
{
    imagecore::put_le16(p, tag);
    imagecore::put_le16(p + 2, type);
    imagecore::put_le32(p + 4, count);
    // A short value stands in the first two bytes of the field.
    if (type == kShort && count == 1) {
        imagecore::put_le16(p + 8, uint16_t(value));
        imagecore::put_le16(p + 10, 0);
    } else {
        imagecore::put_le32(p + 8, value);
    }
}

void put_float(uint8_t *p, float v)
{
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    imagecore::put_le32(p, bits);
}

} // namespace

int Manip::writeFpTiffFromRgbe(const std::string &path, const platform::DataPtr &rgbeData,
                               int largeur, int hauteur) const
{
    if (!rgbeData || largeur < 1 || hauteur < 1 || largeur > kMaxSide || hauteur > kMaxSide)
        return -3;
    auto rgbeBytes = platform::checked_product({4, largeur, hauteur});
    auto dataBytes = platform::checked_product({12, largeur, hauteur});
    // Every offset of the file is a 32-bit LONG.
    if (!rgbeBytes || !dataBytes || rgbeData->length() < *rgbeBytes ||
        *dataBytes > uint64_t(UINT32_MAX) - 8 - kIfdBytes)
        return -3;
    const uint32_t dataSize = uint32_t(*dataBytes), ifdOffset = 8 + dataSize;
    try {
        const size_t w = size_t(largeur);
        std::vector<uint8_t> row(12 * w);
        platform::FilePtr f = platform::open_file(path, "wb");
        if (!f)
            return -1;
        uint8_t header[8] = {'I', 'I'};
        imagecore::put_le16(header + 2, 42);
        imagecore::put_le32(header + 4, ifdOffset);
        if (std::fwrite(header, 1, 8, f.get()) != 8)
            return -2;

        float table[256];
        exp_lut(table, 0);
        for (int y = 0; y < hauteur; ++y) {
            const uint8_t *src = rgbeData->bytes() + 4 * w * size_t(y);
            for (size_t x = 0; x < w; ++x) {
                const int e = src[3 * w + x];
                uint8_t *p = row.data() + 12 * x;
                for (size_t c = 0; c < 3; ++c)
                    put_float(p + 4 * c, e == 0 ? 0.0f : float(src[c * w + x]) * table[e]);
            }
            if (std::fwrite(row.data(), 1, row.size(), f.get()) != row.size())
                return -2;
        }

        uint8_t ifd[kIfdBytes] = {};
        imagecore::put_le16(ifd, kEntries);
        uint8_t *e = ifd + 2;
        const uint32_t w32 = uint32_t(largeur), h32 = uint32_t(hauteur);
        put_entry(e + 0 * 12, 256, kShort, 1, w32);                        // ImageWidth
        put_entry(e + 1 * 12, 257, kShort, 1, h32);                        // ImageLength
        put_entry(e + 2 * 12, 258, kShort, 3, ifdOffset + kBitsOffset);    // BitsPerSample
        put_entry(e + 3 * 12, 259, kShort, 1, 1);                          // no compression
        put_entry(e + 4 * 12, 262, kShort, 1, 2);                          // RGB
        put_entry(e + 5 * 12, 273, kLong, 1, 8);                           // StripOffsets
        put_entry(e + 6 * 12, 277, kShort, 1, 3);                          // SamplesPerPixel
        put_entry(e + 7 * 12, 278, kShort, 1, h32);                        // RowsPerStrip
        put_entry(e + 8 * 12, 279, kLong, 1, dataSize);                    // StripByteCounts
        put_entry(e + 9 * 12, 284, kShort, 1, 1);                          // interleaved
        put_entry(e + 10 * 12, 339, kShort, 3, ifdOffset + kFormatOffset); // IEEE floats
        // The next-IFD offset stays 0.
        for (int k = 0; k < 3; ++k) {
            imagecore::put_le16(ifd + kBitsOffset + 2 * k, 32);
            imagecore::put_le16(ifd + kFormatOffset + 2 * k, 3);
        }
        if (std::fwrite(ifd, 1, kIfdBytes, f.get()) != kIfdBytes)
            return -2;
        // A failed flush on closing is a failed write.
        return std::fclose(f.release()) == 0 ? 1 : -2;
    } catch (const std::bad_alloc &) {
        return -4;
    }
}

float m_order2float(const uint8_t *b)
{
    return b ? imagecore::psd_float_decode(b) : 0.0f;
}
