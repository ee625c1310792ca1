// Small NPU programs for the stand-in driver and a way to load them as graphs
// through the runtime, for tests that run real jobs.
#ifndef KIV_TEST_PROGRAMS_H
#define KIV_TEST_PROGRAMS_H

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "kiv_api.h"
#include "temp_files.h"

// out[i] = a[i] + b[i] over `n` f32 values.
std::vector<uint8_t> add_program(uint32_t n);
// out = relu(x . w + bias) with x f32[1, k], w f32[k, m] (row-major), bias f32[m].
std::vector<uint8_t> dense_relu_program(uint32_t k, uint32_t m, const std::vector<float>& w,
                                        const std::vector<float>& bias);
// out = in over `bytes` u8 values, after waiting `wait_ms` (0: no wait).
std::vector<uint8_t> copy_program(uint32_t bytes, uint32_t wait_ms = 0);
// Copies a u8[4] input, then ends the job with `job_status` (2 or more).
std::vector<uint8_t> raising_program(uint32_t job_status);

// Writes a container whose subgraphs carry `programs` in order.
std::unique_ptr<TempFile> write_program_container(const std::vector<std::vector<uint8_t>>& programs);

// Loads `program` as a graph; the status goes to `status` when given.
uint64_t load_program(kiv_context* ctx, const std::vector<uint8_t>& program, kiv_status_t* status = nullptr);

// Creates a job, fills each input from `inputs`, runs it synchronously and
// returns the outputs read back with the sizes the driver describes.
struct JobRun {
    kiv_status_t status = KIV_STATUS_SUCCESS;
    std::vector<std::vector<uint8_t>> outputs;
};
JobRun run_job(kiv_context* ctx, uint64_t graph_id, const std::vector<std::vector<uint8_t>>& inputs);

template <typename T>
std::vector<uint8_t> as_bytes(const std::vector<T>& values) {
    const auto* p = reinterpret_cast<const uint8_t*>(values.data());
    return std::vector<uint8_t>(p, p + values.size() * sizeof(T));
}

template <typename T>
std::vector<T> from_bytes(const std::vector<uint8_t>& bytes) {
    std::vector<T> values(bytes.size() / sizeof(T));
    if (!values.empty()) std::memcpy(values.data(), bytes.data(), values.size() * sizeof(T));
    return values;
}

#endif  // KIV_TEST_PROGRAMS_H
