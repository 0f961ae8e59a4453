// Quarter turns. Source column k becomes one destination row, filled left to right: clockwise
// row k reads the column bottom-up, counter-clockwise row w - 1 - k reads it top-down.
#include "imagecore/rotate.h"

#include <cstddef>

namespace {

// Destination pixel index of source pixel (x, y) in the turned image (h pixels a row).
size_t turned(bool clockwise, int w, int h, int x, int y)
{
    return clockwise ? size_t(x) * size_t(h) + size_t(h - 1 - y)
                     : size_t(w - 1 - x) * size_t(h) + size_t(y);
}

template <class T>
void rotate_interleaved(bool clockwise, int w, int h, int spp, const T *src, T *dst)
{
    const int c[3] = {0, (spp - 1) / 2, spp - 1};
    for (int y = 0; y < h; ++y) {
        const T *s = src + size_t(y) * size_t(w) * size_t(spp);
        for (int x = 0; x < w; ++x, s += spp) {
            T *d = dst + turned(clockwise, w, h, x, y) * size_t(spp);
            d[c[0]] = s[c[0]];
            d[c[1]] = s[c[1]];
            d[c[2]] = s[c[2]];
        }
    }
}

// rgbeBuf: the four planes of a source row (w bytes apart) go to the same planes of the
// destination row (h bytes apart).
void rotate_rgbe(bool clockwise, int w, int h, const uint8_t *src, uint8_t *dst)
{
    const size_t sw = size_t(w), dh = size_t(h);
    for (int y = 0; y < h; ++y) {
        const uint8_t *s = src + 4 * sw * size_t(y);
        for (int x = 0; x < w; ++x) {
            const size_t t = turned(clockwise, w, h, x, y);
            uint8_t *d = dst + 4 * dh * (t / dh) + t % dh;
            for (size_t p = 0; p < 4; ++p)
                d[p * dh] = s[p * sw + size_t(x)];
        }
    }
}

} // namespace

int rotate_8bit(int code, int w, int h, int spp, const uint8_t *source, uint8_t *destination)
{
    if (code != 5 && code != 6)
        return -3;
    return kv_rotate(code == 6 ? 90 : 270, w, h, spp, 8, source, destination);
}

int kv_rotate(int angle, int w, int h, int spp, int bps, const void *source, void *destination)
{
    if ((angle != 90 && angle != 270 && angle != -90) || (bps != 8 && bps != 16 && bps != 32))
        return -3;
    if (!source || !destination || (bps != 32 && spp < 1))
        return -3;
    if (w < 1 || h < 1)
        return 0;
    const bool clockwise = angle == 90;
    if (bps == 8)
        rotate_interleaved(clockwise, w, h, spp, static_cast<const uint8_t *>(source),
                           static_cast<uint8_t *>(destination));
    else if (bps == 16)
        rotate_interleaved(clockwise, w, h, spp, static_cast<const uint16_t *>(source),
                           static_cast<uint16_t *>(destination));
    else
        rotate_rgbe(clockwise, w, h, static_cast<const uint8_t *>(source),
                    static_cast<uint8_t *>(destination));
    return w;
}
