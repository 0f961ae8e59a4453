// The noise-reduction parameter record (nrParam: 21 floats the caller owns), its defaults, and
// the parameters derived from it that the level filters and the final mix read. The derived
// set is a value each call makes for itself, so noise reductions may run side by side.
#pragma once

inline constexpr int kNrParamCount = 21;

// Slots of nrParam.
enum NrSlot : int {
    kNrNoiseLevel = 0,       // 8-bit units; 0.5..1.5 on entry scales the estimated level
    kNrHighNoise = 1,        // highnoiseLevelReduce = 1 - slot
    kNrLevelWeight0 = 2,     // 2..5: noise-level weights of pyramid levels 0..3
    kNrLumaMix = 6,          // lumaMix = 1 - slot
    kNrChromaMix = 7,        // chromaMix = 1 - slot
    kNrLevelStrength0 = 8,   // 8..11: filter strengths of levels 0..3
    kNrSharpening = 12,      // luma sharpening = slot / 8
    kNrSharpWeight0 = 13,    // 13..16: sharpening weights of levels 0..3
    kNrRampStart = 17,       // highlight ramp start, luma in 8-bit units
    kNrRampSpan = 18,        // highlight ramp span
    kNrChromaSharpening = 19 // chroma sharpening = slot / 8
};

// Derived parameters of one noise reduction (values in 8-bit units).
struct NrDerived {
    float NRsimilarityRolloff = 0;
    float highnoiseLevelReduce = 0;
    float highlightNRlowThreshold = 0, highlightNRhighThreshold = 0;
    float highlightNRslope = 0, highlightNRintercept = 0;
    float highlightNRbelowThreshold = 1, highlightNRaboveThreshold = 0;
    float lumaMix = 0, chromaMix = 0;
    float levelNR[4] = {};         // level0NR .. level3NR: filter strengths
    float levelNoiseLevel[4] = {}; // level0noiseLevel .. level3noiseLevel: rolloff bases
    float sharpeningAmount = 0;
    float levelSharpAmount[4] = {}; // level0SharpAmount .. level3SharpAmount
    float chromaSharpeningAmount = 0;
};

// Writes the 21 defaults into nrParam (80, 0.2, 1, 1, 1, 1, 0.3, -0.3, 1, 1, 1, 1, 0.2, 1, 1, 1,
// 1, 100, 155, 0.2, 1). Returns 1; -3 when nrParam is null.
int nr_def(float *nrParam);

// The derived parameters of slots 0..19 of nrParam, into out. A ramp of no span (slot 18 at 0
// or below) becomes a step at its start. Nothing is written when either pointer is null.
void calcParams(const float *nrParam, NrDerived *out);
