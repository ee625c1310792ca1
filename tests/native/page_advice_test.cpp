// zero_fill hands out zeros whatever memory it is given: fresh pages from the
// kernel where the memory allows it, a pass of its own where not (shared
// memory keeps its contents through the kernel's page refresh).
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstring>

#include "page_advice.h"

namespace {

constexpr size_t kMapped = size_t{16} << 20;

void expect_zero_filled_inside_only(int mapping_flags) {
    void* memory = ::mmap(nullptr, kMapped, PROT_READ | PROT_WRITE, mapping_flags | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    auto* bytes = static_cast<unsigned char*>(memory);
    for (size_t size : {size_t{100}, kiv::kPageAdviceMin + 12345, kMapped - 300}) {
        std::memset(bytes, 0xA5, kMapped);
        // Starts and ends off page boundaries, as a heap block does.
        kiv::zero_fill(bytes + 100, size);
        EXPECT_TRUE(std::all_of(bytes + 100, bytes + 100 + size, [](unsigned char b) { return b == 0; })) << size;
        EXPECT_EQ(bytes[99], 0xA5) << size;
        EXPECT_EQ(bytes[100 + size], 0xA5) << size;
    }
    ::munmap(memory, kMapped);
}

TEST(ZeroFill, PrivateMemory) {
    expect_zero_filled_inside_only(MAP_PRIVATE);
}

TEST(ZeroFill, SharedMemory) {
    expect_zero_filled_inside_only(MAP_SHARED);
}

}  // namespace
