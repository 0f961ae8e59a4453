// The merge kernels' clean-up pass: pixels no photo lit (exponent byte 0) and pixels clipped in
// every photo (the marker, exponent byte 255) become neutral grey at the image's smallest and
// largest luminance, so a merged image holds neither.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "imagecore/float_clamp.h"
#include "imagecore/pixel_buffers.h"

namespace merge::detail {

// Grey at luminance y: the RGBE encoding without the marker tests. A luminance of 0 has no
// exponent to scale by; it gives the bytes a zero exponent would, (0, 0, 0, 128).
inline imagecore::Rgbe grey_rgbe(float y)
{
    if (y == 0.0f)
        return {0, 0, 0, 128};
    int e = 0;
    const double m = std::frexp(double(y), &e);
    const float f = float(m * 256.0 / double(y));
    const uint8_t v = imagecore::clamp_to_u8(double(y * f));
    return {v, v, v, imagecore::clamp_to_u8(double(e) + 128.0)};
}

// Rewrites the exponent-0 pixels of an rgbeBuf of width x height as low and the exponent-255
// pixels as high; every other pixel stays as it is.
inline void clean_up(uint8_t *out, int width, int height, imagecore::Rgbe low, imagecore::Rgbe high)
{
    for (int row = 0; row < height; ++row) {
        uint8_t *r = out + size_t(4) * size_t(width) * size_t(row);
        const uint8_t *e = r + 3 * size_t(width);
        for (int x = 0; x < width; ++x)
            if (e[x] == 0 || e[x] == 255)
                imagecore::put_rgbe(r, width, x, e[x] == 255 ? high : low);
    }
}

} // namespace merge::detail
