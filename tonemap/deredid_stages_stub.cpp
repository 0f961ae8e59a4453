// Placeholders for the stages of the local operator until they are built: every call fails, so
// a run of that operator ends without a result instead of returning an unprocessed image.
#include "tonemap/deredid_stages.h"

namespace {
constexpr int kNotAvailable = -3;
}

int calc_tm1(int, const float *, const tm_dims *, float *, const float *, const float *, dim_param,
             void *, optim_param_struct, void *, float *)
{
    return kNotAvailable;
}

int calc_tm2(int, int, int64_t, int, const float *, float *, dim_param, optim_param_struct)
{
    return kNotAvailable;
}

int calc_tm3(int, const float *, const float *, const float *, const float *, void *, dim_param,
             optim_param_struct, float *, void *)
{
    return kNotAvailable;
}
