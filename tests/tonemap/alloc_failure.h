// Allocation failures on demand for the tone-mapping tests: this program's operator new counts
// the allocations of each thread and throws std::bad_alloc at the armed one.
#pragma once

namespace tmtest {

// Arms the n-th allocation from now on this thread to fail (0 disarms) and restarts the count.
void fail_allocation_at(long n);
// Allocations made on this thread since the last fail_allocation_at.
long allocations_seen();

} // namespace tmtest
