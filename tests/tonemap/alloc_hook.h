// Allocation failure on demand for the tone-mapping tests: the global operator new of this test
// program counts allocations and throws std::bad_alloc at a chosen one, on the arming thread.
#pragma once

namespace alloc_hook {

// The n-th operator new (1-based) after this call on this thread throws; 0 disarms.
void fail_nth(long n);
// Allocations seen on this thread since the last fail_nth.
long seen();
// Whether the armed failure has happened.
bool fired();

struct Disarm {
    ~Disarm() { fail_nth(0); }
};

} // namespace alloc_hook
