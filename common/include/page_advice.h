// Advice to the kernel about large, freshly allocated buffers that are about
// to be filled by one copy. Filling them page by page otherwise takes one
// fault per page, which costs more than the copy itself. Only advice: the
// contents and the allocation's owner are unaffected, and a kernel without
// the operation simply refuses it.
#ifndef KIV_PAGE_ADVICE_H
#define KIV_PAGE_ADVICE_H

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

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

#if defined(MADV_FREE) && defined(MADV_DONTNEED)
inline void* map_probe_page(int sharing) {
    void* page = ::mmap(nullptr, page_size(), PROT_READ | PROT_WRITE, sharing | MAP_ANONYMOUS, -1, 0);
    return page == MAP_FAILED ? nullptr : page;
}

// Whether the two facts refresh_pages relies on hold here: MADV_DONTNEED
// hands out fresh zero pages for private memory, and MADV_FREE refuses
// shared memory. Some emulators accept either advice and ignore it. Tried
// once, on pages of our own.
inline bool page_refresh_works() {
    static const bool works = [] {
        const size_t page = page_size();
        void* mine = map_probe_page(MAP_PRIVATE);
        void* shared = map_probe_page(MAP_SHARED);
        bool zeroed = false;
        bool shared_refused = false;
        if (mine != nullptr && shared != nullptr) {
            auto* byte = static_cast<volatile unsigned char*>(mine);
            *byte = 0xA5;
            zeroed = ::madvise(mine, page, MADV_DONTNEED) == 0 && *byte == 0;
            shared_refused = ::madvise(shared, page, MADV_FREE) != 0;
        }
        if (mine != nullptr) ::munmap(mine, page);
        if (shared != nullptr) ::munmap(shared, page);
        return zeroed && shared_refused;
    }();
    return works;
}
#endif

// Replaces the whole pages of the range by fresh zero pages, without touching
// them: true on success. Only private anonymous memory (what the heap hands
// out) reads as zeros after MADV_DONTNEED; MADV_FREE is refused for any other
// kind, so it serves as the check. Untouched fresh pages cost nothing here.
inline bool refresh_pages(uintptr_t begin, uintptr_t end) {
#if defined(MADV_FREE) && defined(MADV_DONTNEED)
    void* start = reinterpret_cast<void*>(begin);
    return page_refresh_works() && ::madvise(start, end - begin, MADV_FREE) == 0 &&
           ::madvise(start, end - begin, MADV_DONTNEED) == 0;
#else
    (void)begin;
    (void)end;
    return false;
#endif
}

// Whether at least half of the pages in [begin, end) are resident. Such
// memory (reused heap memory) is cleared faster in place than by dropping
// its pages, which the next write would fault in again one by one.
inline bool mostly_resident(uintptr_t begin, uintptr_t end) {
    const uintptr_t page = page_size();
    constexpr size_t kChunkPages = 4096;
    unsigned char residency[kChunkPages];
    size_t resident = 0;
    size_t total = 0;
    for (uintptr_t at = begin; at < end;) {
        const size_t pages = std::min<size_t>(kChunkPages, (end - at) / page);
        if (::mincore(reinterpret_cast<void*>(at), pages * page, residency) != 0) return true;
        for (size_t i = 0; i < pages; ++i) resident += residency[i] & 1u;
        total += pages;
        at += pages * page;
    }
    return resident * 2 >= total;
}

}  // namespace detail

// Zero-fills a buffer that is about to be handed out, at the least cost: a
// large one that is mostly not in memory yet (freshly mapped) gets fresh zero
// pages from the kernel instead of a pass over its memory (the bytes around
// its whole pages are cleared by hand); any other is cleared.
inline void zero_fill(void* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return;
    auto* bytes = static_cast<unsigned char*>(buffer);
    const auto first = reinterpret_cast<uintptr_t>(bytes);
    const detail::PageSpan pages = detail::interior_pages(first, size, detail::page_size());
    if (size < kPageAdviceMin || pages.end <= pages.begin || detail::mostly_resident(pages.begin, pages.end) ||
        !detail::refresh_pages(pages.begin, pages.end)) {
        std::memset(bytes, 0, size);
        return;
    }
    std::memset(bytes, 0, pages.begin - first);
    std::memset(reinterpret_cast<void*>(pages.end), 0, first + size - pages.end);
}

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
