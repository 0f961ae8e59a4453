// The compact EXIF layer. The record is widened into an ExifInfo around each call to the source
// reader's parsers (the Exif IFD, the ImageDescription text) and the exifBuf conversion, so the
// two layers cannot drift apart; the directory walk is the shared bounded one.
#include "metadata/compact_exif.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "imagecore/byte_order.h"
#include "imagecore/tiff_ifd.h"
#include "metadata/detail/exif_shared.h"
#include "metadata/exif_records.h"
#include "metadata/image_description.h"
#include "platform/file_holder.h"

namespace {

// Diagnostics of malformed JPEG marker walks; off unless a developer turns them on.
constexpr int kTraceCompact = 0;
void trace(const char *message)
{
    if (kTraceCompact)
        std::fputs(message, stderr);
}

// A JPEG marker's code is the first byte that is not FF among this many.
constexpr int kMaxMarkerBytes = 7;

// Calls f(wide field, compact field) for every field the two records share.
template <class Wide, class Compact, class F> void each_shared_field(Wide &w, Compact &c, F f)
{
    f(w.sourceFlag, c.sourceFlag);
    f(w.exposureTime, c.exposureTime);
    f(w.fNumber, c.fNumber);
    f(w.iso, c.iso);
    f(w.focalLength, c.focalLength);
    f(w.focalLength35, c.focalLength35);
    f(w.focalPlaneXRes, c.focalPlaneXRes);
    f(w.focalPlaneUnit, c.focalPlaneUnit);
    f(w.model, c.model);
    f(w.dateTime, c.dateTime);
    f(w.thumbWidth, c.thumbWidth);
    f(w.thumbHeight, c.thumbHeight);
    f(w.thumbRowBytes, c.thumbRowBytes);
    f(w.thumbLength, c.thumbLength);
    f(w.thumbOffset, c.thumbOffset);
}

template <class T> void copy_field(T &to, const T &from)
{
    std::memcpy(&to, &from, sizeof to);
}

// The record inside a zeroed ExifInfo, and back.
ExifInfo widened(const CompactExifInfo &c)
{
    ExifInfo w;
    init_exifInfo(&w);
    each_shared_field(w, c, [](auto &wide, auto &compact) { copy_field(wide, compact); });
    return w;
}
void narrow_into(const ExifInfo &w, CompactExifInfo &c)
{
    each_shared_field(w, c, [](auto &wide, auto &compact) { copy_field(compact, wide); });
}

// The JPEG variant's marker walk up to its first APP1, which must hold the EXIF block. 0 with
// base at the TIFF header, or getImageExif's code.
int locate_exif_app1(FILE *f, uint64_t length, uint64_t &base)
{
    uint8_t b[8];
    if (!platform::read_at(f, length, 0, b, 2) || b[0] != 0xFF || b[1] != 0xD8)
        return -1;
    uint64_t pos = 2;
    for (;;) {
        int code = -1;
        for (int i = 0; i < kMaxMarkerBytes && code < 0; ++i) {
            if (!platform::read_at(f, length, pos++, b, 1))
                return -1;
            if (b[0] != 0xFF)
                code = b[0];
        }
        if (code < 0) {
            trace("too many padding bytes\n");
            return -1;
        }
        if (code == 0xD9) {
            trace("No image in jpeg!\n");
            return -1;
        }
        if (code == 0xDA) { // the scan, and no EXIF before it
            trace("Exif buf not found\n");
            return -2;
        }
        if (!platform::read_at(f, length, pos, b, 2))
            return -1;
        const uint16_t itemlen = imagecore::read_be16(b);
        // A length that counts less than itself would walk backwards; one past the end of the
        // file leaves nothing to read.
        if (itemlen < 2 || !platform::range_inside(pos, itemlen, length))
            return -1;
        if (code == 0xE1) {
            if (!platform::read_at(f, length, pos + 2, b, 6) ||
                std::memcmp(b, "Exif\0\0", 6) != 0) {
                trace("Exif buf not found\n");
                return -2;
            }
            base = pos + 8;
            return 0;
        }
        if (kTraceCompact && code == 0xE2)
            std::fprintf(stderr, "ICC Profile marker %x  itemlen %d\n", code, int(itemlen));
        pos += itemlen;
    }
}

// The Exif IFD at offset ifd of t into info.
void parse_exif(const imagecore::TiffBytes &t, uint32_t ifd, CompactExifInfo &info)
{
    ExifInfo w = widened(info);
    metadata::detail::parse_exif_ifd(t, ifd, &w);
    narrow_into(w, info);
}

int read_compact(const char *path, int type, CompactExifInfo &info)
{
    uint64_t length = 0;
    platform::FilePtr f = platform::open_measured(path, length);
    if (!f)
        return -1;
    uint64_t base = 0;
    if (type == 1)
        if (int rc = locate_exif_app1(f.get(), length, base); rc < 0)
            return rc;
    imagecore::TiffBytes t = imagecore::TiffBytes::in_file(f.get(), length, base);
    uint32_t ifd0 = 0;
    if (int rc = imagecore::read_tiff_header(t, ifd0); rc < 0)
        return rc;

    const imagecore::IfdChainLimits limits{type == 0 || type == 1 ? imagecore::kMaxIfds : 1, true};
    int failure = 0;
    imagecore::walk_ifds(t, ifd0, limits, [&](int, const imagecore::TiffEntry &e) {
        // The stream placed at the data of an offset-valued tag, whose count is cut to the file.
        const int64_t count = int64_t(std::min<uint64_t>(e.count, t.left(e.value)));
        const auto seek_data = [&] {
            return e.value <= t.left(0) && std::fseek(f.get(), long(base + e.value), SEEK_SET) == 0;
        };
        switch (e.tag) {
        case 272: // Model
            metadata::detail::read_entry_text(t, e, int64_t(std::min<uint32_t>(e.count, 64)) - 1,
                                              info.model, sizeof info.model);
            break;
        case 270: // ImageDescription
            if (seek_data())
                parseImageDescription(f.get(), count, &info);
            break;
        case 34377: // Photoshop image resources
            if (seek_data() && parsePhotoshopData(f.get(), count, &info) == -4)
                failure = -4;
            break;
        case 34665: // Exif IFD
            parse_exif(t, e.value, info);
            break;
        default:
            break;
        }
        return failure == 0;
    });
    return failure != 0 ? failure : 1;
}

} // namespace

int getImageExif(const char *path, int type, CompactExifInfo *info)
{
    if (path == nullptr || info == nullptr)
        return -3;
    try {
        return read_compact(path, type, *info);
    } catch (const std::bad_alloc &) {
        return -4;
    }
}

int parseExif(FILE *f, int64_t /*length*/, CompactExifInfo *info, uint16_t order)
{
    if (f == nullptr || info == nullptr)
        return -3;
    const long pos = std::ftell(f);
    const long length = platform::file_length(f);
    if (pos < 0 || length < 0)
        return -1;
    const imagecore::TiffBytes t = imagecore::TiffBytes::in_file(f, uint64_t(length), 0, order);
    if (uint64_t(pos) <= UINT32_MAX)
        parse_exif(t, uint32_t(pos), *info);
    return 1;
}

int parsePhotoshopData(FILE *f, int64_t length, CompactExifInfo *info)
{
    if (f == nullptr || info == nullptr)
        return -3;
    metadata::detail::PhotoshopBlock block;
    if (int rc = metadata::detail::read_photoshop_block(f, length, block); rc != 0)
        return rc;
    // The resource head and the thumbnail fields after it take 27 bytes.
    const std::vector<uint8_t> &b = block.bytes;
    for (size_t i = 0; i + 27 <= b.size(); ++i) {
        if (std::memcmp(&b[i], "8BIM\x04\x0C", 6) != 0)
            continue;
        metadata::detail::PhotoshopThumb thumb;
        if (!metadata::detail::read_photoshop_thumb(f, block.fileLength, block.start + int64_t(i),
                                                    thumb))
            return 1;
        return metadata::detail::store_thumb(thumb, *info);
    }
    return 1;
}

int bufFromExifInfo(const CompactExifInfo *info, int32_t *exifBuf)
{
    if (info == nullptr || exifBuf == nullptr)
        return -3;
    const ExifInfo w = widened(*info);
    metadata::detail::fill_common_slots(&w, exifBuf, kCompactRationalScale);
    return exifBuf[kExifExposureNum];
}

int parseImageDescription(FILE *f, int64_t length, CompactExifInfo *info)
{
    if (f == nullptr || info == nullptr)
        return -3;
    ExifInfo w = widened(*info);
    const int rc = parse_image_description(f, length, &w);
    narrow_into(w, *info);
    return rc;
}
