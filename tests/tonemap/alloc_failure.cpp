// The tone-mapping test program's operator new: the shared allocation probe.
#include "tests/tonemap/alloc_failure.h"

#include "tests/support/allocation_probe.h"

namespace tmtest {

void fail_allocation_at(long n)
{
    testsupport::alloc::failAt = n;
    testsupport::alloc::seen = 0;
}

long allocations_seen()
{
    return testsupport::alloc::seen;
}

} // namespace tmtest
