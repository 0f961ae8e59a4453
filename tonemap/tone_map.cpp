// The tone-mapping job: validates the fields against the source, sizes and owns every buffer of
// a run, calls the kernels in order and posts progress; every failure gives nil.
#include "tonemap/tone_map.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "imagecore/banded.h"
#include "imagecore/records.h"
#include "platform/bundle.h"
#include "platform/checked_size.h"
#include "platform/file_holder.h"
#include "platform/notification_center.h"
#include "platform/system.h"
#include "tonemap/rodo.h"
#include "tonemap/tm_dim.h"

using platform::DataPtr;

namespace {

using Record = std::array<float, kTmParamCount>;

// A record of any other length is not a tmParam and reads as all zeros.
Record read_record(const DataPtr &data)
{
    Record p{};
    if (data && data->length() == static_cast<size_t>(kTmParamBytes))
        std::memcpy(p.data(), data->bytes(), kTmParamBytes);
    return p;
}

// The sizes one run works with; nothing when the fields cannot describe an image.
struct RunSizes {
    size_t source; // bytes of the source the run reads
    size_t output; // bytes of the result
    int rowLength; // output row length in samples
};

std::optional<RunSizes> run_sizes(int w, int h, int spp, int bits, int docType)
{
    if (bits != 8 && bits != 16)
        return std::nullopt;
    std::optional<size_t> source;
    if (docType == kDocRgb16)
        source = platform::image_bytes(w, h, spp, 2);
    else if (docType == kDocRgb8)
        source = platform::image_bytes(w, h, spp, 1);
    else
        source = platform::image_bytes(w, h, 4, 1);
    std::optional<size_t> output = platform::image_bytes(w, h, spp, bits / 8);
    std::optional<size_t> rowLength = platform::checked_product({w, spp});
    if (!source || !output || !rowLength || *rowLength > static_cast<size_t>(INT_MAX))
        return std::nullopt;
    return RunSizes{*source, *output, static_cast<int>(*rowLength)};
}

// The stages' options: defaults with the job's worker count.
optim_param_struct stage_options(int nbProc)
{
    optim_param_struct opt;
    init_optim_param(&opt);
    opt.nbProc = nbProc;
    return opt;
}

// The stages' dimensions: defaults with the image's sides and samples and the output row length.
dim_param stage_dims(int w, int h, int spp, int outRowLength)
{
    dim_param dim;
    init_dim_param(dim.v);
    dim.v[kDimWidth] = w;
    dim.v[kDimHeight] = h;
    dim.v[kDimSpp] = spp;
    dim.v[kDimOutRowLen] = outRowLength;
    return dim;
}

// The result object; std::bad_alloc when it cannot be had (the buffer is freed).
DataPtr adopt_result(platform::CBuffer<uint8_t> &buffer, size_t length)
{
    DataPtr result = platform::Data::adopt(buffer.release(), length);
    if (!result)
        throw std::bad_alloc();
    return result;
}

} // namespace

void ToneMap::init()
{
    _nbProc = std::clamp(platform::processor_count(), 0, 32);
    _iMax = 0;
    _jMax = 0;
    _spp = 3;
    _bpsIn = 8;
    _docType = 0;
    _bpsOut = 16;
}

void ToneMap::setImageDimsFrom(const DataPtr &dims)
{
    const ImageDims d = image_dims_from(dims);
    _iMax = d.width, _jMax = d.height, _spp = d.samples, _bpsIn = d.bits, _bpsOut = d.outBits;
}

void ToneMap::setParamToDefault()
{
    setTMParam2(platform::Data::zeroed(kTmParamBytes));
    float p[kTmParamCount];
    tmparam_default(kMethodDeredid, 0, p);
    setTMParam1(platform::Data::copy(p, kTmParamBytes));
}

void ToneMap::postProgress(double percent, const char *text) const
{
    platform::post_progress(this, text, percent);
}

DataPtr ToneMap::enhancerToneMap(int showProgress, const DataPtr &source)
{
    m_outOfMemory = false;
    try {
        return runEnhancer(showProgress, source);
    } catch (const std::bad_alloc &) {
        m_outOfMemory = true;
        return nullptr;
    }
}

DataPtr ToneMap::compressorToneMap(int, const DataPtr &source)
{
    m_outOfMemory = false;
    try {
        return runCompressor(source);
    } catch (const std::bad_alloc &) {
        m_outOfMemory = true;
        return nullptr;
    }
}

int ToneMap::noted(int code)
{
    if (code == -4)
        m_outOfMemory = true;
    return code;
}

DataPtr ToneMap::runEnhancer(int showProgress, const DataPtr &source)
{
    if (!source)
        return nullptr;
    const int w = _iMax, h = _jMax, spp = _spp, bits = _bpsOut, docType = _docType;
    const std::optional<RunSizes> sizes = run_sizes(w, h, spp, bits, docType);
    if (!sizes || source->length() < sizes->source)
        return nullptr;
    Record p = read_record(_tmParam1);
    std::array<uint8_t, kHdrInfosBytes> hdrInfos{};

    tm_dims dims{};
    if (tm_dim(w, h, p.data(), &dims) < 0)
        return nullptr;
    const int64_t workCount = std::max(dims.v[kTdTotalA], dims.v[kTdTotalB]);
    const std::optional<size_t> workBytes = platform::checked_product({workCount, 4});
    if (!workBytes)
        return nullptr;

    // Stage 1 uses the copy as scratch for the larger pyramid. The large buffers are filled in
    // bands: their first touches and copies would otherwise keep one core busy a while.
    const optim_param_struct opt = stage_options(_nbProc);
    const size_t copyBytes = std::max(sizes->source, *workBytes);
    auto copy = std::make_unique_for_overwrite<uint8_t[]>(copyBytes);
    imagecore::copy_banded(opt.nbProc, copy.get(), source->bytes(), sizes->source);
    imagecore::zero_banded(opt.nbProc, copy.get() + sizes->source, copyBytes - sizes->source);

    if (showProgress)
        postProgress(5, "Tone mapping with Deredid Edazozed - part 1...");

    float table[256];
    exp_lut(table, -8);
    auto work = std::make_unique_for_overwrite<float[]>(static_cast<size_t>(workCount));
    imagecore::zero_banded(opt.nbProc, work.get(), *workBytes);
    std::vector<float> curve;
    if (docType == kDocRgb16) {
        curve.resize(65536);
        camcurve(0, 65536, curve.data());
    } else if (docType == kDocRgb8) {
        curve.resize(256);
        camcurve(0, 256, curve.data());
    }

    dim_param dim = stage_dims(w, h, spp, sizes->rowLength);
    // Stage 3 steps through 8- and 16-bit sources by this row length.
    if (docType == kDocRgb16 || docType == kDocRgb8)
        dim.v[kDimSrcRowLen] = sizes->rowLength;

    float lumParam[kLumParamCount] = {};
    if (noted(m_stages.tm1(docType, p.data(), &dims, lumParam, table, curve.data(), dim,
                           hdrInfos.data(), opt, copy.get(), copyBytes, work.get())) < 0)
        return nullptr;
    copy.reset();

    if (showProgress)
        postProgress(45, "Tone mapping with Deredid Edazozed - part 2...");

    if (noted(m_stages.tm2(static_cast<int>(dims.v[kTdCoarseWidthA]),
                           static_cast<int>(dims.v[kTdCoarseHeightA]), dims.v[kTdTotalA],
                           static_cast<int>(dims.v[kTdLevelsA]), p.data(), work.get(), dim, opt)) <
        0)
        return nullptr;

    platform::CBuffer<uint8_t> out = platform::calloc_buffer<uint8_t>(sizes->output);
    if (!out)
        throw std::bad_alloc();
    const size_t pixels = static_cast<size_t>(w) * static_cast<size_t>(h);
    auto luminance = std::make_unique_for_overwrite<float[]>(pixels);
    imagecore::copy_banded(opt.nbProc, luminance.get(), work.get(), pixels * sizeof(float));
    work.reset();
    auto copy3 = std::make_unique_for_overwrite<uint8_t[]>(sizes->source);
    imagecore::copy_banded(opt.nbProc, copy3.get(), source->bytes(), sizes->source);

    if (showProgress)
        postProgress(78, "Tone mapping with Deredid Edazozed - part 3...");

    dim.v[kDimOutBits] = bits;
    if (noted(m_stages.tm3(docType, p.data(), lumParam, table, curve.data(), copy3.get(), dim, opt,
                           luminance.get(), out.get())) <= 0)
        return nullptr;
    return adopt_result(out, sizes->output);
}

DataPtr ToneMap::runCompressor(const DataPtr &source)
{
    if (!source)
        return nullptr;
    const int w = _iMax, h = _jMax, spp = _spp, bits = _bpsOut;
    const std::optional<RunSizes> sizes = run_sizes(w, h, spp, bits, kDocRgbe);
    if (!sizes || source->length() < sizes->source)
        return nullptr;
    Record p = read_record(_tmParam2);
    float table[256];
    exp_lut(table, -8);

    float lumParam[kLumParamCount] = {};
    if (noted(logMinMaxMoy(w, h, table, source->bytes(), lumParam, _nbProc)) < 0)
        return nullptr;

    const optim_param_struct opt = stage_options(_nbProc);
    dim_param dim = stage_dims(w, h, spp, sizes->rowLength);
    dim.v[kDimOutBits] = bits;

    platform::CBuffer<uint8_t> out = platform::calloc_buffer<uint8_t>(sizes->output);
    if (!out)
        throw std::bad_alloc();
    if (tm_simple(p.data(), lumParam, table, source->bytes(), out.get(), dim, opt) <= 0)
        return nullptr;
    return adopt_result(out, sizes->output);
}
