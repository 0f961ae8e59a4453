// The TIFF writer: the layout (entry list, data offsets) is decided and the whole IFD area built
// in memory before the file is created; then header, strip rows and IFD area are written.
#include "metadata/tiff_writer.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "imagecore/byte_order.h"
#include "imagecore/records.h"
#include "metadata/detail/exif_fields.h"
#include "metadata/exif_block.h"
#include "metadata/exif_records.h"
#include "metadata/xmp_settings.h"
#include "platform/checked_size.h"
#include "platform/file_holder.h"

using namespace metadata;
using namespace metadata::detail;
using imagecore::put_le16;
using imagecore::put_le32;

namespace {

constexpr uint64_t kMaxTiffBytes = std::numeric_limits<uint32_t>::max(); // 32-bit offsets

struct Pixels {
    int width = 0, height = 0;
    int sppIn = 0, sppOut = 0;
    int bitsOut = 0;
    bool is16to8 = false;
    size_t rowOut = 0;   // bytes of one file row
    uint64_t strip = 0;  // bytes of the strip
    size_t rowBytes = 0; // as the caller gave it
};

// One data block of IFD0: the entry's value when it fits 4 bytes, else data at an offset.
struct Blob {
    const uint8_t *data = nullptr;
    size_t size = 0;   // bytes in the data area (0 when inline)
    size_t padded = 0; // bytes reserved (IPTC is padded to 4)
    uint32_t offset = 0;
};

// Fills one output row from buffer row r.
void make_row(const Pixels &p, const uint8_t *pixels, int r, uint8_t *out)
{
    const size_t w = size_t(p.width);
    if (p.is16to8) {
        const uint8_t *src = pixels + 2 * size_t(r) * p.rowBytes;
        for (size_t x = 0; x < w; ++x)
            for (int s = 0; s < p.sppOut; ++s) {
                uint16_t v;
                std::memcpy(&v, src + 2 * (x * size_t(p.sppIn) + size_t(s)), 2);
                *out++ = static_cast<uint8_t>(v >> 8);
            }
        return;
    }
    const size_t bps = size_t(p.bitsOut / 8);
    const uint8_t *src = pixels + size_t(r) * p.rowBytes;
    for (size_t x = 0; x < w; ++x) {
        const uint8_t *px = src + x * size_t(p.sppIn) * bps;
        for (int s = 0; s < p.sppOut; ++s) {
            if (bps == 1) {
                *out++ = px[s];
            } else {
                uint16_t v;
                std::memcpy(&v, px + 2 * size_t(s), 2);
                put_le16(out, v);
                out += 2;
            }
        }
    }
}

// Rows needing no rearrangement are written straight from the caller's buffer.
bool rows_direct(const Pixels &p)
{
    return !p.is16to8 && p.sppIn == p.sppOut &&
           (p.bitsOut == 8 || std::endian::native == std::endian::little);
}

int write_rows(FILE *f, const Pixels &p, const uint8_t *pixels, uint8_t *rowBuf)
{
    for (int r = 0; r < p.height; ++r) {
        const uint8_t *row;
        if (rows_direct(p)) {
            row = pixels + size_t(r) * p.rowBytes;
        } else {
            make_row(p, pixels, r, rowBuf);
            row = rowBuf;
        }
        if (std::fwrite(row, 1, p.rowOut, f) != p.rowOut)
            return -3;
    }
    return 0;
}

} // namespace

int buf2tif(const void *pixels, const int32_t *saveInfo, int rowBytes, const uint8_t *profile,
            const int32_t *exifBuf, const int32_t *gpsBuf, int iptcLen, const uint8_t *iptc,
            int tmMethod, const float *tmParam, int xmpLen, const char *xmp, const char *path)
{
    if (!path)
        return -1;
    if (!pixels || !saveInfo)
        return -3;
    Pixels p;
    p.width = saveInfo[kSaveWidth];
    p.height = saveInfo[kSaveHeight];
    p.sppIn = saveInfo[kSaveSamples];
    p.is16to8 = saveInfo[kSaveIs16to8] != 0;
    p.bitsOut = p.is16to8 ? 8 : saveInfo[kSaveBits];
    if (p.width < 1 || p.height < 1 || p.sppIn < 1 || p.sppIn > 4 ||
        (p.bitsOut != 8 && p.bitsOut != 16) || rowBytes < 1)
        return -3;
    p.sppOut = p.sppIn == 4 ? 3 : (p.sppIn == 2 ? 1 : p.sppIn);
    p.rowBytes = size_t(rowBytes);
    // The buffer row the rows are read from: samples (is16to8) or bytes.
    const int64_t bufferRow = int64_t(p.width) * p.sppIn * (p.is16to8 ? 1 : p.bitsOut / 8);
    if (int64_t(rowBytes) < bufferRow)
        return -3;
    const int iccLen = saveInfo[kSaveIccLength];
    if ((iccLen > 0 && !profile) || (iptcLen > 0 && !iptc) || (xmpLen > 0 && !xmp) ||
        (tmMethod >= 1 && !tmParam))
        return -3;
    auto rowOut = platform::image_bytes(p.width, 1, p.sppOut, p.bitsOut / 8);
    auto strip = platform::image_bytes(p.width, p.height, p.sppOut, p.bitsOut / 8);
    if (!rowOut || !strip || *strip > kMaxTiffBytes)
        return -1;
    p.rowOut = *rowOut;
    p.strip = *strip;

    const ExifCounts counts = exif_counts(exifBuf, gpsBuf);

    std::vector<uint8_t> area; // IFD0 and its data, written after the strip
    std::vector<uint8_t> rowBuf;
    try {
        // Settings packet: carried, or made anew (with a trailing space), or none.
        std::vector<uint8_t> newXmp;
        Blob xmpBlob;
        bool carry = false;
        if (xmpLen >= 1) {
            int method = get_settings_from_xmp(-1, xmpLen, xmp, nullptr, nullptr);
            carry = is_settings_method(method) || tmMethod < 1;
            if (carry) {
                xmpBlob.data = reinterpret_cast<const uint8_t *>(xmp);
                xmpBlob.size = size_t(xmpLen) - 1;
            }
        }
        if (!carry) {
            newXmp = settings_packet(tmMethod, tmParam, exifBuf);
            if (!newXmp.empty()) {
                newXmp.push_back(' ');
                xmpBlob.data = newXmp.data();
                xmpBlob.size = newXmp.size();
            }
        }

        const bool iccKept =
            iccLen >= 1 && (iccLen <= 20 || std::memcmp(profile + 16, "RGB", 3) == 0);
        Blob iccBlob{iccKept ? profile : nullptr, iccKept ? size_t(iccLen) : 0};
        Blob iptcBlob{iptcLen > 0 ? iptc : nullptr, iptcLen > 0 ? size_t(iptcLen) : 0};
        iptcBlob.padded = (iptcBlob.size + 3) / 4 * 4;
        xmpBlob.padded = word_aligned(xmpBlob.size);
        iccBlob.padded = word_aligned(iccBlob.size);
        const char *model =
            reinterpret_cast<const char *>(exifBuf ? exifBuf + kExifModel : nullptr);
        Blob modelBlob{reinterpret_cast<const uint8_t *>(model), size_t(counts.modelLen)};
        modelBlob.padded = word_aligned(modelBlob.size);
        // Data of 4 bytes or fewer sits in the value field.
        for (Blob *b : {&modelBlob, &xmpBlob, &iptcBlob, &iccBlob})
            if (b->padded <= 4)
                b->padded = 0;

        const size_t exifPart = exif_part_size(counts), gpsPart = gps_part_size(counts);
        const int entries = 13 + (counts.modelLen > 0) + (xmpBlob.size > 0) + (iptcBlob.size > 0) +
                            (exifPart > 0) + (iccBlob.size > 0) + (gpsPart > 0);
        // IFD0 starts on a word boundary: an odd strip is followed by one zero byte.
        const uint64_t ifdPos = 8 + word_aligned(p.strip);
        const size_t ifdSize = 2 + 12 * size_t(entries) + 4;
        const size_t bpsSize = p.sppOut == 3 ? 6 : 0;
        const size_t areaSize = ifdSize + bpsSize + modelBlob.padded + 16 + iccBlob.padded +
                                xmpBlob.padded + iptcBlob.padded + exifPart + gpsPart;
        if (ifdPos + areaSize > kMaxTiffBytes)
            return -1;

        try {
            area.assign(areaSize, 0);
        } catch (const std::bad_alloc &) {
            return -1;
        }
        // Data offsets, in the layout's order.
        uint64_t pos = ifdPos + ifdSize;
        const uint32_t bpsPos = uint32_t(pos);
        pos += bpsSize;
        auto place = [&](Blob &b) {
            b.offset = uint32_t(pos);
            pos += b.padded;
        };
        place(modelBlob);
        const uint32_t xresPos = uint32_t(pos);
        const uint32_t yresPos = uint32_t(pos + 8);
        pos += 16;
        place(iccBlob);
        place(xmpBlob);
        place(iptcBlob);
        const uint32_t exifPos = uint32_t(pos);
        const uint32_t gpsPos = uint32_t(pos + exifPart);

        uint8_t *a = area.data();
        auto at = [&](uint32_t filePos) { return a + (filePos - ifdPos); };
        put_le16(a, uint16_t(entries));
        uint8_t *e = a + 2;
        auto entry = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
            put_ifd_entry(e, tag, type, count, value);
            e += 12;
        };
        // Copies a blob into its data place, or into the value field of the entry just written.
        auto blob_entry = [&](uint16_t tag, uint16_t type, uint32_t count, const Blob &b) {
            if (b.padded == 0) {
                entry(tag, type, count, 0);
                std::memcpy(e - 4, b.data, b.size);
            } else {
                entry(tag, type, count, b.offset);
                std::memcpy(at(b.offset), b.data, b.size);
            }
        };
        auto side = [&](uint16_t tag, int v) {
            if (v > 65535) {
                entry(tag, kTypeLong, 1, uint32_t(v));
            } else {
                entry(tag, kTypeShort, 1, 0);
                put_le16(e - 4, uint16_t(v));
            }
        };
        auto short_entry = [&](uint16_t tag, int v) {
            entry(tag, kTypeShort, 1, 0);
            put_le16(e - 4, uint16_t(v));
        };

        side(256, p.width);
        side(257, p.height);
        if (p.sppOut == 3) {
            entry(258, kTypeShort, 3, bpsPos);
            for (int s = 0; s < 3; ++s)
                put_le16(at(bpsPos) + 2 * s, uint16_t(p.bitsOut));
        } else {
            short_entry(258, p.bitsOut);
        }
        short_entry(259, 1);
        short_entry(262, p.sppOut == 3 ? 2 : 1);
        if (counts.modelLen > 0) {
            // The model runs to its first zero; the terminator is the zero-filled area.
            Blob text = modelBlob;
            text.size = size_t(counts.modelLen - 1);
            blob_entry(272, kTypeAscii, uint32_t(counts.modelLen), text);
        }
        entry(273, kTypeLong, 1, 8);
        const int orientation = saveInfo[kSaveOrientation];
        short_entry(274, orientation >= 1 && orientation <= 8 ? orientation : 1);
        short_entry(277, p.sppOut);
        side(278, p.height);
        entry(279, kTypeLong, 1, uint32_t(p.strip));
        const int64_t dpi = saveInfo[kSaveXDpi];
        const uint32_t res = uint32_t(std::clamp<int64_t>(dpi * 1000, 0, kMaxTiffBytes));
        entry(282, kTypeRational, 1, xresPos);
        entry(283, kTypeRational, 1, yresPos);
        for (uint32_t r : {xresPos, yresPos}) {
            put_le32(at(r), res);
            put_le32(at(r) + 4, 1000);
        }
        short_entry(284, 1);
        if (xmpBlob.size > 0)
            blob_entry(700, kTypeByte, uint32_t(xmpBlob.size), xmpBlob);
        if (iptcBlob.size > 0)
            blob_entry(33723, kTypeLong, uint32_t(iptcBlob.size + 3) / 4, iptcBlob);
        if (exifPart > 0) {
            entry(34665, kTypeLong, 1, exifPos);
            write_exif_ifd(exifBuf, counts, at(exifPos), exifPos);
        }
        if (iccBlob.size > 0)
            blob_entry(34675, kTypeUndefined, uint32_t(iccBlob.size), iccBlob);
        if (gpsPart > 0) {
            entry(34853, kTypeLong, 1, gpsPos);
            write_gps_ifd(gpsBuf, counts, at(gpsPos), gpsPos);
        }
        put_le32(e, 0); // next IFD

        if (!rows_direct(p)) {
            try {
                rowBuf.assign(p.rowOut, 0);
            } catch (const std::bad_alloc &) {
                return -4;
            }
        }
    } catch (const std::bad_alloc &) {
        return -4;
    }

    platform::FilePtr file = platform::open_file(path, "wb");
    if (!file)
        return -1;
    uint8_t header[8] = {'I', 'I', 42, 0};
    put_le32(header + 4, uint32_t(8 + word_aligned(p.strip)));
    if (std::fwrite(header, 1, 8, file.get()) != 8)
        return -2;
    if (write_rows(file.get(), p, static_cast<const uint8_t *>(pixels), rowBuf.data()) < 0)
        return -3;
    if ((p.strip & 1) && std::fputc(0, file.get()) == EOF)
        return -3;
    if (std::fwrite(area.data(), 1, area.size(), file.get()) != area.size())
        return -12;
    // Buffered bytes that never reach the disk would leave a short file reported as written.
    if (std::fclose(file.release()) != 0)
        return -12;
    return p.height;
}
