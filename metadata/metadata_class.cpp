// Relative exposures and the in-memory EXIF reader of the MetaData class. The reader keeps its
// parse state in a record owned by each call, and reads nothing outside the data object.
#include "metadata/metadata_class.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "imagecore/byte_order.h"
#include "imagecore/float_clamp.h"
#include "metadata/detail/exif_fields.h"
#include "metadata/exif_records.h"
#include "platform/checked_size.h"

namespace {

using namespace metadata::detail;

// Diagnostics of malformed EXIF headers; off unless a developer turns them on.
constexpr int kTraceMetaData = 0;

// The float32 nearest 20.64516: one second at ISO 100 and f/8 is worth about 32.26.
constexpr float kExposureScale = 20.64516f;

// Bytes of one value of each TIFF type (index = type code; unknown types 0).
constexpr int kTypeSize[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};

void record_from(const platform::DataPtr &obj, int32_t rec[kExifBufCount])
{
    std::memset(rec, 0, kExifBufBytes);
    if (obj)
        obj->getBytes(rec, kExifBufBytes);
}

} // namespace

platform::DataPtr MetaData::getEV(const platform::DataArray &exifBufs) const
{
    try {
        std::vector<float> deltaT(exifBufs.size());
        for (size_t i = 0; i < exifBufs.size(); ++i) {
            int32_t rec[kExifBufCount];
            record_from(exifBufs[i], rec);
            const int32_t num = rec[kExifExposureNum], den = rec[kExifExposureDen];
            if (num == 0 && den == 0) {
                // No exposure time: the record may carry an offset in thousandths of a stop.
                deltaT[i] = float(std::exp2(rec[kExifExposureOffset] * 0.001));
                continue;
            }
            const float t = den != 0 ? float(num) / float(den) : 0.0f;
            const float n = rec[kExifFNumberNum] > 0 && rec[kExifFNumberDen] > 0
                                ? float(rec[kExifFNumberNum]) / float(rec[kExifFNumberDen])
                                : 8.0f;
            const float s = rec[kExifIso] > 0 ? float(rec[kExifIso]) : 100.0f;
            deltaT[i] = t * s * kExposureScale / (n * n);
        }
        return platform::Data::copy(deltaT.data(), deltaT.size() * sizeof(float));
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

int MetaData::scanExif(const platform::DataPtr &exifBuf) const
{
    int32_t rec[kExifBufCount];
    record_from(exifBuf, rec);
    if (rec[kExifExposureNum] == 0 || rec[kExifExposureDen] == 0)
        return 0;
    return rec[kExifSourceFlag] == 2 ? 2 : 1;
}

int64_t MetaData::getExifTags(int64_t dirOffset, const uint8_t *base, size_t length, int cntDir,
                              int ordre, MetaDataParseState &st) const
{
    if (base == nullptr)
        return 0;
    const uint16_t order = ordre == 1 ? imagecore::kOrderMM : imagecore::kOrderII;
    // Nothing outside [0, length) is read: every position is checked with this first.
    const auto in_block = [length](int64_t pos, int64_t n) {
        return pos >= 0 && platform::range_inside(uint64_t(pos), uint64_t(n), length);
    };
    int64_t result = 0;
    for (int i = 0; i < cntDir; ++i) {
        const int64_t e = imagecore::ifd_entry_pos(dirOffset, i);
        if (!in_block(e, 12))
            break;
        const imagecore::TiffEntry entry = imagecore::read_tiff_entry(base + e, order);
        const uint16_t tag = entry.tag, type = entry.type;
        const uint32_t count = entry.count, value = entry.word;

        // Data longer than the value field lies at its offset; the walker takes offsets for
        // the types 1..8 only (1..10 for ShutterSpeedValue).
        const int ts = type < 13 ? kTypeSize[type] : 0;
        const bool typeWithOffset = (type >= 1 && type <= 8) || (tag == 37377 && type <= 10);
        const int64_t pos = typeWithOffset && int64_t(count) * ts > 4 ? int64_t(value) : e + 8;
        const auto inside = [&](int64_t n) { return in_block(pos, n); };
        const auto u16at = [&] { return imagecore::read_u16(base + pos, order); };
        const auto u32at = [&](int64_t k) { return imagecore::read_u32(base + pos + k, order); };
        // An ASCII value into a text field, cut to leave its terminator.
        const auto text_into = [&](char *field, size_t fieldSize) {
            if (type == kTypeAscii && count > 0 && inside(0)) {
                int64_t n =
                    std::min<int64_t>({count, int64_t(fieldSize) - 1, int64_t(length) - pos});
                std::memset(field, 0, fieldSize);
                std::memcpy(field, base + pos, size_t(n));
            }
        };
        const auto short_into = [&](int32_t &field) {
            if (type == kTypeShort && inside(2))
                field = u16at();
        };
        const auto rational_into = [&](int32_t &num, int32_t &den) {
            if (type == kTypeRational && inside(8)) {
                num = int32_t(u32at(0));
                den = int32_t(u32at(4));
            }
        };

        switch (tag) {
        case 272: // Model
            text_into(st.model, sizeof st.model);
            break;
        case 513:
            if (inside(4))
                st.thumb_offset = int32_t(u32at(0));
            break;
        case 514:
            if (inside(4))
                st.thumb_datalen = int32_t(u32at(0));
            break;
        case 33434:
            rational_into(st.numExposure, st.denExposure);
            break;
        case 33437:
            rational_into(st.numAperture, st.denAperture);
            break;
        case 34665:
            result = value;
            break;
        case 34855:
            short_into(st.iso);
            break;
        case 36867: // DateTimeOriginal: 19 characters and the NUL the record keeps
            text_into(st.date_time, sizeof st.date_time);
            break;
        case 37377: // ShutterSpeedValue, APEX Tv
            if (type == kTypeSRational && inside(8))
                if (auto t = exposure_from_apex_tv(int32_t(u32at(0)), int32_t(u32at(4))))
                    st.shutter = *t;
            break;
        case 37378: // ApertureValue, APEX Av
        case 37381: // MaxApertureValue
            if (type == kTypeRational && st.numAperture == 0 && inside(8)) {
                const uint32_t num = u32at(0), den = u32at(4);
                if (den != 0)
                    rational_from_float(fnumber_from_apex_av(float(num) / float(den)),
                                        &st.numAperture, &st.denAperture, kRationalScale);
            }
            break;
        case 37386:
            rational_into(st.numFocal, st.denFocal);
            break;
        case 41486:
            rational_into(st.numFPX, st.denFPX);
            break;
        case 41488:
            short_into(st.fpUnit);
            break;
        case 41493: // ExposureIndex: never overrides ISOSpeedRatings
            if (type == kTypeRational && st.iso == 0 && inside(8)) {
                const uint32_t num = u32at(0), den = u32at(4);
                st.iso = int32_t(den > 0 ? num / den : num);
            }
            break;
        case 41989:
            short_into(st.focal35);
            break;
        default:
            break;
        }
    }
    return result;
}

platform::DataPtr MetaData::getMetaData(const platform::DataPtr &data) const
{
    if (!data)
        return nullptr;
    platform::DataPtr out = platform::Data::zeroed(kExifBufBytes);
    if (!out)
        return nullptr;

    MetaDataParseState st;
    const uint8_t *d = data->bytes();
    const int64_t n = int64_t(data->length());

    // Where the TIFF header lies: at the start of a bare block, else after the APP1 marker's
    // length and "Exif\0\0" (found by a plain byte scan, not a marker walk).
    int64_t p = 0, tiff = 0;
    if (n >= 2 && imagecore::tiff_byte_order(d) != 0) {
        p = 0;
        tiff = 0;
    } else {
        int64_t i = 0;
        while (i < n && d[i] != 0xE1 && d[i] != 0xDA && d[i] != 0xD9)
            ++i;
        p = i + 1;
        if (kTraceMetaData && i < n && d[i] == 0xE1 &&
            !(p + 8 <= n && std::memcmp(d + p + 2, "Exif\0\0", 6) == 0))
            std::fputs("Incorrect Exif header\n", stderr);
        tiff = p + 8;
    }
    const int64_t limit = n - p - 16;

    if (tiff + 8 <= n) {
        imagecore::TiffBytes t = imagecore::TiffBytes::in_memory(d + tiff, size_t(n - tiff));
        uint32_t ifd0 = 0;
        if (imagecore::read_tiff_header(t, ifd0) > 0) {
            const int ordre = t.order == imagecore::kOrderMM ? 1 : 0;
            // A directory is read only when it lies before limit, which stays 8 bytes short of
            // the data; IFD0's entries may end right at it.
            const auto before_limit = [limit](const imagecore::IfdHead &h, bool mayEndAt) {
                const int64_t end = imagecore::ifd_entry_pos(h.at, h.count);
                return h.at < limit && (end < limit || (mayEndAt && end == limit));
            };
            // IFD0 with its Exif IFD, then the rest of the chain (the thumbnail's IFD1 and any
            // further one).
            imagecore::walk_ifd_chain(t, ifd0, {}, [&](int k, const imagecore::IfdHead &h) {
                if (!before_limit(h, k == 0))
                    return false;
                const int64_t exif = getExifTags(h.at, t.data, t.length, h.count, ordre, st);
                imagecore::IfdHead e;
                if (k == 0 && exif > 0 && imagecore::read_ifd_head(t, uint64_t(exif), e) &&
                    before_limit(e, false))
                    getExifTags(e.at, t.data, t.length, e.count, ordre, st);
                return true;
            });
        }
    }

    if ((st.numExposure == 0 || st.denExposure == 0) && st.shutter > 0) {
        if (st.shutter >= 1) {
            st.numExposure = imagecore::clamp_to_int(std::rint(st.shutter));
            st.denExposure = 1;
        } else {
            st.numExposure = 1;
            st.denExposure = imagecore::clamp_to_int(std::rint(1 / double(st.shutter)));
        }
    }

    auto *rec = reinterpret_cast<int32_t *>(out->mutableBytes());
    rec[kExifExposureNum] = st.numExposure;
    rec[kExifExposureDen] = st.denExposure;
    rec[kExifFNumberNum] = st.numAperture;
    rec[kExifFNumberDen] = st.denAperture;
    rec[kExifIso] = st.iso;
    rec[kExifSourceFlag] = st.camera;
    rec[kExifFocalNum] = st.numFocal;
    rec[kExifFocalDen] = st.denFocal;
    rec[kExifFocal35] = st.focal35;
    rec[kExifFocalPlaneXResNum] = st.numFPX;
    rec[kExifFocalPlaneXResDen] = st.denFPX;
    rec[kExifFocalPlaneUnit] = st.fpUnit;
    if (st.thumb_datalen > 0) {
        const int64_t thumbAt = tiff + int64_t(uint32_t(st.thumb_offset));
        if (thumbAt <= INT32_MAX) {
            rec[kExifThumbLength] = st.thumb_datalen;
            rec[kExifThumbOffset] = int32_t(thumbAt);
        }
    }
    std::memcpy(&rec[kExifModel], st.model, sizeof st.model);
    std::memcpy(&rec[kExifDateTime], st.date_time, sizeof st.date_time);
    return out;
}

int relativeEVfromExifBuf(const int32_t *exifBuf, float *result)
{
    if (exifBuf == nullptr || result == nullptr)
        return 0;
    if (exifBuf[kExifExposureDen] == 0) {
        *result = 0;
        return 0;
    }
    float v = float(exifBuf[kExifExposureNum]) / float(exifBuf[kExifExposureDen]);
    if (exifBuf[kExifFNumberNum] > 0 && exifBuf[kExifFNumberDen] > 0 && exifBuf[kExifIso] > 0) {
        const float n = float(exifBuf[kExifFNumberNum]) / float(exifBuf[kExifFNumberDen]);
        v = v * float(exifBuf[kExifIso]) / (n * n);
    }
    *result = v;
    return v > 0 ? 1 : 0;
}
