// The merge job object: configured with the stack's dimensions, photo count and (when the
// photos' metadata gave them) relative exposures, it runs the merge kernel once and hands back
// the rgbeBuf as a new data object.
#pragma once

#include <utility>

#include "platform/data.h"

// Progress callback of the job: posts "progressReportUpdated" (nil object) with userInfo
// "progressText" = the localized "Generating HDR image..." and "progressStatus" = fraction x 100
// (double). Never sets the abort flag.
void UpdateProgressMergeToHDR(int *abort, float fraction);

class MergeToHDR {
public:
    // Width, height and photo count 0, 3 samples a pixel, 8 bits a sample, the processor count
    // of worker threads.
    MergeToHDR() = default;

    // Keeps width, height, samples per pixel and bits per sample (slots 0..3) of an imageDimsData
    // record; a shorter object leaves the missing slots 0, a nil one sets all four to 0.
    void setImageDimsFrom(const platform::DataPtr &dims);
    void setImageCount(int count) { _kMax = count; }
    // deltaT: one float relative exposure a photo, photo order.
    void setDeltaT(platform::DataPtr deltaT) { _deltaT = std::move(deltaT); }
    // The camera curve, the profile and its gamma are kept on the object (nil clears); the merge
    // does not use them: it always linearises with gamma 2.2.
    void setCamCurve(platform::DataPtr curve) { _camCurve = std::move(curve); }
    void setProfileData(platform::DataPtr profile) { _profileData = std::move(profile); }
    void setTrc(float trc) { _trc = trc; }
    // Worker threads of the merge, clamped to 0..32 (below 2: the calling thread); the result
    // does not depend on it. Starts at the processor count.
    void setNbProc(int nbProc) { _nbProc = nbProc < 0 ? 0 : (nbProc > 32 ? 32 : nbProc); }

    platform::DataPtr camCurve() const { return _camCurve; }
    // Statistics of the last merge (hdrMinMaxMoy): smallest positive, largest and mean luminance
    // x 256.
    float imMin() const { return _imMin; }
    float imMax() const { return _imMax; }
    float imMoy() const { return _imMoy; }

    // A camera curve of 65536 floats when the photos are 16-bit, else 256: entry i =
    // (i / N)^trc, entry 0 = entry 1, as a new data object (4 x N bytes; not kept). batch != 0
    // with trc exactly 1 marks the object linear. nil when memory runs out.
    platform::DataPtr makeCurve(float trc, int batch);

    // Fills the classic merge's exposure-slope table (rempliPenteExposition,
    // merge/classic_merge.h): 65536 floats, caller-owned; a null table is left alone.
    void rempliPenteExposition(float *table) const;

    // Merges the stack (count photos of width x height x spp samples of bps bits, back to back)
    // into a new rgbeBuf data object of width x height x 4 bytes, and keeps its statistics.
    // exif > 0: the deltaT exposures are used as they are; otherwise, with 2 or more photos,
    // they are estimated from the photos (ev > -0.5 required: 0 from their brightness, > 0 as
    // photos ev EV apart). silent 0 posts progress for images of 816 rows or more. ghost may be
    // null and is not used.
    // nil when: count, width or height is below 1; bps is not 8 or 16; the stack is nil or
    // shorter than count x width x height x spp x bps / 8 bytes; exif > 0 and deltaT is nil or
    // holds fewer than count floats; exif <= 0, two or more photos and ev is not above -0.5; the
    // kernel fails (exposures not positive and finite, out of memory).
    platform::DataPtr mergeImagesToHDR(int silent, const platform::DataPtr &stack, int exif,
                                       float ev, int *ghost);
    // Whether the last merge's nil came from memory running short.
    bool outOfMemory() const { return m_outOfMemory; }

private:
    int _iMax = 0;
    int _jMax = 0;
    int _spp = 3;
    int _bps = 8;
    int _kMax = 0;
    float _imMin = 0.0f;
    float _imMax = 0.0f;
    float _imMoy = 0.0f;
    int _linear = 0;
    float _trc = 0.0f;
    platform::DataPtr _profileData;
    platform::DataPtr _deltaT;
    platform::DataPtr _camCurve;
    int _nbProc = default_threads();
    bool m_outOfMemory = false;

    static int default_threads();
};
