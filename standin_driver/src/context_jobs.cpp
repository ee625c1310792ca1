#include "aipu_driver.h"
#include "context.h"
#include "id_source.h"
#include "job_options.h"
#include "standin_controls.h"

namespace standin {

std::shared_ptr<Job> Context::find_job(uint64_t job_id) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = jobs_.find(job_id);
    return it == jobs_.end() ? nullptr : it->second;
}

uint32_t Context::create_job(uint64_t graph_id, uint64_t* job_id, const aipu_create_job_cfg_t* options) {
    if (job_id == nullptr) return AIPU_STATUS_ERROR_NULL_PTR;
    std::shared_ptr<const Program> program;
    {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = graphs_.find(graph_id);
        if (it == graphs_.end()) return AIPU_STATUS_ERROR_INVALID_GRAPH_ID;
        program = it->second;
    }
    Placement placement;
    if (uint32_t status = placement_of(options, *program, placement)) return status;
    const uint64_t id = next_object_id();
    auto job = std::make_shared<Job>(id, graph_id, std::move(program), placement);
    {
        std::lock_guard<std::mutex> lock(mu_);
        jobs_[id] = std::move(job);
    }
    *job_id = id;
    return 0;
}

uint32_t Context::config_job(uint64_t job_id, uint64_t types, void* config) {
    auto job = find_job(job_id);
    if (!job) return AIPU_STATUS_ERROR_INVALID_JOB_ID;
    // Other option kinds are accepted and have no effect on the simulation.
    if ((types & (AIPU_JOB_CONFIG_TYPE_DUMP_INPUT | AIPU_JOB_CONFIG_TYPE_DUMP_OUTPUT)) == 0) return 0;
    DumpConfig dump;
    if (uint32_t s = make_dump_config(types, static_cast<const aipu_job_config_dump_t*>(config), dump)) return s;
    job->set_dump(std::move(dump));
    return 0;
}

uint32_t Context::finish_job(uint64_t job_id, int32_t timeout_ms) {
    auto job = find_job(job_id);
    if (!job) return AIPU_STATUS_ERROR_INVALID_JOB_ID;
    if (job->prepare_finish() && !executor_.submit(job)) return AIPU_STATUS_ERROR_JOB_DISPATCH_FAIL;
    uint32_t status = 0;
    if (!job->wait_result(timeout_ms, &status)) return AIPU_STATUS_ERROR_JOB_TIMEOUT;
    return status == AIPU_JOB_STATUS_DONE ? 0u : uint32_t{AIPU_STATUS_ERROR_JOB_EXCEPTION};
}

uint32_t Context::flush_job(uint64_t job_id, aipu_job_callback_func_t cb) {
    auto job = find_job(job_id);
    if (!job) return AIPU_STATUS_ERROR_INVALID_JOB_ID;
    if (!job->prepare_flush(std::move(cb))) return AIPU_STATUS_ERROR_JOB_DISPATCH_FAIL;
    if (!executor_.submit(job)) return AIPU_STATUS_ERROR_JOB_DISPATCH_FAIL;
    return 0;
}

uint32_t Context::clean_job(uint64_t job_id) {
    auto job = find_job(job_id);
    if (!job) return AIPU_STATUS_ERROR_INVALID_JOB_ID;
    // A queued or running job is waited for, never torn out from under the
    // executor; its completion callable is still delivered.
    job->wait_idle();
    std::lock_guard<std::mutex> lock(mu_);
    return jobs_.erase(job_id) != 0 ? 0u : uint32_t{AIPU_STATUS_ERROR_INVALID_JOB_ID};
}

uint32_t Context::job_status(uint64_t job_id, aipu_job_status_t* status, int32_t timeout_ms) {
    if (status == nullptr) return AIPU_STATUS_ERROR_NULL_PTR;
    auto job = find_job(job_id);
    if (!job) return AIPU_STATUS_ERROR_INVALID_JOB_ID;
    count_status_query();
    *status = job->peek_status(status_queries_wait() ? timeout_ms : 0);
    return 0;
}

uint32_t Context::load_tensor(uint64_t job_id, uint32_t index, const void* data) {
    auto job = find_job(job_id);
    if (!job) return AIPU_STATUS_ERROR_INVALID_JOB_ID;
    return job->load_tensor(index, data);
}

uint32_t Context::get_tensor(uint64_t job_id, uint32_t type, uint32_t index, void* data) {
    auto job = find_job(job_id);
    if (!job) return AIPU_STATUS_ERROR_INVALID_JOB_ID;
    return job->get_tensor(type, index, data);
}

uint32_t Context::specify_iobuf(uint64_t job_id, const aipu_shared_tensor_info_t* info) {
    if (info == nullptr) return AIPU_STATUS_ERROR_NULL_PTR;
    auto job = find_job(job_id);
    if (!job) return AIPU_STATUS_ERROR_INVALID_JOB_ID;
    const Program& p = job->program();
    const std::vector<uint32_t>* list = nullptr;
    if (info->type == AIPU_TENSOR_TYPE_INPUT) list = &p.inputs;
    if (info->type == AIPU_TENSOR_TYPE_OUTPUT) list = &p.outputs;
    if (list == nullptr) return AIPU_STATUS_ERROR_INVALID_TENSOR_TYPE;
    if (info->tensor_idx >= list->size()) return AIPU_STATUS_ERROR_INVALID_TENSOR_ID;
    const uint32_t need = p.tensors[(*list)[info->tensor_idx]].bytes;
    uint32_t status = 0;
    std::unique_ptr<BoundRegion> region;
    switch (info->shared_case_type) {
        case AIPU_SHARED_BY_PA:
            region = buffers_.region_at_pa(info->pa, need, &status);
            break;
        case AIPU_SHARED_BY_DMABUF:
            region = buffers_.region_in_dma(info->dmabuf_fd, info->offset_in_dmabuf, need, &status);
            break;
        default:
            return AIPU_STATUS_ERROR_INVALID_CONFIG;
    }
    if (!region) return status;
    return job->bind(info->type, info->tensor_idx, std::move(region));
}

}  // namespace standin
