#include "profile.h"

#include <time.h>

#include <cstring>

namespace standin {
namespace {

constexpr uint32_t kHeaderBytes = 32;
constexpr uint32_t kRecordBytes = 24;
constexpr uint32_t kLayoutVersion = 1;

template <typename T>
void put(std::vector<uint8_t>& out, size_t at, T value) {
    std::memcpy(out.data() + at, &value, sizeof value);  // the targets are little-endian
}

}  // namespace

uint32_t profile_size(const Program& program) {
    return kHeaderBytes + kRecordBytes * static_cast<uint32_t>(program.ops.size());
}

std::vector<uint8_t> encode_profile(const Program& program, const RunProfile& run) {
    std::vector<uint8_t> out(profile_size(program), 0);
    std::memcpy(out.data(), "KVPF", 4);
    put<uint32_t>(out, 4, kLayoutVersion);
    put<uint32_t>(out, 8, run.core);
    put<uint32_t>(out, 12, static_cast<uint32_t>(run.ops.size()));
    put<uint64_t>(out, 16, run.start_ns);
    put<uint64_t>(out, 24, run.duration_ns);
    for (size_t i = 0; i < run.ops.size() && i < program.ops.size(); ++i) {
        const size_t at = kHeaderBytes + kRecordBytes * i;
        put<uint32_t>(out, at, run.ops[i].index);
        put<uint32_t>(out, at + 4, run.ops[i].opcode);
        put<uint64_t>(out, at + 8, run.ops[i].start_ns);
        put<uint64_t>(out, at + 16, run.ops[i].duration_ns);
    }
    return out;
}

uint64_t monotonic_ns() {
    // CLOCK_MONOTONIC by name, not whatever clock a library's steady clock
    // happens to read: the host times its jobs on it too, and lays the
    // profile's times beside its own.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

}  // namespace standin
