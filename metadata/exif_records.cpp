#include "metadata/exif_records.h"

#include <cstring>

#include "imagecore/float_clamp.h"
#include "metadata/detail/exif_shared.h"

void init_exifInfo(ExifInfo *info)
{
    std::memset(info, 0, sizeof *info);
}

int initExifInfo(ExifInfo *info)
{
    if (!info)
        return -3;
    info->sourceFlag = 0;
    info->exposureTime = 0;
    info->fNumber = 0;
    info->iso = 0;
    info->focalLength = 0;
    info->focalLength35 = 0;
    info->focalPlaneXRes = 0;
    info->focalPlaneUnit = 0;
    std::memset(info->lens + 2, 0, 20);
    return 0;
}

bool rational_from_float(float v, int32_t *num, int32_t *den, int32_t scale,
                         RationalOverflow overflow)
{
    double d = v; // widened first: the single-precision error is part of the stored result
    if (!(d > 0))
        return false;
    const double q = d >= 1 ? d * scale : (1 / d) * scale;
    // Saturating keeps an absurd value from a hostile file from overflowing.
    if (overflow == RationalOverflow::kRefuse && !(q < 2147483648.0))
        return false;
    const int32_t scaled = imagecore::clamp_to_int(q);
    *num = d >= 1 ? scaled : scale;
    *den = d >= 1 ? scale : scaled;
    return true;
}

void metadata::detail::fill_common_slots(const ExifInfo *info, int32_t *exifBuf, int32_t scale)
{
    rational_from_float(info->exposureTime, &exifBuf[kExifExposureNum], &exifBuf[kExifExposureDen],
                        scale);
    rational_from_float(info->fNumber, &exifBuf[kExifFNumberNum], &exifBuf[kExifFNumberDen], scale);
    exifBuf[kExifIso] = info->iso;
    exifBuf[kExifSourceFlag] = info->sourceFlag;
    rational_from_float(info->focalLength, &exifBuf[kExifFocalNum], &exifBuf[kExifFocalDen], scale);
    exifBuf[kExifFocal35] = info->focalLength35;
    rational_from_float(info->focalPlaneXRes, &exifBuf[kExifFocalPlaneXResNum],
                        &exifBuf[kExifFocalPlaneXResDen], scale);
    exifBuf[kExifFocalPlaneUnit] = info->focalPlaneUnit;
    exifBuf[kExifThumbOffset] = info->thumbOffset;
    exifBuf[kExifThumbLength] = info->thumbLength;
    std::memcpy(&exifBuf[kExifModel], info->model, 64);
    std::memcpy(&exifBuf[kExifDateTime], info->dateTime, 20);
}

int metadataBufFromExifInfo(const ExifInfo *info, int32_t *exifBuf, int32_t *gpsBuf)
{
    metadata::detail::fill_common_slots(info, exifBuf, kRationalScale);
    exifBuf[kExifIptcOffset] = info->iptcOffset;
    exifBuf[kExifIptcLength] = info->iptcLength;
    exifBuf[kExifOrientation] = info->orientation;
    exifBuf[kExifXmpOffset] = info->xmpOffset;
    exifBuf[kExifXmpLength] = info->xmpLength;
    std::memcpy(&exifBuf[kExifLens], info->lens, 64);

    std::memcpy(&gpsBuf[kGpsLatitude], info->latitude, sizeof info->latitude);
    std::memcpy(&gpsBuf[kGpsLongitude], info->longitude, sizeof info->longitude);
    std::memcpy(&gpsBuf[kGpsAltitude], info->altitude, sizeof info->altitude);
    std::memcpy(&gpsBuf[kGpsTimeStamp], info->gpsTime, sizeof info->gpsTime);
    auto *g = reinterpret_cast<uint8_t *>(gpsBuf);
    g[kGpsLatRefByte] = static_cast<uint8_t>(info->latRef);
    g[kGpsLonRefByte] = static_cast<uint8_t>(info->lonRef);
    g[kGpsAltRefByte] = static_cast<uint8_t>(info->altRef);
    std::memcpy(g + kGpsDateByte, info->gpsDate, 11);
    return exifBuf[kExifExposureNum];
}
