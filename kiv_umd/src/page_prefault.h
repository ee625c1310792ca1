// Faults in the pages behind a large, freshly allocated buffer in one call,
// before it is filled. Filling it page by page otherwise takes one fault per
// 4 KiB, which costs more than the copy itself. Huge pages would save more on
// an idle machine, but in a process that has freed much memory their
// allocation stalls on compaction for longer than it saves. Only advice: the
// contents and the allocation's owner are unaffected, and a kernel without
// the operation (before Linux 5.14) simply refuses it.
#ifndef KIV_PAGE_PREFAULT_H
#define KIV_PAGE_PREFAULT_H

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace kiv {

// Below this size a buffer comes from the heap's reused memory anyway.
constexpr size_t kPrefaultMin = size_t{4} << 20;

inline void prefault_pages(void* buffer, size_t size) {
#ifdef __linux__
    constexpr int kPopulateWrite = 23;  // MADV_POPULATE_WRITE
    constexpr uintptr_t kPage = 4096;
    if (buffer == nullptr || size < kPrefaultMin) return;
    const auto begin = (reinterpret_cast<uintptr_t>(buffer) + kPage - 1) & ~(kPage - 1);
    const auto end = (reinterpret_cast<uintptr_t>(buffer) + size) & ~(kPage - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, kPopulateWrite);
#else
    (void)buffer;
    (void)size;
#endif
}

}  // namespace kiv

#endif  // KIV_PAGE_PREFAULT_H
