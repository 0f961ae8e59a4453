// Manip: quarter turns and crops of bitmaps and rgbeBufs, and the rounding of arrondi. The
// turns go through kv_rotate; a bitmap whose rows are padded or that carries alpha is first
// packed into the samples the result keeps.
#include <algorithm>
#include <climits>
#include <cmath>
#include <new>
#include <vector>

#include "imagecore/detail/manip_bitmaps.h"
#include "imagecore/float_clamp.h"
#include "imagecore/manip.h"
#include "imagecore/rotate.h"
#include "platform/checked_size.h"

using imagecore::detail::copied_samples;
using imagecore::detail::copy_window;
using imagecore::detail::result_spp;

namespace {

bool is_quarter_turn(int angle)
{
    return angle == 90 || angle == 270;
}

template <class T>
bool turn_bitmap(const platform::BitmapImageRep &src, size_t rowLength, int angle,
                 platform::BitmapImageRep &dst)
{
    const int w = src.pixelsWide(), h = src.pixelsHigh(), spp = src.samplesPerPixel();
    const int outSpp = dst.samplesPerPixel(), n = copied_samples(outSpp);
    auto count = platform::image_bytes(w, h, n, 1);
    if (!count)
        return false;
    const T *s = reinterpret_cast<const T *>(src.bitmapData());
    T *d = reinterpret_cast<T *>(dst.bitmapData());
    // kv_rotate reads packed rows of the samples it moves.
    std::vector<T> packed;
    if (spp != n || rowLength != size_t(w) * size_t(spp)) {
        packed.resize(*count);
        copy_window(s, rowLength, spp, 0, 0, w, h, n, packed.data(), n);
        s = packed.data();
    }
    const int bps = int(sizeof(T)) * 8;
    if (outSpp == n)
        return kv_rotate(angle, w, h, n, bps, s, d) == w;
    // Samples beyond the third stay 0 in the result: turn the three, then spread them.
    std::vector<T> turned(*count);
    if (kv_rotate(angle, w, h, n, bps, s, turned.data()) != w)
        return false;
    copy_window(turned.data(), size_t(h) * size_t(n), n, 0, 0, h, w, n, d, outSpp);
    return true;
}

// The rectangle truncated toward zero, when it is finite and lies inside a w x h source.
struct Window {
    int x0, y0, cw, ch;
};
bool crop_window(const platform::Rect &r, int64_t w, int64_t h, Window &out)
{
    if (!std::isfinite(r.x) || !std::isfinite(r.y) || !std::isfinite(r.width) ||
        !std::isfinite(r.height))
        return false;
    out = {imagecore::clamp_to_int(r.x), imagecore::clamp_to_int(r.y),
           imagecore::clamp_to_int(r.width), imagecore::clamp_to_int(r.height)};
    return out.x0 >= 0 && out.y0 >= 0 && out.cw >= 0 && out.ch >= 0 &&
           int64_t(out.x0) + out.cw <= w && int64_t(out.y0) + out.ch <= h;
}

} // namespace

platform::BitmapPtr Manip::ldrRotate(const platform::BitmapPtr &bitmap, int angle) const
{
    if (!bitmap || !is_quarter_turn(angle))
        return nullptr;
    const size_t rowLength = imagecore::detail::row_samples(*bitmap);
    if (rowLength == 0)
        return nullptr;
    const int bps = bitmap->bitsPerSample();
    try {
        platform::BitmapPtr result = imagecore::detail::result_bitmap(
            bitmap->pixelsHigh(), bitmap->pixelsWide(), bps, result_spp(bitmap->samplesPerPixel()));
        if (!result)
            return nullptr;
        const bool done = bps == 8 ? turn_bitmap<uint8_t>(*bitmap, rowLength, angle, *result)
                                   : turn_bitmap<uint16_t>(*bitmap, rowLength, angle, *result);
        return done ? result : nullptr;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

std::shared_ptr<platform::Image> Manip::ldrCrop(const platform::BitmapPtr &bitmap,
                                                const platform::Rect &cropRect) const
{
    if (!bitmap)
        return nullptr;
    const size_t rowLength = imagecore::detail::row_samples(*bitmap);
    Window win;
    if (rowLength == 0 || !crop_window(cropRect, bitmap->pixelsWide(), bitmap->pixelsHigh(), win) ||
        win.cw < 1 || win.ch < 1)
        return nullptr;
    const int spp = bitmap->samplesPerPixel(), outSpp = result_spp(spp);
    const int bps = bitmap->bitsPerSample();
    try {
        platform::BitmapPtr result = imagecore::detail::result_bitmap(win.cw, win.ch, bps, outSpp);
        if (!result)
            return nullptr;
        if (bps == 8)
            copy_window(bitmap->bitmapData(), rowLength, spp, win.x0, win.y0, win.cw, win.ch,
                        copied_samples(outSpp), result->bitmapData(), outSpp);
        else
            copy_window(reinterpret_cast<const uint16_t *>(bitmap->bitmapData()), rowLength, spp,
                        win.x0, win.y0, win.cw, win.ch, copied_samples(outSpp),
                        reinterpret_cast<uint16_t *>(result->bitmapData()), outSpp);
        auto image = std::make_shared<platform::Image>();
        image->width = win.cw;
        image->height = win.ch;
        image->addRepresentation(std::move(result));
        return image;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

platform::DataPtr Manip::hdrRotate(const platform::DataPtr &data, int largeur, int hauteur,
                                   int angle) const
{
    if (!data || largeur < 0 || hauteur < 0 || !is_quarter_turn(angle))
        return nullptr;
    auto bytes = platform::checked_product({4, largeur, hauteur});
    if (!bytes || data->length() < *bytes)
        return nullptr;
    platform::DataPtr result = platform::Data::zeroed(*bytes);
    if (!result)
        return nullptr;
    if (*bytes > 0)
        kv_rotate(angle, largeur, hauteur, 1, 32, data->bytes(), result->mutableBytes());
    return result;
}

platform::DataPtr Manip::hdrCrop(const platform::DataPtr &data, int largeur,
                                 const platform::Rect &cropRect) const
{
    if (!data || largeur < 1)
        return nullptr;
    const size_t rowBytes = 4 * size_t(largeur);
    Window win;
    if (!crop_window(cropRect, largeur, int64_t(data->length() / rowBytes), win))
        return nullptr;
    auto bytes = platform::checked_product({4, win.cw, win.ch});
    if (!bytes)
        return nullptr;
    platform::DataPtr result = platform::Data::zeroed(*bytes);
    if (!result)
        return nullptr;
    const size_t cw = size_t(win.cw);
    for (int i = 0; i < win.ch; ++i) {
        const uint8_t *s = data->bytes() + size_t(win.y0 + i) * rowBytes + size_t(win.x0);
        uint8_t *d = result->mutableBytes() + size_t(i) * 4 * cw;
        for (size_t plane = 0; plane < 4; ++plane)
            std::copy(s + plane * size_t(largeur), s + plane * size_t(largeur) + cw,
                      d + plane * cw);
    }
    return result;
}

int arrondi(float x)
{
    if (x != x)
        return 0;
    if (x >= 2147483647.0f)
        return INT_MAX;
    if (x <= -2147483648.0f)
        return INT_MIN;
    const int n = int(x);
    return x - float(n) > 0.5f ? n + 1 : n;
}
