// What the bitmap operations of Manip share: the result's sample count, the result bitmap, and
// the copy of a window of pixels between interleaved buffers of any row length.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/bitmap.h"

namespace imagecore::detail {

// Samples a pixel of the result: the alpha of a 4- or 2-sample source is dropped.
inline int result_spp(int spp)
{
    return spp == 4 ? 3 : spp == 2 ? 1 : spp;
}

// Samples copied (or filtered) from each source pixel into the result pixel.
inline int copied_samples(int outSpp)
{
    return outSpp < 3 ? outSpp : 3;
}

// The source's row length in samples of its depth; 0 when the bitmap is not one the operations
// read (a depth other than 8 or 16, or rows that are not a whole number of samples long).
inline size_t row_samples(const platform::BitmapImageRep &bitmap)
{
    const int bytes = bitmap.bitsPerSample() / 8;
    if ((bytes != 1 && bytes != 2) || bitmap.bytesPerRow() % bytes != 0)
        return 0;
    return size_t(bitmap.bytesPerRow() / bytes);
}

// A new meshed w x h bitmap of bps bits and outSpp samples a pixel, rows packed, in the
// calibrated RGB colour space whatever the sample count; null when it cannot be made.
inline platform::BitmapPtr result_bitmap(int w, int h, int bps, int outSpp)
{
    // Row length 0 asks for packed rows; the bitmap checks the sizes.
    return platform::BitmapImageRep::create(w, h, bps, outSpp, false, false,
                                            platform::kCalibratedRGBColorSpace, 0, outSpp * bps);
}

// Copies the first n samples of each pixel of the cw x ch window at (x0, y0) of src (srcRow
// samples a row, srcSpp a pixel) into dst, packed rows of cw pixels of dstSpp samples.
template <class T>
void copy_window(const T *src, size_t srcRow, int srcSpp, int x0, int y0, int cw, int ch, int n,
                 T *dst, int dstSpp)
{
    for (int i = 0; i < ch; ++i) {
        const T *s = src + size_t(y0 + i) * srcRow + size_t(x0) * size_t(srcSpp);
        T *d = dst + size_t(i) * size_t(cw) * size_t(dstSpp);
        for (int j = 0; j < cw; ++j, s += srcSpp, d += dstSpp)
            for (int k = 0; k < n; ++k)
                d[k] = s[k];
    }
}

} // namespace imagecore::detail
