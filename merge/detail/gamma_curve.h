// The merge's linearisation curve, shared by the kernels and the job object's camera curve.
#pragma once

#include <cmath>

namespace merge::detail {

// lut[i] = (i / codes)^gamma x scale for i = 1 .. codes - 1, in double and stored as float;
// lut[0] = lut[1]. codes is 256 or 65536, so i / codes is exact in single precision as well.
inline void gamma_curve(int codes, float gamma, float *lut, double scale = 1.0)
{
    for (int i = 1; i < codes; ++i)
        lut[i] = float(std::pow(double(i) / double(codes), double(gamma)) * scale);
    lut[0] = lut[1];
}

} // namespace merge::detail
