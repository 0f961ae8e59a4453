// Fusion: the short-lived job that runs exposure fusion (method 10, "Fusion/Adjust") on an
// aligned photo stack held in a data object and hands back the fused photograph as a new one.
// Use: create, set the parameter record (or the defaults), the dimensions and the photo count,
// run once, drop. Failures of the fusion itself reach the user as alerts.
#pragma once

#include <cstdint>
#include <utility>

#include "fusion/exposure_fusion.h"
#include "platform/data.h"

// Progress callback of the job: posts "progressReportUpdated" (nil object) with "progressText"
// the localized "Fusing images..." and "progressStatus" fraction x 100. Never sets the flag.
void UpdateProgressFusion(int *abort, float fraction);

class Fusion {
public:
    Fusion() { init(); }

    // Size 0 x 0, 3 samples a pixel, 8 source bits, 16 output bits, no photos, no record, the
    // processor count as worker count, no progress.
    void init();

    // Fuses photos: _imageCount photos of _iMax x _jMax x _spp samples of _bpsIn bits back to
    // back (alignedPhotosBuf; a longer object is read up to that size). The parameter record is
    // the one set (all zero when none); is360 is its slot 7.
    // Returns a new data object of _iMax x _jMax x _spp samples of _bpsOut bits (bytes for 8,
    // uint16_t for 16), rows of _spp x _iMax samples, red first; or nil:
    // - without an alert when the output or the parameter copy cannot be allocated;
    // - after the alert "Error" / "Insufficient memory to fuse images" when the fusion runs out of
    //   memory;
    // - after the alert "Error" / "Error with exposure fusion" when the fusion fails otherwise,
    //   and for a nil or short photo object, a count, side or samples-per-pixel value below 1, or
    //   an image too large for a pyramid.
    platform::DataPtr processFusion(const platform::DataPtr &photos);

    void setImageCount(int count) { _imageCount = count; }
    // Width, height, samples per pixel, source and output bits from an imageDimsData record (13
    // ints); a shorter object fills what it holds and leaves the rest 0.
    void setImageDimsFrom(const platform::DataPtr &dims);
    // An 80-byte record of zeros: the method-10 defaults.
    void setParamToDefault();
    // The 80-byte tmParam record of method 10; nil drops it. A record of another length is read
    // up to 80 bytes, the rest taken as 0.
    void setParam(platform::DataPtr param) { _ebParam = std::move(param); }

    // Worker threads of the weight stage (clamped to 0..32) in place of the processor count.
    void setNbProc(int nbProc) { m_nbProc = nbProc < 0 ? 0 : (nbProc > 32 ? 32 : nbProc); }
    // Non-zero posts progress through UpdateProgressFusion while the fusion runs.
    void setShowProgress(int show) { m_showProgress = show != 0; }

    // Test seam: replace the fusion engine.
    using Engine = decltype(&kv_fusion);
    void setEngineForTesting(Engine engine) { m_engine = engine ? engine : kv_fusion; }

private:
    int32_t _iMax = 0;       // width
    int32_t _jMax = 0;       // height
    int32_t _spp = 3;        // samples per pixel
    int32_t _bpsIn = 8;      // bits per source sample
    int32_t _bpsOut = 16;    // bits per output sample
    int32_t _imageCount = 0; // photos in the stack
    platform::DataPtr _ebParam;
    int m_nbProc = 0;
    bool m_showProgress = false;
    Engine m_engine = kv_fusion;
};
