// The EXIF pieces shared by the EXIF readers (the file-stream reader and the in-memory one) and
// the writers: the TIFF field type codes and the APEX conversions of ShutterSpeedValue and
// ApertureValue.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>

#include "imagecore/tiff_ifd.h"

namespace metadata::detail {

// The TIFF structure itself (field types, directory entries, the walk) is imagecore's.
using imagecore::kTypeAscii, imagecore::kTypeByte, imagecore::kTypeLong, imagecore::kTypeRational,
    imagecore::kTypeShort, imagecore::kTypeSRational, imagecore::kTypeUndefined;

// ShutterSpeedValue: the exposure time 2^-Tv in seconds, Tv = num / den (num when den is 0).
// Nothing when Tv is 0, which stands for no value.
inline std::optional<float> exposure_from_apex_tv(int32_t num, int32_t den)
{
    const float tv = den == 0 ? float(num) : float(num) / float(den);
    if (tv == 0)
        return std::nullopt;
    return float(std::exp2(-double(tv)));
}

// ApertureValue: the f-number 2^(Av / 2).
inline float fnumber_from_apex_av(float av)
{
    return float(std::exp2(double(av) / 2));
}

} // namespace metadata::detail
