// Makes the n-th operator new on the calling thread throw, by default
// std::bad_alloc. Linking this file into a test replaces the global operator
// new/delete of the whole program; unarmed, they behave like the standard
// ones.
#ifndef KIV_TEST_FAILING_ALLOCATOR_H
#define KIV_TEST_FAILING_ALLOCATOR_H

// What the armed allocation throws. A runtime error stands for any failure
// during construction that is not a lack of memory.
enum class AllocationFailure { bad_alloc, runtime_error };

// Arms the failure for the `nth` allocation from now (1 = the next one).
void fail_nth_allocation(int nth, AllocationFailure kind = AllocationFailure::bad_alloc);
// Disarms; returns true if the armed allocation was reached and failed.
bool disarm_allocation_failure();

#endif  // KIV_TEST_FAILING_ALLOCATOR_H
