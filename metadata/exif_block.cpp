// The EXIF/GPS block: presence tests shared by the counter and the writers, and the layout of
// IFD0, the Exif IFD and the GPS IFD.
#include "metadata/exif_block.h"

#include <cstring>

#include "imagecore/byte_order.h"
#include "metadata/detail/exif_fields.h"
#include "metadata/exif_records.h"
#include "metadata/xmp_settings.h"

using imagecore::put_le16;
using imagecore::put_le32;
using namespace metadata::detail;

namespace {

constexpr int32_t kZeroExif[kExifBufCount] = {};
constexpr int32_t kZeroGps[kGpsBufCount] = {};

const char *text_at(const int32_t *buf, int slot)
{
    return reinterpret_cast<const char *>(buf + slot);
}
const uint8_t *gps_bytes(const int32_t *gps)
{
    return reinterpret_cast<const uint8_t *>(gps);
}

// Length + 1 of the text that runs to its first zero byte within maxLen bytes; 0 when empty.
int text_count(const char *text, int maxLen)
{
    const void *end = std::memchr(text, 0, static_cast<size_t>(maxLen));
    int len = end ? static_cast<int>(static_cast<const char *>(end) - text) : maxLen;
    return len > 0 ? len + 1 : 0;
}

int even(int n)
{
    return static_cast<int>(metadata::word_aligned(static_cast<size_t>(n)));
}

bool pair_present(const int32_t *buf, int slot)
{
    return buf[slot] > 0 && buf[slot + 1] > 0;
}
bool ref_present(const int32_t *gps, int byte)
{
    return static_cast<int8_t>(gps_bytes(gps)[byte]) > 0;
}

// Writes count - 1 text bytes and the terminator (the buffer is zero-filled, so only the text).
void put_text(uint8_t *p, const char *text, int count)
{
    if (count > 1)
        std::memcpy(p, text, static_cast<size_t>(count - 1));
}

void put_rationals(uint8_t *p, const int32_t *buf, int slot, int n)
{
    for (int i = 0; i < 2 * n; ++i)
        put_le32(p + 4 * i, static_cast<uint32_t>(buf[slot + i]));
}

} // namespace

namespace metadata {

ExifCounts exif_counts(const int32_t *exif, const int32_t *gps)
{
    if (!exif)
        exif = kZeroExif;
    if (!gps)
        gps = kZeroGps;
    ExifCounts c;
    c.modelLen = text_count(text_at(exif, kExifModel), 64);
    c.datetimeLen = text_count(text_at(exif, kExifDateTime), 20);
    c.lensLen = text_count(text_at(exif, kExifLens), 64);

    auto exif_entry = [&](bool present, int bytes) {
        if (present) {
            ++c.exifCount;
            c.exifDataLen += bytes;
        }
    };
    exif_entry(pair_present(exif, kExifExposureNum), 8);
    exif_entry(pair_present(exif, kExifFNumberNum), 8);
    exif_entry(exif[kExifIso] > 0, 0);
    exif_entry(c.datetimeLen > 0, text_in_value_field(c.datetimeLen) ? 0 : even(c.datetimeLen));
    exif_entry(pair_present(exif, kExifFocalNum), 8);

    auto gps_entry = [&](bool present, int bytes) {
        if (present) {
            ++c.gpsCount;
            c.gpsDataLen += bytes;
        }
    };
    gps_entry(ref_present(gps, kGpsLatRefByte), 0);
    gps_entry(pair_present(gps, kGpsLatitude), 24);
    gps_entry(ref_present(gps, kGpsLonRefByte), 0);
    gps_entry(pair_present(gps, kGpsLongitude), 24);
    gps_entry(ref_present(gps, kGpsAltRefByte), 0);
    gps_entry(pair_present(gps, kGpsAltitude), 8);
    gps_entry(pair_present(gps, kGpsTimeStamp), 24);
    c.gpsDateLen = gps_bytes(gps)[kGpsDateByte] != 0 ? 11 : 0;
    gps_entry(c.gpsDateLen > 0, 11);
    if (c.gpsCount > 0)
        ++c.gpsCount; // VersionID
    return c;
}

size_t exif_part_size(const ExifCounts &c)
{
    return c.exifCount > 0 ? 6 + 12 * size_t(c.exifCount) + size_t(c.exifDataLen) : 0;
}
size_t gps_part_size(const ExifCounts &c)
{
    return c.gpsCount > 0 ? 6 + 12 * size_t(c.gpsCount) + size_t(c.gpsDataLen) : 0;
}

void put_ifd_entry(uint8_t *p, uint16_t tag, uint16_t type, uint32_t count, uint32_t value)
{
    put_le16(p, tag);
    put_le16(p + 2, type);
    put_le32(p + 4, count);
    put_le32(p + 8, value);
}

void write_exif_ifd(const int32_t *exif, const ExifCounts &c, uint8_t *out, uint32_t base)
{
    if (c.exifCount <= 0)
        return;
    if (!exif)
        exif = kZeroExif;
    put_le16(out, static_cast<uint16_t>(c.exifCount));
    uint8_t *entry = out + 2;
    uint32_t dataPos = 2 + 12 * uint32_t(c.exifCount) + 4; // from out
    auto rational = [&](uint16_t tag, int slot) {
        if (!pair_present(exif, slot))
            return;
        put_ifd_entry(entry, tag, kTypeRational, 1, base + dataPos);
        put_rationals(out + dataPos, exif, slot, 1);
        entry += 12;
        dataPos += 8;
    };
    rational(33434, kExifExposureNum);
    rational(33437, kExifFNumberNum);
    if (exif[kExifIso] > 0) {
        // SHORT: a larger ISO saturates instead of wrapping to a small one.
        int32_t iso = exif[kExifIso] > 65535 ? 65535 : exif[kExifIso];
        put_ifd_entry(entry, 34855, kTypeShort, 1, 0);
        put_le16(entry + 8, static_cast<uint16_t>(iso));
        entry += 12;
    }
    if (c.datetimeLen > 0) {
        const char *date = text_at(exif, kExifDateTime);
        if (text_in_value_field(c.datetimeLen)) {
            put_ifd_entry(entry, 36867, kTypeAscii, uint32_t(c.datetimeLen), 0);
            put_text(entry + 8, date, c.datetimeLen);
        } else {
            put_ifd_entry(entry, 36867, kTypeAscii, uint32_t(c.datetimeLen), base + dataPos);
            put_text(out + dataPos, date, c.datetimeLen);
            dataPos += uint32_t(even(c.datetimeLen));
        }
        entry += 12;
    }
    rational(37386, kExifFocalNum);
    put_le32(entry, 0); // next IFD
}

void write_gps_ifd(const int32_t *gps, const ExifCounts &c, uint8_t *out, uint32_t base)
{
    if (c.gpsCount <= 0)
        return;
    if (!gps)
        gps = kZeroGps;
    const uint8_t *g = gps_bytes(gps);
    put_le16(out, static_cast<uint16_t>(c.gpsCount));
    uint8_t *entry = out + 2;
    uint32_t dataPos = 2 + 12 * uint32_t(c.gpsCount) + 4;

    put_ifd_entry(entry, 0, kTypeByte, 4, 0);
    entry[8] = 2;
    entry[9] = 2;
    entry += 12;
    auto reference = [&](uint16_t tag, uint16_t type, uint32_t count, int byte) {
        if (!ref_present(gps, byte))
            return;
        put_ifd_entry(entry, tag, type, count, 0);
        entry[8] = g[byte];
        entry += 12;
    };
    auto rationals = [&](uint16_t tag, int slot, int n) {
        if (!pair_present(gps, slot))
            return;
        put_ifd_entry(entry, tag, kTypeRational, uint32_t(n), base + dataPos);
        put_rationals(out + dataPos, gps, slot, n);
        entry += 12;
        dataPos += 8 * uint32_t(n);
    };
    reference(1, kTypeAscii, 2, kGpsLatRefByte);
    rationals(2, kGpsLatitude, 3);
    reference(3, kTypeAscii, 2, kGpsLonRefByte);
    rationals(4, kGpsLongitude, 3);
    reference(5, kTypeByte, 1, kGpsAltRefByte);
    rationals(6, kGpsAltitude, 1);
    rationals(7, kGpsTimeStamp, 3);
    if (c.gpsDateLen > 0) {
        put_ifd_entry(entry, 29, kTypeAscii, 11, base + dataPos);
        std::memcpy(out + dataPos, g + kGpsDateByte, 11); // copied as it stands
        entry += 12;
    }
    put_le32(entry, 0);
}

} // namespace metadata

int get_exif_count(const int32_t *exifBuf, int *exifCount, int *exifDataLen, const int32_t *gpsBuf,
                   int *gpsCount, int *gpsDataLen, int *modelLen, int *datetimeLen, int *gpsDateLen,
                   int *lensLen)
{
    if (!exifCount || !exifDataLen || !gpsCount || !gpsDataLen || !modelLen || !datetimeLen ||
        !gpsDateLen || !lensLen)
        return -3;
    metadata::ExifCounts c = metadata::exif_counts(exifBuf, gpsBuf);
    *exifCount = c.exifCount;
    *exifDataLen = c.exifDataLen;
    *gpsCount = c.gpsCount;
    *gpsDataLen = c.gpsDataLen;
    *modelLen = c.modelLen;
    *datetimeLen = c.datetimeLen;
    *gpsDateLen = c.gpsDateLen;
    *lensLen = c.lensLen;
    return c.exifCount + c.gpsCount;
}

int write_exif_buf(int exifCount, int exifDataLen, int gpsCount, int gpsDataLen, int modelLen,
                   int datetimeLen, int gpsDateLen, int orientation, const int32_t *exifBuf,
                   const int32_t *gpsBuf, uint8_t *out)
{
    using namespace metadata;
    // The caller sized out from these counts: they must describe these records exactly, or the
    // layout would run past the buffer.
    // The lens text is not part of the block, so its count is not asked for.
    const ExifCounts c = exif_counts(exifBuf, gpsBuf);
    const ExifCounts given{exifCount, exifDataLen, gpsCount,   gpsDataLen,
                           modelLen,  datetimeLen, gpsDateLen, c.lensLen};
    if (!out || given != c)
        return -3;

    const int k = (c.modelLen > 0) + (c.exifCount > 0) + (c.gpsCount > 0);
    if (k == 0)
        return -1;
    const uint32_t modelPos = 14 + 12 * uint32_t(k + 1);
    const bool modelInline = text_in_value_field(c.modelLen);
    const uint32_t exifPos = modelPos + (modelInline ? 0 : uint32_t(even(c.modelLen)));
    const uint32_t gpsPos = exifPos + uint32_t(exif_part_size(c));
    const uint32_t total = gpsPos + uint32_t(gps_part_size(c));

    out[0] = 'I';
    out[1] = 'I';
    put_le16(out + 2, 42);
    put_le32(out + 4, 8);
    put_le16(out + 8, static_cast<uint16_t>(k + 1));
    uint8_t *entry = out + 10;
    const char *model = text_at(exifBuf ? exifBuf : kZeroExif, kExifModel);
    if (c.modelLen > 0) {
        if (modelInline) {
            put_ifd_entry(entry, 272, kTypeAscii, uint32_t(c.modelLen), 0);
            put_text(entry + 8, model, c.modelLen);
        } else {
            put_ifd_entry(entry, 272, kTypeAscii, uint32_t(c.modelLen), modelPos);
            put_text(out + modelPos, model, c.modelLen);
        }
        entry += 12;
    }
    put_ifd_entry(entry, 274, kTypeShort, 1, 0);
    put_le16(entry + 8,
             static_cast<uint16_t>(orientation >= 1 && orientation <= 8 ? orientation : 1));
    entry += 12;
    if (c.exifCount > 0) {
        put_ifd_entry(entry, 34665, kTypeLong, 1, exifPos);
        entry += 12;
    }
    if (c.gpsCount > 0) {
        put_ifd_entry(entry, 34853, kTypeLong, 1, gpsPos);
        entry += 12;
    }
    put_le32(entry, 0);
    write_exif_ifd(exifBuf, c, out + exifPos, exifPos);
    write_gps_ifd(gpsBuf, c, out + gpsPos, gpsPos);
    return static_cast<int>(total);
}

std::vector<uint8_t> metadata::settings_packet(int tmMethod, const float *tmParam,
                                               const int32_t *exifBuf)
{
    ExifCounts c = exif_counts(exifBuf, nullptr);
    char lens[66] = {}; // 64 characters, the terminator, and one spare zero
    if (c.lensLen > 0)
        std::memcpy(lens, text_at(exifBuf, kExifLens), size_t(c.lensLen - 1));
    std::vector<uint8_t> packet;
    if (tmMethod < 1 && c.lensLen == 0)
        return packet;
    int len = embed_xmp(0, tmMethod, tmParam, c.lensLen, lens, nullptr);
    if (len < 1)
        return packet;
    packet.assign(size_t(len) + 1, 0);
    int written =
        embed_xmp(1, tmMethod, tmParam, c.lensLen, lens, reinterpret_cast<char *>(packet.data()));
    if (written != len)
        packet.clear();
    else
        packet.resize(size_t(len));
    return packet;
}
