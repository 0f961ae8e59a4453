// Manip: an rgbeBuf written as an uncompressed little-endian TIFF of 32-bit IEEE float RGB, one
// strip at offset 8 and the directory after it; and the big-endian bias-128 float decoder.
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "imagecore/byte_order.h"
#include "imagecore/detail/rgb_strip_tiff.h"
#include "imagecore/manip.h"
#include "imagecore/pixel_buffers.h"
#include "imagecore/psd_reader.h"
#include "platform/checked_size.h"
#include "platform/file_holder.h"

namespace {

using imagecore::detail::kRgbStripIfdBytes;
using imagecore::detail::kRgbStripMaxSide;

void put_float(uint8_t *p, float v)
{
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    imagecore::put_le32(p, bits);
}

} // namespace

int Manip::writeFpTiffFromRgbe(const std::string &path, const platform::DataPtr &rgbeData,
                               int largeur, int hauteur) const
{
    if (!rgbeData || largeur < 1 || hauteur < 1 || largeur > kRgbStripMaxSide ||
        hauteur > kRgbStripMaxSide)
        return -3;
    auto rgbeBytes = platform::checked_product({4, largeur, hauteur});
    auto dataBytes = platform::checked_product({12, largeur, hauteur});
    // Every offset of the file is a 32-bit LONG.
    if (!rgbeBytes || !dataBytes || rgbeData->length() < *rgbeBytes ||
        *dataBytes > uint64_t(UINT32_MAX) - 8 - kRgbStripIfdBytes)
        return -3;
    try {
        const size_t w = size_t(largeur);
        float table[256];
        exp_lut(table, 0);
        const int r = imagecore::detail::write_rgb_strip_tiff(
            path.c_str(), false, largeur, hauteur, 32, 3, [&](int y, uint8_t *row) {
                const uint8_t *src = rgbeData->bytes() + 4 * w * size_t(y);
                for (size_t x = 0; x < w; ++x) {
                    const int e = src[3 * w + x];
                    for (size_t c = 0; c < 3; ++c)
                        put_float(row + 12 * x + 4 * c,
                                  e == 0 ? 0.0f : float(src[c * w + x]) * table[e]);
                }
            });
        return r == 0 ? 1 : r;
    } catch (const std::bad_alloc &) {
        return -4;
    }
}

float m_order2float(const uint8_t *b)
{
    return b ? imagecore::psd_float_decode(b) : 0.0f;
}
