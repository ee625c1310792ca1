// Models, contexts and files shared by the benchmarks and the peak-memory probe.
#ifndef KIV_BENCH_SUPPORT_H
#define KIV_BENCH_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "aipu_driver.h"
#include "kiv_api.h"

namespace kiv_bench {

// A program that copies one u8 input of `tensor_bytes` to one output, carrying
// an unused constant of `constant_bytes` so that the executable has a chosen size.
std::vector<uint8_t> copy_program(uint32_t tensor_bytes, uint32_t constant_bytes = 0);

// Writes a container holding `program` as its only subgraph.
void write_model(const std::string& path, const std::vector<uint8_t>& program, uint32_t tensor_bytes);

// A private directory under $TMPDIR (or /tmp), removed with its files.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// An open runtime context; aborts the benchmark run when the driver cannot open one.
class RuntimeContext {
public:
    RuntimeContext();
    ~RuntimeContext();
    RuntimeContext(const RuntimeContext&) = delete;
    RuntimeContext& operator=(const RuntimeContext&) = delete;
    kiv_context* get() const { return ctx_; }

private:
    kiv_context* ctx_ = nullptr;
};

// An open driver context, used without the runtime in between.
class DriverContext {
public:
    DriverContext();
    ~DriverContext();
    DriverContext(const DriverContext&) = delete;
    DriverContext& operator=(const DriverContext&) = delete;
    const aipu_ctx_handle_t* get() const { return ctx_; }

private:
    aipu_ctx_handle_t* ctx_ = nullptr;
};

// A copy model of `tensor_bytes` written to a private directory and loaded
// through the runtime.
struct CopyModel {
    explicit CopyModel(uint32_t tensor_bytes);
    ~CopyModel();
    CopyModel(const CopyModel&) = delete;
    CopyModel& operator=(const CopyModel&) = delete;

    TempDir dir;
    RuntimeContext ctx;
    uint64_t graph = 0;
};

// The same with one job created on it.
struct CopyModelJob : CopyModel {
    explicit CopyModelJob(uint32_t tensor_bytes);
    ~CopyModelJob();

    uint64_t job = 0;
};

// Stops the process with a message naming the failed call; a benchmark that
// silently measured a failing path would publish nonsense.
void check(uint32_t status, const char* what);

// Reads a whole file with read(2) into a new, not zeroed buffer: the floor
// for loading a model from that file. `size` receives the bytes read.
std::unique_ptr<uint8_t[]> read_file(const std::string& path, size_t* size);

// Resident and peak resident set size of this process in bytes (/proc/self/status).
size_t resident_bytes();
// Starts a new peak from the current resident size, where the kernel allows it.
void reset_peak_resident();
size_t peak_resident_bytes();

}  // namespace kiv_bench

#endif  // KIV_BENCH_SUPPORT_H
