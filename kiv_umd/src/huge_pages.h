// Asks the kernel for transparent huge pages behind a large, freshly
// allocated buffer, as numpy does for its own arrays. Filling such a buffer
// then takes one fault per 2 MiB instead of one per 4 KiB, which on a busy
// or virtualised machine costs more than the copy itself. Only advice: the
// contents and the allocation's owner are unaffected, and a kernel without
// huge pages simply ignores it.
#ifndef KIV_HUGE_PAGES_H
#define KIV_HUGE_PAGES_H

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace kiv {

// Below this size a buffer comes from the heap's reused memory anyway.
constexpr size_t kHugePageAdviceMin = size_t{4} << 20;

inline void advise_huge_pages(void* buffer, size_t size) {
#ifdef MADV_HUGEPAGE
    if (buffer == nullptr || size < kHugePageAdviceMin) return;
    constexpr uintptr_t kPage = 4096;
    const auto begin = (reinterpret_cast<uintptr_t>(buffer) + kPage - 1) & ~(kPage - 1);
    const auto end = (reinterpret_cast<uintptr_t>(buffer) + size) & ~(kPage - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)buffer;
    (void)size;
#endif
}

}  // namespace kiv

#endif  // KIV_HUGE_PAGES_H
