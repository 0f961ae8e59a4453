// Source metadata reader over a C stream. Every offset, count and length taken from the file is
// checked against the file's length before it is used, so truncated or hostile files end with
// a code or with the fields read so far, never with reads or allocations beyond the file.
#include "metadata/exif_reader.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <vector>

#include "imagecore/byte_order.h"
#include "imagecore/tiff_ifd.h"
#include "metadata/detail/exif_fields.h"
#include "metadata/detail/exif_shared.h"
#include "metadata/image_description.h"
#include "metadata/metadata_utils.h"
#include "metadata/xmp_settings.h"
#include "platform/checked_size.h"
#include "platform/file_holder.h"

namespace {

using namespace metadata::detail;

// Diagnostics of malformed JPEG marker walks; off unless a developer turns them on.
constexpr int kTraceExif = 0;
void trace(const char *message)
{
    if (kTraceExif)
        std::fputs(message, stderr);
}

constexpr int64_t kInt32Max = INT32_MAX;

constexpr size_t kXmpSignatureLen = sizeof metadata::kXmpApp1Signature; // 29

float ratio(int32_t num, int32_t den)
{
    return float(num) / float(den);
}

using imagecore::TiffEntry;

class Reader {
public:
    Reader(FILE *f, int64_t length, ExifInfo *info) : m_f(f), m_length(length), m_info(info) {}

    bool inside(int64_t pos, int64_t len) const
    {
        return pos >= 0 && len >= 0 &&
               platform::range_inside(uint64_t(pos), uint64_t(len), uint64_t(m_length));
    }
    int64_t left(int64_t pos) const { return pos >= 0 && pos <= m_length ? m_length - pos : 0; }
    // The bytes from pos to the end of what holds the TIFF structure: the file, the EXIF
    // segment of a JPEG, the EXIF resource of a PSD.
    int64_t left_in_holder(int64_t pos) const
    {
        return pos >= 0 && pos <= m_holderEnd ? m_holderEnd - pos : 0;
    }
    void set_holder_end(int64_t end) { m_holderEnd = std::clamp<int64_t>(end, 0, m_length); }
    bool seek(int64_t pos)
    {
        return pos >= 0 && pos <= m_length && std::fseek(m_f, long(pos), SEEK_SET) == 0;
    }
    int64_t tell() const { return std::ftell(m_f); }
    bool read(void *dst, size_t n) { return std::fread(dst, 1, n, m_f) == n; }
    // n bytes at pos, refused unless they all lie inside the file.
    bool read_at(int64_t pos, void *dst, size_t n)
    {
        return pos >= 0 && platform::read_at(m_f, uint64_t(m_length), uint64_t(pos), dst, n);
    }
    int getc() { return std::getc(m_f); }
    FILE *file() const { return m_f; }
    int64_t length() const { return m_length; }
    ExifInfo *info() const { return m_info; }

    void set_base(int64_t base) { m_base = base; }
    int64_t base() const { return m_base; }
    void set_order(uint16_t order) { m_order = order; }
    // The TIFF structure at the base, for the directory walk.
    imagecore::TiffBytes tiff() const
    {
        return imagecore::TiffBytes::in_file(m_f, uint64_t(m_length), uint64_t(m_base), m_order);
    }

    // Calls handle(entry) for each entry of the directory at offset dir (from the base) that
    // lies inside the file, until an allocation has failed.
    template <class F> void each_entry(uint64_t dir, F handle)
    {
        const imagecore::TiffBytes t = tiff();
        imagecore::IfdHead d;
        if (!imagecore::read_ifd_head(t, dir, d))
            return;
        imagecore::walk_ifd(t, d, [&](const TiffEntry &e) {
            handle(e);
            return failure == 0;
        });
    }

    template <size_t N> void text_into(const TiffEntry &e, int64_t maxChars, char (&dst)[N])
    {
        read_entry_text(tiff(), e, maxChars, dst, N);
    }

    // A rational at base + offset as two signed 32-bit fields; false when outside the file.
    bool rational(int64_t offset, int32_t &num, int32_t &den)
    {
        uint8_t b[8];
        if (!read_at(m_base + offset, b, 8))
            return false;
        num = int32_t(imagecore::read_u32(b, m_order));
        den = int32_t(imagecore::read_u32(b + 4, m_order));
        return true;
    }
    // The entry's rationals into out (num, den pairs): at most as many as the entry counts and
    // out holds, and only those that lie inside the file.
    template <size_t N> void rationals(const TiffEntry &e, int32_t (&out)[N])
    {
        const uint32_t n = std::min<uint32_t>(e.count, uint32_t(N / 2));
        for (uint32_t i = 0; i < n; ++i)
            if (!rational(int64_t(e.word) + 8 * i, out[2 * i], out[2 * i + 1]))
                return;
    }
    // A positive-denominator rational at the entry's offset into out, as a float.
    void ratio_into(const TiffEntry &e, float &out)
    {
        int32_t num = 0, den = 0;
        if (rational(e.value, num, den) && den > 0)
            out = ratio(num, den);
    }

    int failure = 0; // -4 once an allocation failed

private:
    FILE *m_f;
    int64_t m_length;
    ExifInfo *m_info;
    int64_t m_base = 0;
    int64_t m_holderEnd = m_length;
    uint16_t m_order = imagecore::kOrderMM;
};

// The length of the whole IPTC records in the len bytes at file position at, which lie inside
// the file. Read a window at a time: a tag's count may name the rest of a large file.
int64_t iptc_records_in_file(Reader &r, int64_t at, int64_t len)
{
    constexpr int64_t kWindow = 65536;
    std::vector<uint8_t> window(size_t(std::clamp<int64_t>(len, 0, kWindow)));
    int64_t whole = 0;
    while (whole < len) {
        const size_t n = size_t(std::min(len - whole, kWindow));
        if (!r.read_at(at + whole, window.data(), n))
            break;
        const uint64_t more = iptc_records_length(window.data(), n, uint64_t(len - whole));
        if (more == 0)
            break;
        whole += int64_t(more);
    }
    return whole;
}

void parse_exif_ifd(Reader &r, uint64_t ifd)
{
    ExifInfo *info = r.info();
    float fromShutter = 0;
    r.each_entry(ifd, [&](const TiffEntry &e) {
        int32_t num = 0, den = 0;
        switch (e.tag) {
        case 33434: // ExposureTime
            r.ratio_into(e, info->exposureTime);
            break;
        case 33437: // FNumber
            r.ratio_into(e, info->fNumber);
            break;
        case 34855: // ISOSpeedRatings
            info->iso = int32_t(e.value);
            break;
        case 36867: // DateTimeOriginal
            r.text_into(e, std::min<int64_t>(e.count, 19), info->dateTime);
            break;
        case 37377: // ShutterSpeedValue (APEX Tv); used only when ExposureTime is absent
            if (r.rational(e.value, num, den))
                if (auto t = exposure_from_apex_tv(num, den))
                    fromShutter = *t;
            break;
        case 37378: // ApertureValue (APEX Av)
        case 37381: // MaxApertureValue
            if (info->fNumber == 0 && r.rational(e.value, num, den) && den > 0)
                info->fNumber = fnumber_from_apex_av(ratio(num, den));
            break;
        case 37386: // FocalLength
            r.ratio_into(e, info->focalLength);
            break;
        case 41486: // FocalPlaneXResolution
            r.ratio_into(e, info->focalPlaneXRes);
            break;
        case 41488: // FocalPlaneResolutionUnit
            info->focalPlaneUnit = int32_t(e.value);
            break;
        case 41493: // ExposureIndex: never overrides ISOSpeedRatings
            if (info->iso == 0 && r.rational(e.value, num, den))
                info->iso = den > 0 ? num / den : num;
            break;
        case 41989: // FocalLengthIn35mmFilm
            info->focalLength35 = int32_t(e.value);
            break;
        default:
            break;
        }
    });
    if (info->exposureTime == 0 && fromShutter > 0)
        info->exposureTime = fromShutter;
}

// No SHORT rule here: every value field is read whole.
void parse_gps_ifd(Reader &r, uint64_t ifd)
{
    ExifInfo *info = r.info();
    r.each_entry(ifd, [&](const TiffEntry &e) {
        switch (e.tag) {
        case 1:
            info->latRef = char(e.field[0]);
            break;
        case 2:
            r.rationals(e, info->latitude);
            break;
        case 3:
            info->lonRef = char(e.field[0]);
            break;
        case 4:
            r.rationals(e, info->longitude);
            break;
        case 5:
            info->altRef = char(e.field[0]);
            break;
        case 6:
            r.rationals(e, info->altitude);
            break;
        case 7:
            r.rationals(e, info->gpsTime);
            break;
        case 29:
            r.text_into(e, int64_t(std::min<uint32_t>(e.count, 11)) - 1, info->gpsDate);
            break;
        default:
            break;
        }
    });
}

// Handles the entries of IFD k of the chain. isTiff enables the tags read only from TIFF files.
void parse_ifd_entries(Reader &r, uint64_t ifd, int k, bool isTiff)
{
    ExifInfo *info = r.info();
    const int64_t base = r.base();
    r.each_entry(ifd, [&](const TiffEntry &e) {
        const int64_t at = base + e.value; // where the data lies for offset-valued tags
        switch (e.tag) {
        case 272: // Model
            r.text_into(e, int64_t(std::min<uint32_t>(e.count, 64)) - 1, info->model);
            break;
        case 270: // ImageDescription
            if (isTiff && r.seek(at))
                parse_image_description(r.file(), std::min<int64_t>(e.count, r.left(at)), info);
            break;
        case 274: // Orientation
            if (e.type == kTypeShort)
                info->orientation = int32_t(e.value);
            break;
        case 513: // JPEGInterchangeFormat, in the thumbnail's IFD
            if (k >= 1 && at <= kInt32Max)
                info->thumbOffset = int32_t(at);
            break;
        case 514: // JPEGInterchangeFormatLength
            if (k >= 1 && e.value <= kInt32Max)
                info->thumbLength = int32_t(e.value);
            break;
        case 34377: // Photoshop image resources
            if (isTiff && r.seek(at)) {
                if (parse_photoshop_data(r.file(), std::min<int64_t>(e.count, r.left(at)), info) ==
                    -4)
                    r.failure = -4;
            }
            break;
        case 34665: // Exif IFD
            parse_exif_ifd(r, e.value);
            break;
        case 34853: // GPS IFD
            parse_gps_ifd(r, e.value);
            break;
        case 700: // XMP packet; the offset is kept relative to the TIFF header
            if (r.inside(at, 0) && e.value <= kInt32Max && base <= kInt32Max) {
                info->xmpLength = int32_t(std::min<int64_t>({e.count, r.left(at), kInt32Max}));
                info->xmpOffset = int32_t(e.value);
                info->xmpBase = int32_t(base);
            }
            break;
        case 33723: // IPTC; LONG counts are in 4-byte units
            if (r.inside(at, 0) && e.value <= kInt32Max && base <= kInt32Max) {
                const int64_t len = e.type == kTypeLong        ? int64_t(e.count) * 4
                                    : e.type == kTypeUndefined ? int64_t(e.count)
                                                               : 0;
                // Only whole records, inside the tag's data and what holds the structure.
                const int64_t whole = iptc_records_in_file(
                    r, at, std::min<int64_t>({len, r.left_in_holder(at), kInt32Max}));
                if (whole > 0) {
                    info->iptcLength = int32_t(whole);
                    info->iptcOffset = int32_t(e.value);
                    info->iptcBase = int32_t(base);
                }
            }
            break;
        default:
            break;
        }
    });
}

// The JPEG marker code after up to five bytes: the first that is not FF. -1 at the end of the
// file, -2 when all five are FF.
int marker_code(Reader &r)
{
    for (int i = 0; i < 5; ++i) {
        int c = r.getc();
        if (c == EOF)
            return -1;
        if (c != 0xFF)
            return c;
    }
    trace("too many padding bytes\n");
    return -2;
}

// Reads the length field of a segment (it counts itself, so it is 2 or more). 0 with len set;
// 1 when the file ends first; -1 on a length below 2.
int segment_length(Reader &r, uint16_t &len)
{
    uint8_t b[2];
    if (!r.read(b, 2))
        return 1;
    len = imagecore::read_be16(b);
    if (len < 2) {
        trace("invalid marker\n");
        return -1;
    }
    return 0;
}

// Skips the segment whose length field comes next. 0; 1 when the file ends first (or the
// segment passes its end); -1 on a length below 2.
int skip_segment(Reader &r)
{
    const int64_t start = r.tell();
    uint16_t len = 0;
    if (int rc = segment_length(r, len); rc != 0)
        return rc;
    return r.seek(start + len) ? 0 : 1;
}

// Walks the markers from the current position to the next APP1, skipping every other segment
// by its length, over at most maxMarkers markers. 0 with the stream at the APP1's length field;
// -1 too much padding or the end of the file where a marker was expected; -2 end of image or
// start of scan; -3 a segment length below 2; 1 when a segment runs past the end of the file
// or no APP1 came within maxMarkers.
int walk_to_app1(Reader &r, int maxMarkers)
{
    for (int n = 0; n < maxMarkers; ++n) {
        int code = marker_code(r);
        if (code < 0)
            return -1;
        if (code == 0xD9 || code == 0xDA)
            return -2;
        if (code == 0xE1)
            return 0;
        if (int rc = skip_segment(r); rc != 0)
            return rc < 0 ? -3 : 1;
    }
    return 1;
}

// Looks for a packet of this system in the APP1 segment that follows the EXIF APP1 (which ends
// at pos) and records its position and the lens name it carries. Returns -1 only for a segment
// length below 2 in the walk; a missing or unreadable packet just leaves the fields at 0.
int find_xmp(Reader &r, int64_t pos)
{
    ExifInfo *info = r.info();
    if (!r.seek(pos))
        return 0;
    if (int rc = walk_to_app1(r, 10); rc != 0)
        return rc == -3 ? -1 : 0;

    uint8_t b[2];
    char sig[kXmpSignatureLen];
    if (!r.read(b, 2))
        return 0;
    uint16_t len = imagecore::read_be16(b);
    if (len < 2 || !r.read(sig, kXmpSignatureLen) ||
        std::memcmp(sig, metadata::kXmpApp1Signature, kXmpSignatureLen) != 0)
        return 0;
    // The recorded length is the segment's length field (it counts the 2 length bytes and the
    // signature besides the packet); only the packet's own bytes are read.
    const int64_t offset = r.tell();
    info->xmpLength = len;
    info->xmpOffset = int32_t(offset);
    info->xmpBase = 0;
    const int64_t packetLen = int64_t(len) - 2 - int64_t(kXmpSignatureLen);
    bool keep = false;
    if (packetLen >= 1 && r.inside(offset, packetLen)) {
        std::vector<char> packet(size_t(packetLen) + 1, '\0');
        if (r.read(packet.data(), size_t(packetLen))) {
            int n = int(packetLen) + 1;
            get_settings_from_xmp(100, n, packet.data(), info->lens, nullptr);
            // The program's packet, whether or not it names a method (methods 12 to 14 do not).
            keep = metadata::recorded_method({packet.data(), size_t(packetLen)}) != 0;
        }
    }
    if (!keep) {
        info->xmpLength = 0;
        info->xmpOffset = 0;
    }
    return 0;
}

// First pass of a JPEG: up to the first APP1, whose TIFF header the caller reads next.
int locate_jpeg_exif(Reader &r)
{
    uint8_t soi[2];
    if (!r.read(soi, 2) || soi[0] != 0xFF || soi[1] != 0xD8)
        return -1;
    if (int rc = walk_to_app1(r, INT_MAX); rc != 0)
        return rc == -2 ? -2 : -1;
    const int64_t segStart = r.tell();
    uint16_t len = 0;
    if (segment_length(r, len) != 0)
        return -1;
    uint8_t head[6];
    if (!r.read(head, 6))
        return -2;
    if (std::memcmp(head, "Exif\0\0", 6) != 0) {
        // Not EXIF: the header test that follows, at this position, refuses it.
        r.set_base(0);
        return 0;
    }
    r.set_base(r.tell());
    r.set_holder_end(segStart + len);
    if (find_xmp(r, segStart + len) < 0)
        return -1;
    return r.seek(r.base()) ? 0 : -1;
}

// Walks the Photoshop resources to resource 1058, the EXIF data.
int locate_psd_exif(Reader &r)
{
    // Signature, version, 6 reserved bytes, channels, height, width, depth, colour mode, then
    // the colour-mode data length.
    uint8_t h[30];
    if (!r.read_at(0, h, 4))
        return -1;
    if (std::memcmp(h, "8BPS", 4) != 0)
        return -2;
    if (!r.read_at(0, h, 30))
        return -1;
    if (imagecore::read_be16(h + 12) < 3 || imagecore::read_be16(h + 24) != 3)
        return -3;
    const int64_t resLenPos = 30 + int64_t(imagecore::read_be32(h + 26));
    uint8_t b[4];
    if (!r.read_at(resLenPos, b, 4))
        return -1;
    const int64_t resLen = imagecore::read_be32(b);
    if (resLen < 1)
        return -1;
    int64_t block = resLenPos + 4;
    int64_t sum = 0;
    for (;;) {
        uint8_t rb[12];
        if (!r.read_at(block, rb, 12) || std::memcmp(rb, "8BIM", 4) != 0)
            return -1;
        const uint16_t id = imagecore::read_be16(rb + 4);
        const int64_t size = imagecore::read_be32(rb + 8);
        if (id == 1058) {
            r.set_base(block + 12);
            r.set_holder_end(block + 12 + size);
            return 0;
        }
        const int64_t blockLen = 12 + size + (size & 1);
        sum += blockLen;
        if (sum >= resLen)
            return -1;
        block += blockLen;
    }
}

// Second pass of a JPEG: the IPTC block inside a Photoshop APP13 segment.
int find_jpeg_iptc(Reader &r)
{
    uint8_t soi[2];
    if (!r.seek(0) || !r.read(soi, 2) || soi[0] != 0xFF || soi[1] != 0xD8)
        return -1;
    for (;;) {
        int c = r.getc();
        if (c == EOF)
            return 1; // as for a file without APP13
        if (c != 0xFF)
            return -10;
        int code = r.getc();
        if (code == EOF || code == 0xDA || code == 0xD9)
            return 1;
        if (code == 0xED)
            break;
        if (int rc = skip_segment(r); rc != 0)
            return rc < 0 ? -1 : 1;
    }
    uint16_t len = 0;
    if (int rc = segment_length(r, len); rc != 0)
        return rc < 0 ? -1 : 1;
    char head[14];
    if (len >= 16 && r.read(head, 14) && std::memcmp(head, "Photoshop 3.0\0", 14) == 0) {
        // The segment's own resources: its length less the length field and the header.
        if (parse_photoshop_data(r.file(), int64_t(len) - 16, r.info()) == -4)
            return -4;
    }
    return 1;
}

int read_exif(FILE *f, int type, ExifInfo *info)
{
    uint64_t length = 0;
    if (!platform::stream_length(f, length) || std::fseek(f, 0, SEEK_SET) != 0)
        return -1;
    Reader r(f, int64_t(length), info);

    const bool isJpeg = type == 1;
    int rc = 0;
    if (isJpeg)
        rc = locate_jpeg_exif(r);
    else if (type == 2)
        rc = locate_psd_exif(r);
    if (rc < 0)
        return rc;
    if (!isJpeg && !r.seek(r.base()))
        return -2;

    uint8_t mark[2];
    if (!r.read(mark, 2))
        return -2;
    const uint16_t order = imagecore::tiff_byte_order(mark);
    if (order == 0)
        return -2;
    r.set_order(order);
    if (fgetmi2(f, order) != 42)
        return -3;

    // At most three directories (IFD0, IFD1, IFD2), which also ends any loop in the chain.
    uint8_t b[4];
    const uint32_t ifd0 = r.read_at(r.tell(), b, 4) ? imagecore::read_u32(b, order) : 0;
    imagecore::walk_ifd_chain(r.tiff(), ifd0, {3, true}, [&](int k, const imagecore::IfdHead &d) {
        parse_ifd_entries(r, d.at, k, type != 1 && type != 2);
        return r.failure == 0;
    });
    if (r.failure)
        return r.failure;
    return isJpeg ? find_jpeg_iptc(r) : 1;
}

} // namespace

int getExifData(FILE *f, int type, ExifInfo *info)
{
    if (info == nullptr)
        return -3;
    init_exifInfo(info);
    if (f == nullptr)
        return -1;
    try {
        return read_exif(f, type, info);
    } catch (const std::bad_alloc &) {
        return -4;
    }
}

int getExifData(const char *path, int type, ExifInfo *info)
{
    if (info == nullptr)
        return -3;
    if (path == nullptr) {
        init_exifInfo(info);
        return -3;
    }
    platform::FilePtr f = platform::open_file(path, "rb");
    return getExifData(f.get(), type, info);
}

int read_iptc(FILE *f, int length, int offset, uint8_t *buffer)
{
    if (length <= 0 || offset < 0)
        return 0;
    if (buffer == nullptr)
        return -3;
    uint64_t size = 0;
    if (f == nullptr || !platform::stream_length(f, size))
        return -1;
    // A block that ends exactly at the end of the file (the last thing in a TIFF) is whole.
    if (!platform::range_inside(uint64_t(offset), uint64_t(length), size))
        return 0;
    if (std::fseek(f, offset, SEEK_SET) != 0 ||
        std::fread(buffer, 1, size_t(length), f) != size_t(length))
        return -1;
    // Carried on are whole records only: never bytes past them, whatever length was recorded.
    const uint64_t whole = iptc_records_length(buffer, size_t(length));
    return whole > 0 ? int(whole) : -2;
}

int read_iptc(const char *path, int length, int offset, uint8_t *buffer)
{
    if (length <= 0 || offset < 0)
        return 0;
    if (path == nullptr || buffer == nullptr)
        return -3;
    platform::FilePtr f = platform::open_file(path, "rb");
    return read_iptc(f.get(), length, offset, buffer);
}

int parse_photoshop_data(FILE *f, int64_t length, ExifInfo *info)
{
    if (f == nullptr || info == nullptr)
        return -3;
    metadata::detail::PhotoshopBlock block;
    if (int rc = metadata::detail::read_photoshop_block(f, length, block); rc != 0)
        return rc;
    const std::vector<uint8_t> &buf = block.bytes;

    int result = 1;
    for (size_t i = 0; i + 4 <= buf.size(); ++i) {
        if (std::memcmp(&buf[i], "8BIM", 4) != 0 || i + 8 > buf.size())
            continue;
        const int64_t at = block.start + int64_t(i);
        if (buf[i + 4] == 0x04 && buf[i + 5] == 0x04) { // 1028 IPTC-NAA
            // The whole records inside these resources (an APP13 segment's, a TIFF tag's),
            // whatever size the resource states.
            if (i + 12 <= buf.size() && at + 12 <= kInt32Max) {
                const size_t size = size_t(std::min<uint64_t>(
                    {imagecore::read_be32(&buf[i + 8]), buf.size() - (i + 12), kInt32Max}));
                if (const uint64_t whole = iptc_records_length(&buf[i + 12], size); whole > 0) {
                    info->iptcOffset = int32_t(at + 12);
                    info->iptcBase = 0;
                    info->iptcLength = int32_t(whole);
                }
            }
        } else if (buf[i + 4] == 0x04 && buf[i + 5] == 0x0C) { // 1036 thumbnail
            metadata::detail::PhotoshopThumb t;
            if (metadata::detail::read_photoshop_thumb(f, block.fileLength, at, t))
                result = metadata::detail::store_thumb(t, *info);
        }
    }
    return result;
}

namespace metadata::detail {

void parse_exif_ifd(const imagecore::TiffBytes &t, uint32_t ifd, ExifInfo *info)
{
    Reader r(t.file, int64_t(t.length), info);
    r.set_base(int64_t(t.base));
    r.set_order(t.order);
    ::parse_exif_ifd(r, ifd);
}

void read_entry_text(const imagecore::TiffBytes &t, const imagecore::TiffEntry &e, int64_t maxChars,
                     char *dst, size_t capacity)
{
    const uint64_t at = e.count <= 4 ? uint64_t(e.fieldAt) : e.value;
    const int64_t n = std::min<int64_t>(
        {maxChars, int64_t(capacity) - 1, int64_t(std::min<uint64_t>(t.left(at), INT32_MAX))});
    if (n <= 0)
        return;
    std::memset(dst, 0, capacity);
    if (!t.read(at, dst, size_t(n))) {
        std::memset(dst, 0, capacity);
        return;
    }
    if (char *nl = static_cast<char *>(std::memchr(dst, '\n', size_t(n))))
        std::memset(nl + 1, 0, size_t(dst + n - (nl + 1)));
}

int read_photoshop_block(FILE *f, int64_t length, PhotoshopBlock &block)
{
    const long start = std::ftell(f);
    const long fileLength = platform::file_length(f);
    if (start < 0 || fileLength < 0 || start > fileLength)
        return 1;
    block.start = start;
    block.fileLength = fileLength;
    try {
        block.bytes.assign(size_t(std::clamp<int64_t>(length, 0, fileLength - start)), 0);
    } catch (const std::bad_alloc &) {
        return -4;
    }
    const size_t got =
        block.bytes.empty() ? 0 : std::fread(block.bytes.data(), 1, block.bytes.size(), f);
    block.bytes.resize(got);
    return 0;
}

bool read_photoshop_thumb(FILE *f, int64_t fileLength, int64_t at, PhotoshopThumb &thumb)
{
    // After the 12-byte block head: format, width, height, row bytes, total size, compressed
    // size (u32 each), bits per pixel and planes (u16 each), then the JPEG data.
    uint8_t t[24];
    if (at < 0 || at + 40 > kInt32Max ||
        !platform::read_at(f, uint64_t(fileLength), uint64_t(at + 16), t, 24))
        return false;
    thumb.width = int32_t(imagecore::read_be32(t));
    thumb.height = int32_t(imagecore::read_be32(t + 4));
    thumb.rowBytes = int32_t(imagecore::read_be32(t + 8));
    thumb.length = int32_t(std::min<int64_t>(
        {imagecore::read_be32(t + 16), std::max<int64_t>(fileLength - (at + 40), 0), kInt32Max}));
    thumb.offset = int32_t(at + 40);
    return true;
}

} // namespace metadata::detail
