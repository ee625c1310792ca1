// Page advice follows the kernel's page size, which on arm64 may be 4, 16 or
// 64 KiB: madvise refuses a range that does not start on a page boundary, and
// advice computed for 4 KiB pages would silently do nothing there. zero_fill
// hands out zeros whatever memory it is given: fresh pages from the kernel
// where the memory allows it, a pass of its own where not (shared memory
// keeps its contents through the kernel's page refresh).
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "page_advice.h"

namespace {

using kiv::detail::interior_pages;
using kiv::detail::PageSpan;

constexpr int kPopulateWrite = 23;  // MADV_POPULATE_WRITE, Linux 5.14

uintptr_t system_page() {
    return static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
}

// An untouched anonymous mapping: none of its pages is resident yet.
class Mapping {
public:
    explicit Mapping(size_t size) : size_(size) {
        base_ = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    }
    ~Mapping() {
        if (base_ != MAP_FAILED) munmap(base_, size_);
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    bool ok() const { return base_ != MAP_FAILED; }
    uintptr_t address() const { return reinterpret_cast<uintptr_t>(base_); }

private:
    void* base_;
    size_t size_;
};

// Number of resident pages in [begin, end), both on page boundaries.
size_t resident_pages(uintptr_t begin, uintptr_t end) {
    std::vector<unsigned char> flags((end - begin) / system_page());
    if (mincore(reinterpret_cast<void*>(begin), end - begin, flags.data()) != 0) return 0;
    size_t n = 0;
    for (unsigned char f : flags) n += f & 1;
    return n;
}

TEST(PageAdvice, InteriorPagesAreWholePagesOfTheGivenSize) {
    for (uintptr_t page : {uintptr_t{4} << 10, uintptr_t{16} << 10, uintptr_t{64} << 10}) {
        SCOPED_TRACE(page);
        const PageSpan inside = interior_pages(3 * page + 100, 5 * page, page);
        EXPECT_EQ(inside.begin, 4 * page);
        EXPECT_EQ(inside.end, 8 * page);
        const PageSpan aligned = interior_pages(2 * page, 3 * page, page);
        EXPECT_EQ(aligned.begin, 2 * page);
        EXPECT_EQ(aligned.end, 5 * page);
        const PageSpan none = interior_pages(page + 1, page, page);
        EXPECT_LE(none.end, none.begin);
    }
}

TEST(PageAdvice, PrefaultMakesEveryWholePageOfAnUnalignedBufferResident) {
    const uintptr_t page = system_page();
    {
        // Whether this kernel (or emulator) carries the advice out at all.
        Mapping control(4 * page);
        ASSERT_TRUE(control.ok());
        if (madvise(reinterpret_cast<void*>(control.address()), 4 * page, kPopulateWrite) != 0 ||
            resident_pages(control.address(), control.address() + 4 * page) != 4) {
            GTEST_SKIP() << "MADV_POPULATE_WRITE is not carried out here";
        }
    }
    const size_t size = kiv::kPageAdviceMin + 3 * page;
    Mapping mapping(size + page);
    ASSERT_TRUE(mapping.ok());
    const uintptr_t buffer = mapping.address() + 100;
    kiv::prefault_pages(reinterpret_cast<void*>(buffer), size);
    const uintptr_t begin = mapping.address() + page;
    const uintptr_t end = (buffer + size) / page * page;
    EXPECT_EQ(resident_pages(begin, end), (end - begin) / page);
}

constexpr size_t kMapped = size_t{16} << 20;

// Marks the whole mapping, or (sparse) only every fourth page of a fresh
// one: mostly resident memory is cleared in place, mostly untouched memory
// gets its pages replaced, and both must read as zeros.
unsigned char* marked_mapping(int mapping_flags, bool sparse) {
    void* memory = ::mmap(nullptr, kMapped, PROT_READ | PROT_WRITE, mapping_flags | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return nullptr;
    auto* bytes = static_cast<unsigned char*>(memory);
    const size_t stride = sparse ? 4 * system_page() : 1;
    for (size_t at = 0; at < kMapped; at += stride) bytes[at] = 0xA5;
    bytes[99] = 0xA5;
    return bytes;
}

void expect_zero_filled_inside_only(int mapping_flags) {
    for (bool sparse : {false, true}) {
        for (size_t size : {size_t{100}, kiv::kPageAdviceMin + 12345, kMapped - 300}) {
            unsigned char* bytes = marked_mapping(mapping_flags, sparse);
            ASSERT_NE(bytes, nullptr);
            bytes[100 + size] = 0xA5;
            // Starts and ends off page boundaries, as a heap block does.
            kiv::zero_fill(bytes + 100, size);
            EXPECT_TRUE(std::all_of(bytes + 100, bytes + 100 + size, [](unsigned char b) { return b == 0; }))
                << size << (sparse ? " sparse" : "");
            EXPECT_EQ(bytes[99], 0xA5) << size;
            EXPECT_EQ(bytes[100 + size], 0xA5) << size;
            ::munmap(bytes, kMapped);
        }
    }
}

TEST(ZeroFill, PrivateMemory) {
    expect_zero_filled_inside_only(MAP_PRIVATE);
}

TEST(ZeroFill, SharedMemory) {
    expect_zero_filled_inside_only(MAP_SHARED);
}

}  // namespace
