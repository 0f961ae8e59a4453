// Manip: PSD bitmap loading.
#include "imagecore/manip.h"

#include <algorithm>
#include <new>

#include "imagecore/psd_reader.h"
#include "imagecore/records.h"
#include "platform/system.h"

platform::BitmapPtr Manip::readPSD(const std::string &path, int *dims) const
{
    const int depth = dims[kInfoBits];
    if (depth != 8 && depth != 16)
        return nullptr;
    try {
        // Compared case-sensitively: "Psb" is read as a PSD.
        const std::string ext = platform::path_extension(path);
        const int kind = (ext == "psb" || ext == "PSB") ? 64 : 32;
        // A header promises sizes; the file must hold their pixels before the bitmap is made
        // (and filled) at that size.
        int checked[kImageInfosCount];
        std::copy(dims, dims + kImageInfosCount, checked);
        checked[kInfoPsdKind] = kind;
        if (psd_pixels_present(path.c_str(), checked) < 0)
            return nullptr;
        // Row length 0: packed rows; the bitmap refuses sides and sizes it cannot hold.
        platform::BitmapPtr bitmap = platform::BitmapImageRep::create(
            dims[kInfoWidth], dims[kInfoHeight], depth, 3, false, false,
            platform::kCalibratedRGBColorSpace, 0, 3 * depth);
        if (!bitmap)
            return nullptr;
        dims[kInfoPsdKind] = kind;
        if (load_psd(1, path.c_str(), dims, 0, bitmap->bitmapData()) < 0)
            return nullptr;
        return bitmap;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}
