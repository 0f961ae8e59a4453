// The parameter record of every processing run (tmParam: 20 floats whose slots each method reads
// its own way), the built-in method defaults, the small records handed by value to the kernels,
// and the two tables every tone-mapping run builds first.
#pragma once

#include <cstdint>

#include "imagecore/pixel_buffers.h" // exp_lut, the exponent table every run builds

inline constexpr int kTmParamCount = 20;
inline constexpr int kTmParamBytes = kTmParamCount * 4; // the 80-byte data object

// Method ids (tmMethod).
enum TmMethod : int {
    kMethodDeredid = 1,            // "Deredid Edazozed", local gradient-domain operator
    kMethodRodo = 2,               // "Rodo Vizezadadu", global operator
    kMethodFusionAdjust = 10,      // "Fusion/Adjust"
    kMethodFusionIntensive = 11,   // "Fusion/Intensive"
    kMethodHighlightsShadows = 12, // the mean lit by a blurred inverted-luminance mask
    kMethodTwoPhotos = 13,         // a dark and a bright photo mixed by a mask
    kMethodMean = 14,              // the mean of the photos
};

// Slots of method 1 (Deredid Edazozed).
enum DeredidSlot : int {
    kDeLuminosity = 0,
    kDeStrength = 1,
    kDeColorSaturation = 2,
    kDeWhiteClip = 3,
    kDeBlackClip = 4,
    kDeLightSmoothing = 5, // integer 0..4 in light mode
    kDeMicrocontrast = 6,
    kDeMicrosmoothing = 7,
    kDeGamma = 8, // slider v; the gamma is 2^((50 - v) / 50)
    kDeHighlightsSmoothing = 9,
    kDeShadowsSmoothing = 10,
    kDeShadowsClipping = 11,
    kDeColorTemperature = 12,
    kDeSaturationHighlights = 13,
    kDeSaturationShadows = 14,
    kDeIs360 = 15,
    kDeSmoothingMode = 16, // non-zero slider mode, 0 light mode
    kDeSliderSmoothing = 17,
    kDeSolverTolerance = 18,
};

// Slots of method 2 (Rodo Vizezadadu).
enum RodoSlot : int {
    kRoBrightness = 0,
    kRoCompression = 1,
    kRoContrast = 2,
    kRoWhiteClip = 3,
    kRoBlackClip = 4,
    kRoColorTemperature = 12,
    kRoSaturation = 13,
};

// Slots of method 10 (exposure fusion, "Fusion/Adjust").
enum FusionSlot : int {
    kFuAccentuation = 0,
    kFuBlendingPoint = 1,
    kFuShadows = 2,
    kFuSaturation = 3,
    kFuWhiteClip = 4, // percent
    kFuBlackClip = 5, // percent
    kFuMidtonesAdjustment = 6,
    kFuIs360 = 7,
};

// Slots of method 11 ("Fusion/Intensive"); the radius and the step are read truncated.
enum IntensiveSlot : int {
    kInStrength = 0,
    kInSaturation = 1,
    kInRadius = 2,
    kInStep = 3, // sampling step; the defaults leave it 0, the caller sets it
};

// Slots of method 13: the two photos to combine, 0-based indices read truncated.
enum TwoPhotoSlot : int {
    kTwoPhotoA = 0,
    kTwoPhotoB = 1,
};

// Source kinds of a tone-mapping run.
enum DocType : int {
    kDocRgbe = 0,  // rgbeBuf
    kDocRgb16 = 1, // 16-bit interleaved
    kDocRgb8 = 2,  // 8-bit interleaved
};

// dim_param: eight ints passed by value.
enum DimParamSlot : int {
    kDimWidth = 0,
    kDimHeight = 1,
    kDimSpp = 2,
    kDimEight = 3,        // 8, carried unchanged
    kDimOutBits = 4,      // 8 or 16
    kDimSrcRowLen = 5,    // source row length in samples (0 for rgbeBuf sources)
    kDimOutRowLen = 6,    // output row length in samples
    kDimChannelOrder = 7, // 0 red first, else blue first
};
struct dim_param {
    int v[8];
};

// Processing options passed by value; every caller sets nbProc only.
// readFromDisk non-zero runs the local operator out of core (the workflow never sets it): its
// source is the Radiance file at tmpPath[0] (read by stages 1 and 3, never written), and its
// large intermediate arrays go to temporary files, each at the path of its slot (1 to 5, which
// must not exist yet) or, for a null slot, a new file in the system's temporary folder. A stage
// removes the files it made before it returns, whatever the result. Exposure fusion takes slots
// 0 to 2 for its out-of-core mode the same way.
struct optim_param_struct {
    int nbProc;       // worker threads; below 2 everything runs on the calling thread
    int readFromDisk; // out-of-core mode (never set by the workflow)
    const char *tmpPath[6];
};

inline constexpr int kLumParamCount = 7;
inline constexpr int kHdrInfosBytes = 28;

// All slots 0; then method 1: p[1] = 70 (40 when flag >= 1), p[2] = 46, p[3] = 0.25, p[5] = 1,
// p[7] = 2, p[8] = 50, p[16] = 1; method 11: p[2] = 40. Other methods stay zero.
void tmparam_default(int method, int flag, float *p);

// Linearising curve of n entries: lut[i] = (n - 1) x (i / (n - 1))^g with g = 2.2 when linear
// < 1, else 1; lut[0] = lut[1]. Returns n; 0 (nothing written) when n < 2.
int camcurve(int linear, int n, float *lut);

// Method-1 slots read as integers, within their documented ranges whatever a stored record holds
// (NaN reads as the method default). Every reader of these slots goes through them, so all
// stages of a run agree.
// Slot 5, the light-mode smoothing level: truncated and clamped to 0..4.
int deredid_light_level(const float *p);
// Slot 16: true for the slider mode (its truncation non-zero), false for the light mode.
bool deredid_slider_mode(const float *p);

// nbProc = readFromDisk = 0, paths null.
void init_optim_param(optim_param_struct *p);
// dims = 0, 0, 3, 8, 8, 0, 0, 0.
void init_dim_param(int *dims);
