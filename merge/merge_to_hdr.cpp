// The merge job object. The kernel always linearises with gamma 2.2 here: the camera curve a
// caller builds from the profile's gamma is kept on the object but not handed to the kernel.
#include "merge/merge_to_hdr.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "imagecore/pixel_buffers.h"
#include "imagecore/records.h"
#include "merge/classic_merge.h"
#include "merge/detail/gamma_curve.h"
#include "merge/hdr_merge.h"
#include "platform/bundle.h"
#include "platform/checked_size.h"
#include "platform/notification_center.h"
#include "platform/system.h"

void UpdateProgressMergeToHDR(int *, float fraction)
{
    // A callback runs inside the kernel: nothing may escape it.
    try {
        platform::post_progress(nullptr, "Generating HDR image...", double(fraction * 100.0f));
    } catch (...) {
    }
}

int MergeToHDR::default_threads()
{
    return std::clamp(platform::processor_count(), 0, 32);
}

void MergeToHDR::setImageDimsFrom(const platform::DataPtr &dims)
{
    const ImageDims d = image_dims_from(dims);
    _iMax = d.width, _jMax = d.height, _spp = d.samples, _bps = d.bits;
}

platform::DataPtr MergeToHDR::makeCurve(float trc, int batch)
{
    const int n = _bps == 16 ? 65536 : 256;
    if (batch != 0 && trc == 1.0f)
        _linear = 1;
    platform::DataPtr curve = platform::Data::zeroed(size_t(n) * sizeof(float));
    if (!curve)
        return nullptr;
    merge::detail::gamma_curve(n, trc, reinterpret_cast<float *>(curve->mutableBytes()));
    return curve;
}

void MergeToHDR::rempliPenteExposition(float *table) const
{
    ::rempliPenteExposition(table);
}

platform::DataPtr MergeToHDR::mergeImagesToHDR(int silent, const platform::DataPtr &stack, int exif,
                                               float ev, int *)
{
    m_outOfMemory = false;
    if (_kMax < 1 || _iMax < 1 || _jMax < 1 || _spp < 1 || (_bps != 8 && _bps != 16))
        return nullptr;
    const auto stackBytes = platform::checked_product({_kMax, _iMax, _jMax, _spp, _bps / 8});
    const auto outBytes = platform::checked_product({_iMax, _jMax, 4});
    if (!stackBytes || !outBytes || !stack || stack->length() < *stackBytes)
        return nullptr;
    const size_t deltaBytes = size_t(_kMax) * sizeof(float);
    if (exif > 0 && (!_deltaT || _deltaT->length() < deltaBytes))
        return nullptr;
    // Without metadata exposures the kernel must estimate them; a spacing that turns the
    // estimate off would leave it reading an exposure array nobody filled.
    if (exif <= 0 && _kMax >= 2 && !(ev > -0.5f))
        return nullptr;

    try {
        std::vector<float> exposures(size_t(_kMax), 0.0f);
        if (exif > 0)
            std::memcpy(exposures.data(), _deltaT->bytes(), deltaBytes);
        const progressCallback callback = silent == 0 ? UpdateProgressMergeToHDR : nullptr;

        platform::DataPtr out = platform::Data::zeroed(*outBytes);
        if (!out)
            throw std::bad_alloc();
        std::vector<float> lut(size_t(1) << _bps, 0.0f);
        const float spacing = exif > 0 ? -1.0f : ev;
        float stats[3] = {0.0f, 0.0f, 0.0f};
        const int rows = kv_hdr_merge(callback, 0, _kMax, _iMax, _jMax, _spp, _bps, 0, lut.data(),
                                      exposures.data(), stack->bytes(), stats, out->mutableBytes(),
                                      spacing, _nbProc);
        if (rows < 0) {
            m_outOfMemory = rows == -4;
            return nullptr;
        }
        _imMin = stats[0];
        _imMax = stats[1];
        _imMoy = stats[2];
        return out;
    } catch (const std::bad_alloc &) {
        m_outOfMemory = true;
        return nullptr;
    }
}
