// Jobs: creation, options, running, tensors.
#include "export_support.h"

using namespace standin;
using nlohmann::json;

AIPU_EXPORT aipu_status_t aipu_create_job(const aipu_ctx_handle_t* ctx, uint64_t graph_id, uint64_t* job_id,
                                          aipu_create_job_cfg_t* config) {
    record_call("aipu_create_job", ctx, [&] {
        return json{{"graph_id", graph_id}, {"config", describe_create_job_config(config)}};
    });
    return with_context("aipu_create_job", ctx, [&](Context& c) { return c.create_job(graph_id, job_id, config); });
}

AIPU_EXPORT aipu_status_t aipu_config_job(const aipu_ctx_handle_t* ctx, uint64_t job_id, uint64_t types, void* config) {
    record_call("aipu_config_job", ctx, [&] {
        json args{{"job_id", job_id}, {"types", types}};
        if (types & AIPU_CONFIG_TYPE_SIMULATION) {
            // The simulation record holds a single text, the data directory.
            args["config_null"] = config == nullptr;
            args["data_dir"] = config ? text_or_null(*static_cast<const char* const*>(config)) : json(nullptr);
        } else {
            args.update(describe_dump_config(static_cast<const aipu_job_config_dump_t*>(config)));
        }
        return args;
    });
    return with_context("aipu_config_job", ctx, [&](Context& c) { return c.config_job(job_id, types, config); });
}

AIPU_EXPORT aipu_status_t aipu_finish_job(const aipu_ctx_handle_t* ctx, uint64_t job_id, int32_t time_out) {
    record_call("aipu_finish_job", ctx, [&] { return json{{"job_id", job_id}, {"time_out", time_out}}; });
    return with_context("aipu_finish_job", ctx, [&](Context& c) { return c.finish_job(job_id, time_out); });
}

AIPU_EXPORT aipu_status_t aipu_flush_job(const aipu_ctx_handle_t* ctx, uint64_t job_id, aipu_job_callback_func_t cb) {
    record_call("aipu_flush_job", ctx, [&] { return json{{"job_id", job_id}, {"callback_empty", !cb}}; });
    return with_context("aipu_flush_job", ctx, [&](Context& c) { return c.flush_job(job_id, std::move(cb)); });
}

AIPU_EXPORT aipu_status_t aipu_clean_job(const aipu_ctx_handle_t* ctx, uint64_t job_id) {
    record_call("aipu_clean_job", ctx, [&] { return json{{"job_id", job_id}}; });
    return with_context("aipu_clean_job", ctx, [&](Context& c) { return c.clean_job(job_id); });
}

AIPU_EXPORT aipu_status_t aipu_get_job_status(const aipu_ctx_handle_t* ctx, uint64_t job_id, aipu_job_status_t* status,
                                              int32_t time_out) {
    record_call("aipu_get_job_status", ctx, [&] { return json{{"job_id", job_id}, {"time_out", time_out}}; });
    return with_context("aipu_get_job_status", ctx, [&](Context& c) { return c.job_status(job_id, status, time_out); });
}

AIPU_EXPORT aipu_status_t aipu_load_tensor(const aipu_ctx_handle_t* ctx, uint64_t job_id, uint32_t tensor,
                                           const void* data) {
    record_call("aipu_load_tensor", ctx, [&] {
        return json{{"job_id", job_id}, {"tensor", tensor}, {"data_null", data == nullptr}};
    });
    return with_context("aipu_load_tensor", ctx, [&](Context& c) { return c.load_tensor(job_id, tensor, data); });
}

AIPU_EXPORT aipu_status_t aipu_get_tensor(const aipu_ctx_handle_t* ctx, uint64_t job_id, aipu_tensor_type_t type,
                                          uint32_t tensor, void* data) {
    record_call("aipu_get_tensor", ctx, [&] {
        return json{{"job_id", job_id}, {"type", type}, {"tensor", tensor}, {"data_null", data == nullptr}};
    });
    return with_context("aipu_get_tensor", ctx, [&](Context& c) { return c.get_tensor(job_id, type, tensor, data); });
}

AIPU_EXPORT aipu_status_t aipu_specify_iobuf(const aipu_ctx_handle_t* ctx, uint64_t job_id,
                                             aipu_shared_tensor_info_t* info) {
    record_call("aipu_specify_iobuf", ctx, [&] {
        return json{{"job_id", job_id}, {"info", describe_shared_tensor(info)}};
    });
    return with_context("aipu_specify_iobuf", ctx, [&](Context& c) { return c.specify_iobuf(job_id, info); });
}
