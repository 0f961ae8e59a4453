// Per-run budget and random sequence of the feature-based aligner.
#include "align/align_context.h"

#include <algorithm>

void align_context_start(AlignContext *ctx, int width, int height)
{
    if (!ctx)
        return;
    const int64_t sum = int64_t(std::max(width, 0)) + int64_t(std::max(height, 0));
    ctx->maxMatchesOptimized = int(std::max<int64_t>(20, sum >> 4));
    ctx->randState = 0;
}

int align_rand(AlignContext *ctx)
{
    uint64_t z = (ctx->randState += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    return int(z >> 33);
}
