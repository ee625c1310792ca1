#include "failing_allocator.h"

#include <cstdlib>
#include <new>
#include <stdexcept>

namespace {

thread_local int countdown = 0;  // 0: unarmed
thread_local bool failed = false;
thread_local AllocationFailure failure_kind = AllocationFailure::bad_alloc;

void* allocate(std::size_t size) {
    if (countdown > 0 && --countdown == 0) {
        failed = true;
        if (failure_kind == AllocationFailure::runtime_error) throw std::runtime_error("injected allocation failure");
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

}  // namespace

void fail_nth_allocation(int nth, AllocationFailure kind) {
    failed = false;
    failure_kind = kind;
    countdown = nth;
}

bool disarm_allocation_failure() {
    countdown = 0;
    return failed;
}

void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new[](std::size_t size) {
    return allocate(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
