// The worker-thread count handed to the banded kernels of the local operator. It is a type of
// its own so that a call which swaps it with an element count or a float factor does not
// compile; below 2 a kernel runs on the calling thread.
#pragma once

#include <cstdint>

struct ThreadCount {
    constexpr explicit ThreadCount(int n) : count(n) {}
    int count;
};

// Levels smaller than this run on the calling thread: thread start-up costs more than the work.
inline constexpr int64_t kThreadedLevelPixels = 1201;

// The thread count of one pyramid level of the given pixel count: nbProc from 2 up on levels
// of at least kThreadedLevelPixels pixels, else 0.
constexpr ThreadCount level_threads(int nbProc, int64_t pixels)
{
    return ThreadCount(nbProc >= 2 && pixels >= kThreadedLevelPixels ? nbProc : 0);
}
