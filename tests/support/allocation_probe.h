// A replacement of the global operator new for one test program: include this header in exactly
// one of its sources. It counts each thread's allocations, can make a chosen one fail (failure
// paths without leaks), and records the largest request (a hostile header refused before its
// sizes were allocated). The nothrow form is replaced too, so every delete meets its own new.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace testsupport::alloc {

inline thread_local long failAt = 0;         // the allocation (counted from 1) that fails; 0 none
inline thread_local long seen = 0;           // allocations so far
inline thread_local std::size_t largest = 0; // the largest request so far

// Kept out of line: a malloc the compiler sees inside operator new makes it take every matching
// delete's free for a mismatch.
[[gnu::noinline]] inline void *allocate(std::size_t n)
{
    largest = std::max(largest, n);
    void *p = ++seen == failAt ? nullptr : std::malloc(n ? n : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}

} // namespace testsupport::alloc

void *operator new(std::size_t n)
{
    return testsupport::alloc::allocate(n);
}
void *operator new(std::size_t n, const std::nothrow_t &) noexcept
{
    try {
        return testsupport::alloc::allocate(n);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}
void operator delete(void *p) noexcept
{
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete(void *p, const std::nothrow_t &) noexcept
{
    std::free(p);
}
