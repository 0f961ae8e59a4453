#include "tonemap/tm_params.h"

#include <cmath>
#include <limits>

#include "imagecore/float_clamp.h"

void tmparam_default(int method, int flag, float *p)
{
    for (int i = 0; i < kTmParamCount; ++i)
        p[i] = 0.0f;
    if (method == kMethodDeredid) {
        p[kDeStrength] = flag >= 1 ? 40.0f : 70.0f;
        p[kDeColorSaturation] = 46.0f;
        p[kDeWhiteClip] = 0.25f;
        p[kDeLightSmoothing] = 1.0f;
        p[kDeMicrosmoothing] = 2.0f;
        p[kDeGamma] = 50.0f;
        p[kDeSmoothingMode] = 1.0f;
    } else if (method == kMethodFusionIntensive) {
        p[2] = 40.0f;
    }
}

int camcurve(int linear, int n, float *lut)
{
    if (n < 2)
        return 0;
    double g = linear < 1 ? 2.2 : 1.0;
    float base = 1.0f / static_cast<float>(n - 1);
    for (int i = 1; i < n; ++i) {
        // The position i x base is a single-precision product, as the curve has always been
        // computed; the ends still land exactly on whole codes (lut[n - 1] = n - 1).
        float x = static_cast<float>(i) * base;
        lut[i] = static_cast<float>((n - 1) * std::pow(static_cast<double>(x), g));
    }
    lut[0] = lut[1];
    return n;
}

int deredid_light_level(const float *p)
{
    return imagecore::clamp_to_int(p[kDeLightSmoothing], 0, 4, 1);
}

bool deredid_slider_mode(const float *p)
{
    return imagecore::clamp_to_int(p[kDeSmoothingMode], std::numeric_limits<int>::min(),
                                   std::numeric_limits<int>::max(), 1) != 0;
}

void init_optim_param(optim_param_struct *p)
{
    p->nbProc = 0;
    p->readFromDisk = 0;
    for (auto &path : p->tmpPath)
        path = nullptr;
}

void init_dim_param(int *dims)
{
    static const int kInit[8] = {0, 0, 3, 8, 8, 0, 0, 0};
    for (int i = 0; i < 8; ++i)
        dims[i] = kInit[i];
}
