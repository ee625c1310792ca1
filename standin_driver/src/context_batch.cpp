#include <algorithm>
#include <cstring>

#include "aipu_driver.h"
#include "context.h"
#include "id_source.h"
#include "interpreter.h"
#include "job_options.h"
#include "standin_controls.h"

namespace standin {

std::shared_ptr<BatchQueue> Context::find_queue(uint64_t graph_id, uint32_t queue_id) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = queues_.find(queue_id);
    if (it == queues_.end() || it->second->graph_id != graph_id) return nullptr;
    return it->second;
}

uint32_t Context::create_batch_queue(uint64_t graph_id, uint32_t* queue_id) {
    if (queue_id == nullptr) return AIPU_STATUS_ERROR_NULL_PTR;
    std::lock_guard<std::mutex> lock(mu_);
    auto g = graphs_.find(graph_id);
    if (g == graphs_.end()) return AIPU_STATUS_ERROR_INVALID_GRAPH_ID;
    auto queue = std::make_shared<BatchQueue>();
    queue->id = next_queue_id();
    queue->graph_id = graph_id;
    queue->program = g->second;
    *queue_id = queue->id;
    queues_[queue->id] = std::move(queue);
    return 0;
}

uint32_t Context::clean_batch_queue(uint64_t graph_id, uint32_t queue_id) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = queues_.find(queue_id);
    if (it == queues_.end() || it->second->graph_id != graph_id) return AIPU_STATUS_ERROR_NO_BATCH_QUEUE;
    queues_.erase(it);
    return 0;
}

uint32_t Context::config_batch_dump(uint64_t graph_id, uint32_t queue_id, uint64_t types,
                                    const aipu_job_config_dump_t* cfg) {
    auto queue = find_queue(graph_id, queue_id);
    if (!queue) return AIPU_STATUS_ERROR_NO_BATCH_QUEUE;
    DumpConfig dump;
    if (uint32_t s = make_dump_config(types, cfg, dump)) return s;
    std::lock_guard<std::mutex> lock(mu_);
    queue->dump = std::move(dump);
    return 0;
}

uint32_t Context::add_batch(uint64_t graph_id, uint32_t queue_id, char** inputs, char** outputs) {
    auto queue = find_queue(graph_id, queue_id);
    if (!queue) return AIPU_STATUS_ERROR_NO_BATCH_QUEUE;
    const Program& p = *queue->program;
    BatchQueue::Entry entry;
    if (!p.inputs.empty() && inputs == nullptr) return AIPU_STATUS_ERROR_NULL_PTR;
    if (!p.outputs.empty() && outputs == nullptr) return AIPU_STATUS_ERROR_NULL_PTR;
    for (size_t i = 0; i < p.inputs.size(); ++i) {
        if (inputs[i] == nullptr) return AIPU_STATUS_ERROR_NULL_PTR;
        entry.inputs.push_back(inputs[i]);
    }
    for (size_t i = 0; i < p.outputs.size(); ++i) {
        if (outputs[i] == nullptr) return AIPU_STATUS_ERROR_NULL_PTR;
        entry.outputs.push_back(outputs[i]);
    }
    std::lock_guard<std::mutex> lock(mu_);
    queue->entries.push_back(std::move(entry));
    return 0;
}

uint32_t Context::run_batch(BatchQueue& queue, const BatchQueue::Entry& entry) {
    const Program& p = *queue.program;
    std::vector<std::vector<uint8_t>> inputs;
    for (size_t i = 0; i < p.inputs.size(); ++i) {
        const auto* src = reinterpret_cast<const uint8_t*>(entry.inputs[i]);
        inputs.emplace_back(src, src + p.tensors[p.inputs[i]].bytes);
    }
    std::vector<std::vector<uint8_t>> outputs;
    for (uint32_t idx : p.outputs) outputs.emplace_back(p.tensors[idx].bytes, 0);
    const std::string stem = (queue.dump.prefix.empty() ? "batch" : queue.dump.prefix) + "_" +
                             std::to_string(queue.id) + "_" + std::to_string(queue.runs++);
    if (queue.dump.inputs) dump_tensors(queue.dump, stem, "input", inputs);
    const uint32_t status = run_program(p, inputs, outputs, [this](uint32_t ms) { return executor_.sleep_ms(ms); });
    if (status != AIPU_JOB_STATUS_DONE) return status;
    if (queue.dump.outputs) dump_tensors(queue.dump, stem, "output", outputs);
    for (size_t i = 0; i < outputs.size(); ++i) {
        std::memcpy(entry.outputs[i], outputs[i].data(), std::min<size_t>(outputs[i].size(), tensor_write_limit()));
    }
    return status;
}

uint32_t Context::finish_batch(uint64_t graph_id, uint32_t queue_id, const aipu_create_job_cfg_t* options) {
    auto queue = find_queue(graph_id, queue_id);
    if (!queue) return AIPU_STATUS_ERROR_NO_BATCH_QUEUE;
    // The options are checked like a job's; the batches run on the calling thread.
    Placement placement;
    if (uint32_t status = placement_of(options, *queue->program, placement)) return status;
    std::vector<BatchQueue::Entry> entries;
    BatchQueue snapshot;
    {
        std::lock_guard<std::mutex> lock(mu_);
        entries.swap(queue->entries);
        snapshot.id = queue->id;
        snapshot.program = queue->program;
        snapshot.dump = queue->dump;
        snapshot.runs = queue->runs;
        queue->runs += static_cast<uint32_t>(entries.size());
    }
    // Batches run on the calling thread, one after the other; every batch
    // runs even when an earlier one raised.
    executor_.add_active(1);
    uint32_t result = 0;
    for (const auto& entry : entries) {
        if (run_batch(snapshot, entry) != AIPU_JOB_STATUS_DONE) result = AIPU_STATUS_ERROR_JOB_EXCEPTION;
    }
    executor_.add_active(-1);
    return result;
}

}  // namespace standin
