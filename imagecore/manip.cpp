// Manip: PSD bitmap loading.
#include "imagecore/manip.h"

#include <new>

#include "imagecore/checked_size.h"
#include "imagecore/psd_reader.h"
#include "imagecore/records.h"

platform::BitmapPtr Manip::readPSD(const std::string &path, int *dims) const
{
    const int depth = dims[kInfoBits];
    if (depth != 8 && depth != 16)
        return nullptr;
    try {
        auto rowBytes = imagecore::checked_product({3, dims[kInfoWidth], depth / 8});
        if (!rowBytes || *rowBytes > size_t(INT32_MAX))
            return nullptr;
        platform::BitmapPtr bitmap = platform::BitmapImageRep::create(
            dims[kInfoWidth], dims[kInfoHeight], depth, 3, false, false,
            platform::kCalibratedRGBColorSpace, int(*rowBytes), 3 * depth);
        if (!bitmap)
            return nullptr;
        // The extension after the last dot of the last path component, compared case-sensitively
        // as the framework's pathExtension and isEqualToString: do.
        const size_t slash = path.find_last_of('/');
        const size_t dot = path.find_last_of('.');
        std::string ext;
        if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
            ext = path.substr(dot + 1);
        dims[kInfoPsdKind] = (ext == "psb" || ext == "PSB") ? 64 : 32;
        if (load_psd(1, path.c_str(), dims, 0, bitmap->bitmapData()) < 0)
            return nullptr;
        return bitmap;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}
