// A global allocator whose n-th allocation after arming fails with
// std::bad_alloc. Only the alloc_tests program links it.
#pragma once

namespace testing_support {
void FailAllocationAfter(long n);  // n allocations succeed, the next fails
void NeverFailAllocation();
bool AllocationFailed();  // since the last FailAllocationAfter
long AllocationCount();   // allocations made through operator new so far
}  // namespace testing_support
