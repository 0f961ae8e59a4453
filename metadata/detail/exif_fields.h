// The TIFF-structure pieces shared by the EXIF readers (the file-stream reader and the in-memory
// one) and the writers: field type codes, the byte-order mark, the directory entry layout, and the
// APEX conversions of ShutterSpeedValue and ApertureValue.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>

#include "imagecore/byte_order.h"

namespace metadata::detail {

// TIFF field types.
inline constexpr uint16_t kTypeByte = 1, kTypeAscii = 2, kTypeShort = 3, kTypeLong = 4,
                          kTypeRational = 5, kTypeUndefined = 7, kTypeSRational = 10;

// The byte-order word of a TIFF header's first two bytes: kOrderII or kOrderMM, 0 for neither.
inline uint16_t tiff_byte_order(const uint8_t *p)
{
    const uint16_t mark = imagecore::read_be16(p);
    return mark == imagecore::kOrderII || mark == imagecore::kOrderMM ? mark : 0;
}

// Where entry i of the directory at dir lies (past its u16 entry count); for i = the entry count,
// where its next-directory offset lies.
inline int64_t ifd_entry_pos(int64_t dir, int64_t i)
{
    return dir + 2 + 12 * i;
}

// A 12-byte directory entry, its value field read whole as a u32.
struct IfdEntry {
    uint16_t tag = 0, type = 0;
    uint32_t count = 0;
    uint32_t value = 0;
};

inline IfdEntry read_ifd_entry(const uint8_t *p, uint16_t order)
{
    return {imagecore::read_u16(p, order), imagecore::read_u16(p + 2, order),
            imagecore::read_u32(p + 4, order), imagecore::read_u32(p + 8, order)};
}

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
