// Abstract device backend. Every device operation of the runtime goes through
// one of these; the slot order is part of the interface.
#ifndef KIV_BACKEND_ADAPTER_H
#define KIV_BACKEND_ADAPTER_H

#include "kiv_api.h"

class BackendAdapter {
public:
    virtual ~BackendAdapter() = default;

    virtual kiv_status_t init_context() = 0;
    virtual kiv_status_t deinit_context() = 0;
    virtual kiv_status_t config_global(kiv_context* ctx, uint64_t types, void* config) = 0;
    virtual kiv_status_t load_graph(kiv_context* ctx, const char* data, uint32_t size, uint64_t* graph_id,
                                    graph_config* cfg) = 0;
    virtual kiv_status_t unload_graph(kiv_context* ctx, uint64_t graph_id) = 0;
    virtual kiv_status_t job_infer_sync(kiv_context* ctx, uint64_t job_id, int32_t time_out) = 0;
    virtual kiv_status_t job_infer_async(kiv_context* ctx, uint64_t job_id, kiv_job_callback_t cb) = 0;
    virtual kiv_status_t create_job(kiv_context* ctx, uint64_t graph_id, uint64_t* job_id, job_config* cfg) = 0;
    virtual kiv_status_t clean_job(kiv_context* ctx, uint64_t job_id) = 0;
    virtual kiv_status_t get_job_status(kiv_context* ctx, uint64_t job_id, job_status_t* status, int32_t time_out) = 0;
    virtual kiv_status_t load_tensor(kiv_context* ctx, uint64_t job_id, uint32_t index, const void* data) = 0;
    virtual kiv_status_t get_tensor(kiv_context* ctx, uint64_t job_id, tensor_type_t type, uint32_t index,
                                    void* dest) = 0;
    virtual kiv_status_t config_job(kiv_context* ctx, uint64_t job_id, uint64_t types, void* config) = 0;
    virtual kiv_status_t get_tensor_count(kiv_context* ctx, uint64_t graph_id, tensor_type_t type, uint32_t* count) = 0;
    virtual kiv_status_t get_tensor_descriptor(kiv_context* ctx, uint64_t graph_id, tensor_type_t type, uint32_t index,
                                               tensor_desc_t* desc) = 0;
    virtual kiv_status_t ioctl(kiv_context* ctx, device_type_t device, ioctl_cmd_t cmd, void* arg) = 0;
    virtual kiv_status_t get_partition_count(kiv_context* ctx, uint32_t* count) = 0;
    virtual kiv_status_t get_cluster_count(kiv_context* ctx, uint32_t partition, uint32_t* count) = 0;
    virtual kiv_status_t get_core_count(kiv_context* ctx, uint32_t partition, uint32_t cluster, uint32_t* count) = 0;
    virtual kiv_status_t get_target(kiv_context* ctx, char* target) = 0;
    virtual kiv_status_t get_device_status(kiv_context* ctx, kiv_device_status_t* status) = 0;
    virtual kiv_status_t get_error_message(kiv_context* ctx, kiv_status_t status, const char** msg) = 0;
    virtual kiv_status_t create_batch_queue(kiv_context* ctx, uint64_t graph_id, uint32_t* queue_id) = 0;
    virtual kiv_status_t clean_batch_queue(kiv_context* ctx, uint64_t graph_id, uint32_t queue_id) = 0;
    virtual kiv_status_t config_batch_dump(kiv_context* ctx, uint64_t graph_id, uint32_t queue_id, uint64_t types,
                                           job_config_dump_t* dump) = 0;
    virtual kiv_status_t add_batch(kiv_context* ctx, uint64_t graph_id, uint32_t queue_id, char** inputs,
                                   char** outputs) = 0;
    virtual kiv_status_t finish_batch(kiv_context* ctx, uint64_t graph_id, uint32_t queue_id, job_config* cfg) = 0;
    virtual kiv_status_t specify_iobuf(kiv_context* ctx, uint64_t job_id, shared_tensor_info_npu* info) = 0;

    // Optional capabilities; a backend without them reports NOT_IMPLEMENTED.
    virtual kiv_status_t set_frequency(int /*index*/) { return KIV_STATUS_ERROR_NOT_IMPLEMENTED; }
    virtual kiv_status_t enable_profiling(bool /*on*/) { return KIV_STATUS_ERROR_NOT_IMPLEMENTED; }
};

#endif  // KIV_BACKEND_ADAPTER_H
