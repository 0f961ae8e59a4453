// Helpers shared by the tests of the EXIF block and of the writers that carry it: the two
// metadata records as the writers take them, a little-endian IFD reader and a sample of
// every field the block writes.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "imagecore/byte_order.h"
#include "metadata/exif_records.h"

namespace exiftest {

// exifBuf and gpsBuf, zero-filled.
struct Records {
    int32_t exif[kExifBufCount] = {};
    int32_t gps[kGpsBufCount] = {};
    void text(int slot, const std::string &s)
    {
        std::memcpy(reinterpret_cast<char *>(exif + slot), s.data(), s.size());
    }
    uint8_t *gpsBytes() { return reinterpret_cast<uint8_t *>(gps); }
};

struct Entry {
    uint16_t tag, type;
    uint32_t count, value;
    const uint8_t *field; // the 4-byte value field, inside the bytes read
};
// The entries of the little-endian IFD at pos, as many as lie inside b.
inline std::vector<Entry> read_ifd(const std::vector<uint8_t> &b, uint32_t pos)
{
    using imagecore::read_le16;
    using imagecore::read_le32;
    std::vector<Entry> out;
    if (pos + 2 > b.size())
        return out;
    uint16_t n = read_le16(&b[pos]);
    for (uint16_t i = 0; i < n && pos + 2 + 12 * (i + 1u) <= b.size(); ++i) {
        const uint8_t *e = &b[pos + 2 + 12 * i];
        out.push_back({read_le16(e), read_le16(e + 2), read_le32(e + 4), read_le32(e + 8), e + 8});
    }
    return out;
}
// A copy: callers often pass a temporary list.
inline std::optional<Entry> find(const std::vector<Entry> &ifd, uint16_t tag)
{
    for (const Entry &e : ifd)
        if (e.tag == tag)
            return e;
    return std::nullopt;
}
// An ASCII entry's bytes, count of them, from the value field or its offset in b.
inline std::string text_of(const std::vector<uint8_t> &b, const Entry &e)
{
    const uint8_t *p = e.count <= 4 ? e.field : &b[e.value];
    return std::string(reinterpret_cast<const char *>(p), e.count);
}

// Every field the block writes: exposure, aperture, ISO, focal length, model, date, lens and
// the whole GPS set.
inline Records full_records()
{
    Records r;
    r.exif[kExifExposureNum] = 100;
    r.exif[kExifExposureDen] = 250;
    r.exif[kExifFNumberNum] = 270;
    r.exif[kExifFNumberDen] = 100;
    r.exif[kExifIso] = 80;
    r.exif[kExifFocalNum] = 690;
    r.exif[kExifFocalDen] = 100;
    r.text(kExifModel, "Canon PowerShot S3 IS");
    r.text(kExifDateTime, "2008:05:31 22:48:20");
    r.text(kExifLens, "6.0-72.0 mm");
    const int32_t lat[6] = {38, 1, 37, 1, 3400, 100}, lon[6] = {90, 1, 11, 1, 2800, 100};
    std::memcpy(r.gps + kGpsLatitude, lat, sizeof lat);
    std::memcpy(r.gps + kGpsLongitude, lon, sizeof lon);
    r.gps[kGpsAltitude] = 1425;
    r.gps[kGpsAltitude + 1] = 10;
    const int32_t t[6] = {3, 1, 48, 1, 20, 1};
    std::memcpy(r.gps + kGpsTimeStamp, t, sizeof t);
    r.gpsBytes()[kGpsLatRefByte] = 'N';
    r.gpsBytes()[kGpsLonRefByte] = 'W';
    r.gpsBytes()[kGpsAltRefByte] = 1;
    std::memcpy(r.gpsBytes() + kGpsDateByte, "2008:06:01", 11);
    return r;
}

} // namespace exiftest
