// The fusion job: checks the fields against the photo object, sizes and owns the output, runs the
// fusion and shows its failures as alerts.
#include "fusion/fusion_job.h"

#include <array>
#include <climits>
#include <cstdlib>
#include <new>
#include <optional>
#include <vector>

#include "imagecore/float_clamp.h"
#include "imagecore/preview.h"
#include "imagecore/records.h"
#include "platform/alerts.h"
#include "platform/bundle.h"
#include "platform/checked_size.h"
#include "platform/file_holder.h"
#include "platform/notification_center.h"
#include "platform/system.h"

using platform::DataPtr;

namespace {

void alert(const char *message)
{
    platform::run_alert(platform::localized_string("Error"), platform::localized_string(message),
                        platform::localized_string("OK"));
}

DataPtr failed(int code)
{
    alert(code == -4 ? "Insufficient memory to fuse images" : "Error with exposure fusion");
    return nullptr;
}

} // namespace

void UpdateProgressFusion(int *, float fraction)
{
    // A callback runs inside the kernel: nothing may escape it.
    try {
        platform::post_progress(nullptr, "Fusing images...", double(fraction * 100.0f));
    } catch (...) {
    }
}

void Fusion::init()
{
    _iMax = 0;
    _jMax = 0;
    _spp = 3;
    _bpsIn = 8;
    _bpsOut = 16;
    _imageCount = 0;
    _ebParam = nullptr;
    setNbProc(platform::processor_count());
    m_showProgress = false;
}

void Fusion::setImageDimsFrom(const DataPtr &dims)
{
    const ImageDims d = image_dims_from(dims);
    _iMax = d.width, _jMax = d.height, _spp = d.samples, _bpsIn = d.bits, _bpsOut = d.outBits;
}

void Fusion::setParamToDefault()
{
    setParam(platform::Data::zeroed(kTmParamBytes));
}

DataPtr Fusion::processFusion(const DataPtr &photos)
{
    const int n = _imageCount, w = _iMax, h = _jMax, spp = _spp;
    const std::optional<size_t> stackBits = platform::checked_product({n, w, h, spp, _bpsIn});
    const std::optional<size_t> rowLen = platform::checked_product({spp, w});
    if (n < 1 || w < 1 || h < 1 || spp < 1 || _bpsIn < 1 || !stackBits || !rowLen ||
        *rowLen > size_t(INT_MAX))
        return failed(-3);
    if (!photos || photos->length() < *stackBits / 8)
        return failed(-3);
    const int lenPyram = pyram_len(w, h);
    const std::optional<size_t> outBytes = platform::checked_product({spp, lenPyram, 2});
    if (lenPyram < 0 || !outBytes)
        return failed(-3);

    optim_param_struct optim;
    init_optim_param(&optim);
    optim.nbProc = m_nbProc;
    std::array<float, kTmParamCount> param{};
    if (_ebParam)
        _ebParam->getBytes(param.data(), sizeof param);
    int r;
    platform::CBuffer<uint8_t> out;
    try {
        const std::vector<int> indexFixedExpo(size_t(n), -1); // no ghost handling
        out = platform::calloc_buffer<uint8_t>(*outBytes);
        if (!out)
            return nullptr;
        r = m_engine(m_showProgress ? UpdateProgressFusion : nullptr, param.data(), n, w, h,
                     int(*rowLen), optim, 0, spp, _bpsIn, _bpsOut, 16, 16, lenPyram,
                     imagecore::clamp_to_int(param[kFuIs360]), nullptr, photos->bytes(),
                     indexFixedExpo.data(), nullptr, nullptr, out.get(), 0.0f);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    if (r < 0)
        return failed(r);

    // The image lies at the start of the pyramid buffer: the buffer shrinks to it in place.
    const std::optional<size_t> resultBytes = platform::image_bytes(w, h, spp, _bpsOut / 8);
    if (!resultBytes || *resultBytes > *outBytes)
        return failed(-3);
    uint8_t *bytes = out.release();
    if (void *smaller = std::realloc(bytes, *resultBytes))
        bytes = static_cast<uint8_t *>(smaller);
    return platform::Data::adopt(bytes, *resultBytes);
}
