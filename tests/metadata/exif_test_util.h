// Helpers shared by the metadata tests: byte helpers, TIFF structures with chosen Exif tags, the
// records and jobs of the two writers, and a little-endian IFD reader.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "imagecore/byte_order.h"
#include "imagecore/records.h"
#include "metadata/exif_records.h"
#include "metadata/jpeg_writer.h"
#include "metadata/tiff_writer.h"
#include "tests/support/bracket_generator.h"
#include "tests/support/fixtures.h"
#include "tonemap/tm_params.h"

namespace exiftest {

using testsupport::Bytes;

inline Bytes bytes_of(const std::string &s)
{
    return Bytes(s.begin(), s.end());
}
inline Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
inline long find_bytes(const Bytes &hay, const Bytes &needle) // -1 when absent
{
    auto it = std::search(hay.begin(), hay.end(), needle.begin(), needle.end());
    return it == hay.end() ? -1 : long(it - hay.begin());
}

// A small real JPEG (libjpeg) with the given marker segments after SOI and JFIF APP0.
inline Bytes jpeg_with(const std::vector<Bytes> &segments)
{
    uint8_t px[8 * 8 * 3] = {};
    return testsupport::encode_jpeg(px, 8, 8, 3, 90, segments);
}

// One tag of the Exif IFD: type 'S' SHORT, 'L' LONG, 'R' RATIONAL, 'X' SRATIONAL.
struct Tag {
    uint16_t tag;
    char type;
    int32_t num, den;
};
inline void add_tags(testsupport::TiffBuilder &t, size_t ifd, const std::vector<Tag> &tags)
{
    for (const Tag &g : tags) {
        if (g.type == 'S' || g.type == 'L')
            t.add_entry(ifd, g.tag, g.type == 'S' ? 3 : 4, 1,
                        g.type == 'S' ? t.u16({uint16_t(g.num)}) : t.u32({uint32_t(g.num)}));
        else
            t.add_entry(ifd, g.tag, g.type == 'R' ? 5 : 10, 1,
                        t.u32({uint32_t(g.num), uint32_t(g.den)}));
    }
}
// A TIFF structure whose IFD0 points to an Exif IFD holding tags.
inline Bytes exif_tags(const std::vector<Tag> &tags, bool big = false)
{
    testsupport::TiffBuilder t(big);
    size_t ifd0 = t.add_ifd(), exif = t.add_ifd(false);
    t.add_ifd_pointer(ifd0, 34665, exif);
    add_tags(t, exif, tags);
    return t.build();
}

// exifBuf and gpsBuf, zero-filled; text() clears room bytes first.
struct Records {
    int32_t exif[kExifBufCount] = {};
    int32_t gps[kGpsBufCount] = {};
    void text(int slot, const std::string &s, size_t room = 0)
    {
        std::memset(exif + slot, 0, room);
        std::memcpy(reinterpret_cast<char *>(exif + slot), s.data(), s.size());
    }
    uint8_t *gpsBytes() { return reinterpret_cast<uint8_t *>(gps); }
};

// Every field the EXIF block writes: exposure 1/2.5 s, f/2.7, ISO 80, 6.9 mm, model, date,
// lens and the whole GPS set.
inline Records full_records()
{
    Records r;
    const int32_t e[] = {100, 250, 270, 100, 0, 80, 0, 0, 0, 0, 690, 100};
    const int32_t g[] = {38,   1,   37,   1,  3400, 100, 90, 1, 11, 1,
                         2800, 100, 1425, 10, 3,    1,   48, 1, 20, 1};
    std::memcpy(r.exif, e, sizeof e);
    std::memcpy(r.gps, g, sizeof g);
    r.text(kExifModel, "Canon PowerShot S3 IS");
    r.text(kExifDateTime, "2008:05:31 22:48:20");
    r.text(kExifLens, "6.0-72.0 mm");
    std::memcpy(r.gpsBytes() + kGpsLatRefByte, "NW\1", 3);
    std::memcpy(r.gpsBytes() + kGpsDateByte, "2008:06:01", 11);
    return r;
}

// One job of either writer. Pixels: a ramp for 1 or 3 samples, a byte pattern otherwise.
struct Job {
    int w, h, spp, bits;
    int32_t info[kSaveInfoCount] = {};
    Bytes pixels, icc, iptc;
    Records rec;
    std::string xmp; // buf2tif only: a packet to carry, without its NUL; empty: none
    int method = 0;
    float param[kTmParamCount] = {};
    testsupport::TempDir dir;
    explicit Job(int width = 10, int height = 5, int samples = 3, int depth = 16)
        : w(width), h(height), spp(samples), bits(depth)
    {
        reset();
    }
    void reset()
    {
        pixels.resize(size_t(w) * size_t(h) * size_t(spp) * size_t(bits / 8));
        for (size_t i = 0; i < pixels.size(); ++i)
            pixels[i] = uint8_t(i * 7 + 3);
        if (spp == 1 || spp == 3)
            pixels = testsupport::render_ramp(w, h, bits, spp);
        const int32_t v[] = {w, h, spp, bits, 300, 240, 0, 0, 0, 0, 1};
        std::memcpy(info, v, sizeof v);
    }
    int tif(const std::string &path, int rowBytes = -1)
    {
        info[kSaveIccLength] = int32_t(icc.size());
        if (rowBytes < 0)
            rowBytes = info[kSaveIs16to8] ? w * spp : w * spp * bits / 8;
        return buf2tif(pixels.data(), info, rowBytes, icc.empty() ? nullptr : icc.data(), rec.exif,
                       rec.gps, int(iptc.size()), iptc.empty() ? nullptr : iptc.data(), method,
                       param, xmp.empty() ? 0 : int(xmp.size()) + 1,
                       xmp.empty() ? nullptr : xmp.c_str(), path.c_str());
    }
    int jpg(const std::string &path, int rowBytes = -1)
    {
        info[kSaveIccLength] = int32_t(icc.size());
        return KVwritejpg(path.c_str(), 90, info, rowBytes < 0 ? w * spp : rowBytes,
                          icc.empty() ? nullptr : icc.data(), rec.exif, rec.gps, int(iptc.size()),
                          iptc.empty() ? nullptr : iptc.data(), method, param, pixels.data());
    }
    std::string path(bool tiff) const { return dir.file(tiff ? "out.tif" : "out.jpg"); }
    // Writes out.tif or out.jpg and returns its bytes.
    Bytes file(bool tiff)
    {
        EXPECT_EQ(tiff ? tif(path(true)) : jpg(path(false)), h);
        return testsupport::read_file(path(tiff));
    }
};

struct Entry {
    uint16_t tag, type;
    uint32_t count, value;
    const uint8_t *field; // the 4-byte value field, inside the bytes read
};
// The entries of the little-endian IFD at pos, as many as lie inside b.
inline std::vector<Entry> read_ifd(const Bytes &b, uint32_t pos)
{
    using imagecore::read_le16;
    using imagecore::read_le32;
    std::vector<Entry> out;
    for (uint16_t i = 0; pos + 2 + 12 * (i + 1u) <= b.size() && i < read_le16(&b[pos]); ++i) {
        const uint8_t *e = &b[pos + 2 + 12 * i];
        out.push_back({read_le16(e), read_le16(e + 2), read_le32(e + 4), read_le32(e + 8), e + 8});
    }
    return out;
}
inline std::vector<Entry> ifd0_of(const Bytes &f)
{
    return f.size() < 8 ? std::vector<Entry>{} : read_ifd(f, imagecore::read_le32(&f[4]));
}
inline std::vector<uint16_t> tags_of(const std::vector<Entry> &ifd)
{
    std::vector<uint16_t> tags;
    for (const Entry &e : ifd)
        tags.push_back(e.tag);
    return tags;
}
inline std::optional<Entry> find(const std::vector<Entry> &ifd, uint16_t tag)
{
    for (const Entry &e : ifd)
        if (e.tag == tag)
            return e;
    return std::nullopt;
}
// An ASCII entry's bytes, count of them, from the value field or its offset in b.
inline std::string text_of(const Bytes &b, const Entry &e)
{
    const uint8_t *p = e.count <= 4 ? e.field : &b[e.value];
    return std::string(reinterpret_cast<const char *>(p), e.count);
}

} // namespace exiftest
