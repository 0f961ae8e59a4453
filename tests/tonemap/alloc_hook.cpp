// Replaces the global operator new / delete of the test program (malloc underneath) so that a
// test can make one chosen allocation fail; unarmed it only counts.
#include "tests/tonemap/alloc_hook.h"

#include <cstdlib>
#include <new>

namespace {
thread_local long t_target = 0;
thread_local long t_seen = 0;
thread_local bool t_fired = false;

void *allocate(std::size_t n)
{
    ++t_seen;
    if (t_target > 0 && t_seen == t_target) {
        t_fired = true;
        throw std::bad_alloc();
    }
    void *p = std::malloc(n ? n : 1);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}
} // namespace

namespace alloc_hook {
void fail_nth(long n)
{
    t_target = n;
    t_seen = 0;
    t_fired = false;
}
long seen()
{
    return t_seen;
}
bool fired()
{
    return t_fired;
}
} // namespace alloc_hook

void *operator new(std::size_t n)
{
    return allocate(n);
}
void *operator new[](std::size_t n)
{
    return allocate(n);
}
void operator delete(void *p) noexcept
{
    std::free(p);
}
void operator delete[](void *p) noexcept
{
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete[](void *p, std::size_t) noexcept
{
    std::free(p);
}
