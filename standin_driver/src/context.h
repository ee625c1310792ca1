// One driver context: the graphs, jobs, batch queues and shared buffers it
// issued, and the simulated cores that run its jobs. Every method is safe to
// call from several threads at once.
#ifndef STANDIN_CONTEXT_H
#define STANDIN_CONTEXT_H

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "aipu_driver.h"
#include "batch_queue.h"
#include "device_buffers.h"
#include "executor.h"
#include "job.h"
#include "program.h"

namespace standin {

// The device this driver simulates.
constexpr uint32_t kPartitionCount = 1;
constexpr uint32_t kClusterCount = 1;
constexpr uint32_t kCoreCount = 4;
constexpr uint32_t kQosLevels = 4;          // job priorities 0 (lowest) to 3
constexpr uint32_t kMemoryRegionCount = 2;  // 0: external memory, 1: on-chip memory
constexpr const char* kTargetName = "KVS_0404MP4";

class Context {
public:
    Context();
    ~Context();

    // Ends all work: waits for running jobs (waits are cut short), releases
    // buffers. Further submissions are refused.
    void shutdown();
    // Waits until every completion posted so far has been delivered (at
    // once when called from the thread that delivers them).
    void wait_for_completions() { executor_.callbacks().drain(); }

    // Graphs.
    // `options` may be null.
    uint32_t load_graph(const char* data, uint32_t size, uint64_t* graph_id, const aipu_load_graph_cfg_t* options);
    uint32_t unload_graph(uint64_t graph_id);
    uint32_t tensor_count(uint64_t id, uint32_t type, uint32_t* count);
    uint32_t tensor_descriptor(uint64_t id, uint32_t type, uint32_t index, aipu_tensor_desc_t* desc);
    uint32_t build_version(uint64_t id, uint32_t* version);

    // Jobs.
    uint32_t create_job(uint64_t graph_id, uint64_t* job_id, const aipu_create_job_cfg_t* options);
    uint32_t config_job(uint64_t job_id, uint64_t types, void* config);
    uint32_t finish_job(uint64_t job_id, int32_t timeout_ms);
    uint32_t flush_job(uint64_t job_id, aipu_job_callback_func_t cb);
    uint32_t clean_job(uint64_t job_id);
    uint32_t job_status(uint64_t job_id, aipu_job_status_t* status, int32_t timeout_ms);
    uint32_t load_tensor(uint64_t job_id, uint32_t index, const void* data);
    uint32_t get_tensor(uint64_t job_id, uint32_t type, uint32_t index, void* data);
    uint32_t specify_iobuf(uint64_t job_id, const aipu_shared_tensor_info_t* info);

    // Batch queues.
    uint32_t create_batch_queue(uint64_t graph_id, uint32_t* queue_id);
    uint32_t clean_batch_queue(uint64_t graph_id, uint32_t queue_id);
    uint32_t config_batch_dump(uint64_t graph_id, uint32_t queue_id, uint64_t types, const aipu_job_config_dump_t* cfg);
    uint32_t add_batch(uint64_t graph_id, uint32_t queue_id, char** inputs, char** outputs);
    uint32_t finish_batch(uint64_t graph_id, uint32_t queue_id, const aipu_create_job_cfg_t* options);

    // Device.
    uint32_t device_status() const;
    uint32_t config_global(uint64_t types, const void* config);
    uint32_t ioctl(uint32_t cmd, void* arg);

private:
    std::shared_ptr<const Program> find_program(uint64_t id);
    std::shared_ptr<Job> find_job(uint64_t job_id);
    std::shared_ptr<BatchQueue> find_queue(uint64_t graph_id, uint32_t queue_id);
    uint32_t run_batch(BatchQueue& queue, const BatchQueue::Entry& entry);

    std::mutex mu_;  // guards the three tables
    std::map<uint64_t, std::shared_ptr<const Program>> graphs_;
    std::map<uint64_t, std::shared_ptr<Job>> jobs_;
    std::map<uint32_t, std::shared_ptr<BatchQueue>> queues_;

    BufferPool buffers_;
    Executor executor_;
    std::atomic<bool> tick_counter_{false};
    std::atomic<bool> poll_in_commit_thread_{false};
};

}  // namespace standin

#endif  // STANDIN_CONTEXT_H
