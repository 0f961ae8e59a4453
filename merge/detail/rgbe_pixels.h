// Pixel access shared by the HDR filters and denoisers: positions in an rgbeBuf as byte offsets
// of the red mantissa (size_t, so large images do not overflow an int index), decoding through
// the 2^(e - 136) exponent table and the argument check every filter starts with.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imagecore/pixel_buffers.h"
#include "platform/checked_size.h"
#include "tonemap/tm_params.h"

namespace merge::detail {

struct ExponentTable {
    float t[256];
    ExponentTable() { exp_lut(t, -8); }
};

// Offset of pixel (x, y)'s red mantissa: 4 x width x y + x.
inline size_t pixel_pos(int width, int x, int y)
{
    return 4 * size_t(width) * size_t(y) + size_t(x);
}

inline void decode_pixel(const uint8_t *rgbe, int width, const ExponentTable &table, size_t pos,
                         float rgb[3])
{
    rgbe2float(rgbe + pos, table.t, width, 2 * width, 3 * width, 0, rgb);
}

inline void encode_pixel(uint8_t *rgbe, int width, size_t pos, const float rgb[3])
{
    imagecore::put_rgbe(rgbe + pos, width, 0, rgb[0], rgb[1], rgb[2]);
}

// True when two rgbeBufs of width x height can be addressed: pointers set, sizes not negative
// and the byte count representable.
inline bool rgbe_args_ok(int width, int height, const void *src, const void *dst)
{
    return src != nullptr && dst != nullptr && width >= 0 && height >= 0 &&
           platform::checked_product({width, height, 4}).has_value();
}

} // namespace merge::detail
