// ToneMap: the short-lived job that tone-maps an HDR image held in a data object with the local
// operator (Deredid Edazozed, method 1) or the global one (Rodo Vizezadadu, method 2). It sizes
// and owns the buffers and calls the kernels in order; the result is a new data object.
// Use: create, set a parameter record (or the defaults), the dimensions and the source kind,
// run once, drop.
#pragma once

#include <cstdint>
#include <utility>

#include "platform/data.h"
#include "tonemap/deredid_stages.h"

// The stage functions an enhancer run calls; the defaults are the real stages.
struct DeredidStages {
    decltype(&calc_tm1) tm1 = calc_tm1;
    decltype(&calc_tm2) tm2 = calc_tm2;
    decltype(&calc_tm3) tm3 = calc_tm3;
};

class ToneMap {
public:
    ToneMap() { init(); }

    // Worker count from the machine (0..32); size 0 x 0, 3 samples a pixel, 8 working bits,
    // 16 output bits, docType 0; parameter records nil.
    void init();

    // Local operator. source: docType 0 an rgbeBuf of w x h x 4 bytes, 1 interleaved 16-bit
    // RGB of spp x w x h samples, 2 8-bit RGB of spp x w x h bytes (longer sources are read up
    // to that size). With showProgress non-zero posts "progressReportUpdated" at 5, 45 and 78
    // percent before stages 1, 2 and 3. Returns interleaved output of w x h x spp samples of
    // the output bits (caller-owned), or nil: nil or short source, a side or spp below 1, output
    // bits not 8 or 16, a side of 9 pixels or less, memory short, a stage failing.
    platform::DataPtr enhancerToneMap(int showProgress, const platform::DataPtr &source);

    // Global operator on an rgbeBuf source of at least w x h x 4 bytes (the source kind is not
    // read); posts nothing. Returns w x h x spp samples of the output bits, or nil: nil or short
    // source, a side or spp below 1, output bits not 8 or 16, memory short. A uniform
    // luminance maps to one grey (tm_simple).
    platform::DataPtr compressorToneMap(int showProgress, const platform::DataPtr &source);
    // Whether the last run's nil came from memory running short: a buffer that could not be
    // allocated, here or in a stage (its -4).
    bool outOfMemory() const { return m_outOfMemory; }

    void setDocType(int docType) { _docType = docType; }
    // Takes width, height, samples per pixel, working and output bits from an imageDimsData
    // record (13 ints; a shorter object leaves the missing slots 0).
    void setImageDimsFrom(const platform::DataPtr &dims);
    // Method-2 record all zero, method-1 record the built-in defaults.
    void setParamToDefault();
    // 80-byte tmParam records of methods 1 and 2; a nil record or one of another length is read
    // as all zeros.
    void setTMParam1(platform::DataPtr param) { _tmParam1 = std::move(param); }
    void setTMParam2(platform::DataPtr param) { _tmParam2 = std::move(param); }

    // Test seam: replace the stage functions.
    void setStagesForTesting(const DeredidStages &stages) { m_stages = stages; }
    // Worker threads for the kernels (clamped to 0..32), in place of the processor count.
    void setNbProc(int nbProc) { _nbProc = nbProc < 0 ? 0 : (nbProc > 32 ? 32 : nbProc); }

private:
    platform::DataPtr runEnhancer(int showProgress, const platform::DataPtr &source);
    platform::DataPtr runCompressor(const platform::DataPtr &source);
    void postProgress(double percent, const char *text) const;
    // A stage's code, its -4 (out of memory) recorded.
    int noted(int code);

    int32_t _iMax = 0;  // width
    int32_t _jMax = 0;  // height
    int32_t _spp = 3;   // output samples per pixel
    int32_t _bpsIn = 8; // working bits, kept only
    int32_t _bpsOut = 16;
    int32_t _docType = 0;
    platform::DataPtr _tmParam1;
    platform::DataPtr _tmParam2;
    int32_t _nbProc = 0;
    DeredidStages m_stages;
    bool m_outOfMemory = false;
};
