#include <utility>

#include "api_forward.h"
#include "kiv_log.h"

kiv_status_t kiv_unload_graph(kiv_context* ctx, uint64_t graph_id) {
    return forward_to_backend(ctx, [&](BackendAdapter& b) { return b.unload_graph(ctx, graph_id); });
}

kiv_status_t kiv_config_global(kiv_context* ctx, uint64_t types, void* config) {
    return forward_to_backend(ctx, [&](BackendAdapter& b) { return b.config_global(ctx, types, config); });
}

kiv_status_t kiv_get_tensor_count(kiv_context* ctx, uint64_t graph_id, tensor_type_t type, uint32_t* count) {
    return forward_to_backend(ctx, [&](BackendAdapter& b) { return b.get_tensor_count(ctx, graph_id, type, count); });
}

kiv_status_t kiv_get_tensor_descriptor(kiv_context* ctx, uint64_t graph_id, tensor_type_t type, uint32_t index,
                                       tensor_desc_t* desc) {
    return forward_to_backend(
        ctx, [&](BackendAdapter& b) { return b.get_tensor_descriptor(ctx, graph_id, type, index, desc); });
}

kiv_status_t kiv_create_job(kiv_context* ctx, uint64_t graph_id, uint64_t* job_id, job_config* cfg) {
    return forward_to_backend(ctx, [&](BackendAdapter& b) { return b.create_job(ctx, graph_id, job_id, cfg); });
}

kiv_status_t kiv_config_job(kiv_context* ctx, uint64_t job_id, uint64_t types, void* config) {
    return forward_to_backend(ctx, [&](BackendAdapter& b) { return b.config_job(ctx, job_id, types, config); });
}

kiv_status_t kiv_load_tensor(kiv_context* ctx, uint64_t job_id, uint32_t index, const void* data) {
    return forward_to_backend(ctx, [&](BackendAdapter& b) { return b.load_tensor(ctx, job_id, index, data); });
}

kiv_status_t kiv_get_tensor(kiv_context* ctx, uint64_t job_id, tensor_type_t type, uint32_t index, void* dest) {
    return forward_to_backend(ctx, [&](BackendAdapter& b) { return b.get_tensor(ctx, job_id, type, index, dest); });
}

kiv_status_t kiv_job_infer_sync(kiv_context* ctx, uint64_t job_id, int32_t time_out) {
    return forward_to_backend(ctx, [&](BackendAdapter& b) { return b.job_infer_sync(ctx, job_id, time_out); });
}

// The backend gets its own copy; the caller's callable is left untouched.
kiv_status_t kiv_job_infer_async(kiv_context* ctx, uint64_t job_id, kiv_job_callback_t cb) {
    return forward_to_backend(ctx, [&](BackendAdapter& b) {
        kiv_job_callback_t copy = cb;
        return b.job_infer_async(ctx, job_id, std::move(copy));
    });
}

kiv_status_t kiv_get_job_status(kiv_context* ctx, uint64_t job_id, job_status_t* status, int32_t time_out) {
    return forward_to_backend(ctx, [&](BackendAdapter& b) { return b.get_job_status(ctx, job_id, status, time_out); });
}

kiv_status_t kiv_clean_job(kiv_context* ctx, uint64_t job_id) {
    return forward_to_backend(ctx, [&](BackendAdapter& b) { return b.clean_job(ctx, job_id); });
}

kiv_status_t kiv_get_error_message(kiv_context* ctx, kiv_status_t status, const char** msg) {
    return forward_to_backend(ctx, [&](BackendAdapter& b) { return b.get_error_message(ctx, status, msg); });
}

kiv_status_t kiv_create_batch_queue(kiv_context* ctx, uint64_t graph_id, uint32_t* queue_id) {
    return forward_to_backend(ctx, [&](BackendAdapter& b) { return b.create_batch_queue(ctx, graph_id, queue_id); });
}

kiv_status_t kiv_clean_batch_queue(kiv_context* ctx, uint64_t graph_id, uint32_t queue_id) {
    return forward_to_backend(ctx, [&](BackendAdapter& b) { return b.clean_batch_queue(ctx, graph_id, queue_id); });
}

kiv_status_t kiv_config_batch_dump(kiv_context* ctx, uint64_t graph_id, uint32_t queue_id, uint64_t types,
                                   job_config_dump_t* dump) {
    return forward_to_backend(
        ctx, [&](BackendAdapter& b) { return b.config_batch_dump(ctx, graph_id, queue_id, types, dump); });
}

kiv_status_t kiv_add_batch(kiv_context* ctx, uint64_t graph_id, uint32_t queue_id, char** inputs, char** outputs) {
    return forward_to_backend(ctx,
                              [&](BackendAdapter& b) { return b.add_batch(ctx, graph_id, queue_id, inputs, outputs); });
}

kiv_status_t kiv_finish_batch(kiv_context* ctx, uint64_t graph_id, uint32_t queue_id, job_config* cfg) {
    return forward_to_backend(ctx, [&](BackendAdapter& b) { return b.finish_batch(ctx, graph_id, queue_id, cfg); });
}
