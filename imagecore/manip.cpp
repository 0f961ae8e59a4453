// Manip: PSD bitmap loading.
#include "imagecore/manip.h"

#include <new>

#include "imagecore/checked_size.h"
#include "imagecore/psd_reader.h"
#include "imagecore/records.h"
#include "platform/system.h"

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
        // Compared case-sensitively: "Psb" is read as a PSD.
        const std::string ext = platform::path_extension(path);
        dims[kInfoPsdKind] = (ext == "psb" || ext == "PSB") ? 64 : 32;
        if (load_psd(1, path.c_str(), dims, 0, bitmap->bitmapData()) < 0)
            return nullptr;
        return bitmap;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}
