// The worker-thread count handed to the banded kernels of the local operator. It is a type of
// its own so that a call which swaps it with an element count or a float factor does not
// compile; below 2 a kernel runs on the calling thread.
#pragma once

#include <cstdint>

#include "imagecore/banded.h"

struct ThreadCount {
    constexpr explicit ThreadCount(int n) : count(n) {}
    int count;
};

// Levels smaller than this run the solver's vector kernels on the calling thread: they stream
// about a float a nanosecond, like the runner's other per-pixel passes, so threads pay from the
// same size (bench/README.md, bench_tonemap_cg_kernels). A dot product's chunk is not split
// further.
inline constexpr int64_t kThreadedLevelPixels = imagecore::kBandedMinPixels;

// Levels smaller than this keep per-pixel powers and exponentials (tens of nanoseconds a pixel)
// on the calling thread: from here on the arithmetic outweighs a threaded call.
inline constexpr int64_t kThreadedPowerPixels = 4096;

// The thread count of one pyramid level of the given pixel count for the solver's vector
// kernels: nbProc from 2 up on levels of at least kThreadedLevelPixels pixels, else 0.
constexpr ThreadCount level_threads(int nbProc, int64_t pixels)
{
    return ThreadCount(nbProc >= 2 && pixels >= kThreadedLevelPixels ? nbProc : 0);
}

// The same for per-pixel powers and exponentials, from kThreadedPowerPixels pixels.
constexpr ThreadCount power_level_threads(int nbProc, int64_t pixels)
{
    return ThreadCount(nbProc >= 2 && pixels >= kThreadedPowerPixels ? nbProc : 0);
}
