// Defaults of the noise-reduction record and the parameters each call derives from it.
#include "denoise/nr_params.h"

int nr_def(float *nrParam)
{
    static constexpr float kDefaults[kNrParamCount] = {
        80.0f, 0.2f, 1.0f, 1.0f, 1.0f, 1.0f, 0.3f,   -0.3f,  1.0f, 1.0f, 1.0f,
        1.0f,  0.2f, 1.0f, 1.0f, 1.0f, 1.0f, 100.0f, 155.0f, 0.2f, 1.0f};
    if (!nrParam)
        return -3;
    for (int i = 0; i < kNrParamCount; ++i)
        nrParam[i] = kDefaults[i];
    return 1;
}

void calcParams(const float *p, NrDerived *out)
{
    if (!p || !out)
        return;
    NrDerived d;
    d.NRsimilarityRolloff = p[kNrNoiseLevel] > 1e-5f ? 1.5f * p[kNrNoiseLevel] : 1.5e-5f;
    float reduce = 1.0f - p[kNrHighNoise];
    d.highnoiseLevelReduce = reduce < 0.0f ? 0.0f : (reduce > 0.99f ? 0.99f : reduce);
    d.highlightNRlowThreshold = p[kNrRampStart];
    d.highlightNRhighThreshold = p[kNrRampStart] + p[kNrRampSpan];
    // Without a span the ramp is a step at its start and the slope is never read.
    const float span = d.highlightNRhighThreshold - d.highlightNRlowThreshold;
    d.highlightNRslope = span > 0.0f ? -1.0f / span : 0.0f;
    d.highlightNRintercept = 1.0f - d.highlightNRslope * d.highlightNRlowThreshold;
    d.highlightNRbelowThreshold = 1.0f;
    d.highlightNRaboveThreshold = 0.0f;
    d.lumaMix = 1.0f - p[kNrLumaMix];
    d.chromaMix = 1.0f - p[kNrChromaMix];
    const float scale[4] = {1.0f, 0.5f, 0.25f, 0.125f};
    for (int l = 0; l < 4; ++l) {
        d.levelNR[l] = p[kNrLevelStrength0 + l];
        d.levelNoiseLevel[l] = d.NRsimilarityRolloff * p[kNrLevelWeight0 + l] * scale[l];
    }
    d.sharpeningAmount = p[kNrSharpening] * 0.125f;
    d.levelSharpAmount[0] = d.sharpeningAmount * p[kNrSharpWeight0];
    for (int l = 1; l < 4; ++l)
        d.levelSharpAmount[l] = 2.0f * d.sharpeningAmount * p[kNrSharpWeight0 + l];
    d.chromaSharpeningAmount = p[kNrChromaSharpening] * 0.125f;
    *out = d;
}
