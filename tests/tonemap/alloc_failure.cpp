// The counting operator new of the tone-mapping test program.
#include "tests/tonemap/alloc_failure.h"

#include <cstdlib>
#include <new>

namespace {
thread_local long t_failAt = 0, t_seen = 0;
void *allocate(std::size_t n)
{
    void *p = ++t_seen == t_failAt ? nullptr : std::malloc(n ? n : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}
} // namespace

void *operator new(std::size_t n)
{
    return allocate(n);
}
void operator delete(void *p) noexcept
{
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept
{
    std::free(p);
}

namespace tmtest {

void fail_allocation_at(long n)
{
    t_failAt = n;
    t_seen = 0;
}

long allocations_seen()
{
    return t_seen;
}

} // namespace tmtest
