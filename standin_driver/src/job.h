// One job: its tensors, bindings, dump options and run state. The executor
// runs it on a snapshot of its inputs and commits the outputs at the end, so
// tensor loads and reads never race a run.
#ifndef STANDIN_JOB_H
#define STANDIN_JOB_H

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "aipu_driver.h"
#include "device_buffers.h"
#include "program.h"
#include "tensor_dump.h"

namespace standin {

// Where and how urgently a job runs, from its create-job options.
struct Placement {
    int core = -1;     // the core it is pinned to; -1: any core
    uint32_t qos = 0;  // when every core is busy, higher levels are taken first
};

// What one run works on, taken from the job when the run starts.
struct RunInput {
    std::vector<std::vector<uint8_t>> inputs;
    DumpConfig dump;
    bool inputs_ok = true;  // false when a bound buffer could not be read
};

class Job {
public:
    Job(uint64_t id, uint64_t graph_id, std::shared_ptr<const Program> program, Placement placement = {});

    uint64_t id() const { return id_; }
    const Placement& placement() const { return placement_; }
    uint64_t graph_id() const { return graph_id_; }
    const Program& program() const { return *program_; }
    std::shared_ptr<const Program> program_ptr() const { return program_; }

    uint32_t load_tensor(uint32_t index, const void* data);
    uint32_t get_tensor(uint32_t type, uint32_t index, void* data);
    uint32_t bind(uint32_t type, uint32_t index, std::unique_ptr<BoundRegion> region);
    void set_dump(DumpConfig cfg);

    // Submission. prepare_finish returns true when the caller must queue a
    // new run (the job is idle, or its last result was already collected).
    // prepare_flush returns false when a run is already queued or running.
    bool prepare_finish();
    bool prepare_flush(aipu_job_callback_func_t cb);

    // Waits up to `timeout_ms` (-1: forever) for the run to end. Returns
    // false on time-out; otherwise stores the outcome and marks it collected.
    bool wait_result(int32_t timeout_ms, uint32_t* job_status);
    // Status without collecting it: NO_STATUS while queued, running or never
    // run, after waiting up to `timeout_ms` for a pending run to end.
    aipu_job_status_t peek_status(int32_t timeout_ms);
    // Blocks until no run is queued or running.
    void wait_idle();

    // Executor side.
    RunInput start_run();
    // Records the outcome, commits outputs when the run succeeded (and the
    // run's profiler tensor, when it was profiled) and wakes the waiters;
    // returns the completion callable to deliver, if any.
    aipu_job_callback_func_t end_run(uint32_t job_status, std::vector<std::vector<uint8_t>>&& outputs,
                                     std::vector<uint8_t>&& profile = {});
    std::vector<std::vector<uint8_t>> fresh_outputs() const;

private:
    enum class State { kIdle, kQueued, kRunning, kEnded };

    bool wait_ended(std::unique_lock<std::mutex>& lock, int32_t timeout_ms);

    const uint64_t id_;
    const uint64_t graph_id_;
    const std::shared_ptr<const Program> program_;
    const Placement placement_;

    std::mutex mu_;
    std::condition_variable ended_cv_;
    State state_ = State::kIdle;
    uint32_t last_status_ = AIPU_JOB_STATUS_NO_STATUS;
    bool result_pending_ = false;  // a flushed run ended and nobody collected it
    bool flushed_ = false;
    aipu_job_callback_func_t callback_;
    std::vector<std::vector<uint8_t>> inputs_;
    std::vector<std::vector<uint8_t>> outputs_;
    std::vector<uint8_t> profile_;  // of the last profiled run; empty before one
    std::vector<std::shared_ptr<BoundRegion>> input_bindings_;
    std::vector<std::shared_ptr<BoundRegion>> output_bindings_;
    DumpConfig dump_;
};

}  // namespace standin

#endif  // STANDIN_JOB_H
