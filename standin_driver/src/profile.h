// The profiler tensor of a job: when profiling is on (ioctl 255), every run
// records which core ran it and how long each operation took.
//
// Layout, little-endian (docs/npu-program-format.md, "Profiling"): a 32-byte
// header ("KVPF", layout version 1, core, operations run, job start on the
// host's monotonic clock and job duration, in nanoseconds) and one 24-byte record per operation of the
// program (operation index, opcode, start from the job's start and duration,
// in nanoseconds); records of operations that did not run are zero.
#ifndef STANDIN_PROFILE_H
#define STANDIN_PROFILE_H

#include <cstdint>
#include <vector>

#include "program.h"

namespace standin {

// One operation's time within a run.
struct OpTiming {
    uint32_t index = 0;
    uint32_t opcode = 0;
    uint64_t start_ns = 0;  // from the start of the job
    uint64_t duration_ns = 0;
};

// What profiling recorded of one run.
struct RunProfile {
    uint32_t core = 0;
    uint64_t start_ns = 0;  // on the host's monotonic clock (CLOCK_MONOTONIC)
    uint64_t duration_ns = 0;
    std::vector<OpTiming> ops;  // the operations that ran, in order
};

// Bytes of the profiler tensor of a job of `program`.
uint32_t profile_size(const Program& program);

// The profiler tensor for `run` (profile_size(program) bytes).
std::vector<uint8_t> encode_profile(const Program& program, const RunProfile& run);

// Nanoseconds on the host's monotonic clock, CLOCK_MONOTONIC: the clock of
// Python's time.monotonic and time.perf_counter on Linux.
uint64_t monotonic_ns();

}  // namespace standin

#endif  // STANDIN_PROFILE_H
