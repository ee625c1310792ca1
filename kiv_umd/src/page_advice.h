// Advice to the kernel about large, freshly allocated buffers that are about
// to be filled by one copy. Filling them page by page otherwise takes one
// fault per page, which costs more than the copy itself. Only advice: the
// contents and the allocation's owner are unaffected, and a kernel without
// the operation simply refuses it.
#ifndef KIV_PAGE_ADVICE_H
#define KIV_PAGE_ADVICE_H

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace kiv {

// Below this size a buffer comes from the heap's reused memory anyway.
constexpr size_t kPageAdviceMin = size_t{4} << 20;

namespace detail {

// The kernel's page size: 4 KiB on x86-64, but 4, 16 or 64 KiB on arm64
// depending on the kernel's build. madvise refuses a range that does not
// start on a page boundary, so the advice depends on the real figure.
inline uintptr_t page_size() {
    static const uintptr_t size = [] {
        const long n = ::sysconf(_SC_PAGESIZE);
        return n > 0 ? static_cast<uintptr_t>(n) : uintptr_t{4096};
    }();
    return size;
}

// The whole pages of `page` bytes (a power of two) inside [address,
// address + size): [begin, end), empty when end <= begin.
struct PageSpan {
    uintptr_t begin;
    uintptr_t end;
};

inline PageSpan interior_pages(uintptr_t address, size_t size, uintptr_t page) {
    return PageSpan{(address + page - 1) & ~(page - 1), (address + size) & ~(page - 1)};
}

inline void advise_interior(void* buffer, size_t size, int advice) {
    if (buffer == nullptr || size < kPageAdviceMin) return;
    const PageSpan span = interior_pages(reinterpret_cast<uintptr_t>(buffer), size, page_size());
    if (span.end > span.begin) ::madvise(reinterpret_cast<void*>(span.begin), span.end - span.begin, advice);
}

}  // namespace detail

// Faults the pages in with one call (MADV_POPULATE_WRITE, Linux 5.14). Used
// for model-sized buffers: huge pages would save more on an idle machine, but
// in a process that has freed much memory their allocation stalls on
// compaction, and a 256 MiB model then loaded seven times slower.
inline void prefault_pages(void* buffer, size_t size) {
    constexpr int kPopulateWrite = 23;
    detail::advise_interior(buffer, size, kPopulateWrite);
}

// Asks for transparent huge pages, as numpy does for its own large arrays;
// used for tensor-sized results so that bytes and bytearray cost what a numpy
// array of the same size costs.
inline void advise_huge_pages(void* buffer, size_t size) {
#ifdef MADV_HUGEPAGE
    detail::advise_interior(buffer, size, MADV_HUGEPAGE);
#else
    (void)buffer;
    (void)size;
#endif
}

}  // namespace kiv

#endif  // KIV_PAGE_ADVICE_H
