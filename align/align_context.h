// The state of one feature-based alignment run: the pair budget of its tiles and the random
// sequence of its sampled fits. Each run owns one, so runs on different stacks can go on at the
// same time and each run repeats exactly.
#pragma once

#include <cstdint>

struct AlignContext {
    int maxMatchesOptimized = 20; // pair budget of the tiles (MAX_MATCHES_OPTIMIZED)
    uint64_t randState = 0;
};

// Starts a run over photos of width x height: budget max(20, (width + height) >> 4), the random
// sequence seeded with 0.
void align_context_start(AlignContext *ctx, int width, int height);

// The next draw of the run, uniform in 0 .. 2^31 - 1 (the range of the C library's rand here).
// The generator is splitmix64 (Steele, Lea and Flood 2014) reduced to its top 31 bits: small,
// fast and identical on every platform, unlike rand.
int align_rand(AlignContext *ctx);
