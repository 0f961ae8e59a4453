// The image-manipulation class: a stateless set of operations over bitmaps, data objects and
// files; any instance serves any number of calls. Here: turning a PSD or PSB file into a bitmap.
#pragma once

#include <string>

#include "platform/bitmap.h"

class Manip {
public:
    // readPSD:dims: — decodes the PSD or PSB file at path into a new bitmap. dims is the
    // caller's imageInfos, filled by getPsdInfo: [0] width, [1] height and [2] bits per channel
    // are read; [10] is set to 64 when the path's extension is exactly "psb" or "PSB" (the
    // large-document layout), 32 otherwise, before the pixels are read.
    // The bitmap: dims[0] x dims[1] pixels, 3 samples (red, green, blue), no alpha, meshed,
    // "NSCalibratedRGBColorSpace", dims[2] bits a sample in host order, rows packed
    // (3 x dims[0] x dims[2] / 8 bytes). Ownership is shared with the caller.
    // The file is checked for the pixel data the header promises (psd_pixels_present) before
    // the bitmap is made.
    // Returns null for a depth other than 8 and 16, a file that does not hold its pixel data or
    // whose version is not the layout its name asks for, or when the bitmap cannot be made (dims
    // untouched in these cases); or when the pixels cannot be read (dims[10] keeps its new
    // value).
    platform::BitmapPtr readPSD(const std::string &path, int *dims) const;
};
