// Backend for the AIPU driver: loads libaipudrv.so (or $AIPU_LIB_PATH, or a
// library named by its creator) on the first init_context, binds its 28
// entry points and forwards each operation.
#ifndef KIV_AIPU_ADAPTER_H
#define KIV_AIPU_ADAPTER_H

#include <memory>
#include <string>

#include "backend_adapter.h"

class AipuAdapter : public BackendAdapter {
public:
    // `library` names the driver library to load; empty: $AIPU_LIB_PATH,
    // else libaipudrv.so.
    explicit AipuAdapter(std::string library = {});
    ~AipuAdapter() override;
    AipuAdapter(const AipuAdapter&) = delete;
    AipuAdapter& operator=(const AipuAdapter&) = delete;

    kiv_status_t init_context() override;
    kiv_status_t deinit_context() override;
    kiv_status_t config_global(kiv_context* ctx, uint64_t types, void* config) override;
    kiv_status_t load_graph(kiv_context* ctx, const char* data, uint32_t size, uint64_t* graph_id,
                            graph_config* cfg) override;
    kiv_status_t unload_graph(kiv_context* ctx, uint64_t graph_id) override;
    kiv_status_t job_infer_sync(kiv_context* ctx, uint64_t job_id, int32_t time_out) override;
    kiv_status_t job_infer_async(kiv_context* ctx, uint64_t job_id, kiv_job_callback_t cb) override;
    kiv_status_t create_job(kiv_context* ctx, uint64_t graph_id, uint64_t* job_id, job_config* cfg) override;
    kiv_status_t clean_job(kiv_context* ctx, uint64_t job_id) override;
    kiv_status_t get_job_status(kiv_context* ctx, uint64_t job_id, job_status_t* status, int32_t time_out) override;
    kiv_status_t load_tensor(kiv_context* ctx, uint64_t job_id, uint32_t index, const void* data) override;
    kiv_status_t get_tensor(kiv_context* ctx, uint64_t job_id, tensor_type_t type, uint32_t index, void* dest) override;
    kiv_status_t config_job(kiv_context* ctx, uint64_t job_id, uint64_t types, void* config) override;
    kiv_status_t get_tensor_count(kiv_context* ctx, uint64_t graph_id, tensor_type_t type, uint32_t* count) override;
    kiv_status_t get_tensor_descriptor(kiv_context* ctx, uint64_t graph_id, tensor_type_t type, uint32_t index,
                                       tensor_desc_t* desc) override;
    kiv_status_t ioctl(kiv_context* ctx, device_type_t device, ioctl_cmd_t cmd, void* arg) override;
    kiv_status_t get_partition_count(kiv_context* ctx, uint32_t* count) override;
    kiv_status_t get_cluster_count(kiv_context* ctx, uint32_t partition, uint32_t* count) override;
    kiv_status_t get_core_count(kiv_context* ctx, uint32_t partition, uint32_t cluster, uint32_t* count) override;
    kiv_status_t get_target(kiv_context* ctx, char* target) override;
    kiv_status_t get_device_status(kiv_context* ctx, kiv_device_status_t* status) override;
    kiv_status_t get_error_message(kiv_context* ctx, kiv_status_t status, const char** msg) override;
    kiv_status_t create_batch_queue(kiv_context* ctx, uint64_t graph_id, uint32_t* queue_id) override;
    kiv_status_t clean_batch_queue(kiv_context* ctx, uint64_t graph_id, uint32_t queue_id) override;
    kiv_status_t config_batch_dump(kiv_context* ctx, uint64_t graph_id, uint32_t queue_id, uint64_t types,
                                   job_config_dump_t* dump) override;
    kiv_status_t add_batch(kiv_context* ctx, uint64_t graph_id, uint32_t queue_id, char** inputs,
                           char** outputs) override;
    kiv_status_t finish_batch(kiv_context* ctx, uint64_t graph_id, uint32_t queue_id, job_config* cfg) override;
    kiv_status_t specify_iobuf(kiv_context* ctx, uint64_t job_id, shared_tensor_info_npu* info) override;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

#endif  // KIV_AIPU_ADAPTER_H
