// Device control and batch queues.
#include "export_support.h"

using namespace standin;
using nlohmann::json;

AIPU_EXPORT aipu_status_t aipu_ioctl(const aipu_ctx_handle_t* ctx, uint32_t cmd, void* arg) {
    record_call("aipu_ioctl", ctx, [&] { return describe_ioctl(cmd, arg); });
    return with_context("aipu_ioctl", ctx, [&](Context& c) { return c.ioctl(cmd, arg); });
}

AIPU_EXPORT aipu_status_t aipu_create_batch_queue(const aipu_ctx_handle_t* ctx, uint64_t graph_id, uint32_t* queue_id) {
    record_call("aipu_create_batch_queue", ctx, [&] { return json{{"graph_id", graph_id}}; });
    return with_context("aipu_create_batch_queue", ctx,
                        [&](Context& c) { return c.create_batch_queue(graph_id, queue_id); });
}

AIPU_EXPORT aipu_status_t aipu_clean_batch_queue(const aipu_ctx_handle_t* ctx, uint64_t graph_id, uint32_t queue_id) {
    record_call("aipu_clean_batch_queue", ctx, [&] { return json{{"graph_id", graph_id}, {"queue_id", queue_id}}; });
    return with_context("aipu_clean_batch_queue", ctx,
                        [&](Context& c) { return c.clean_batch_queue(graph_id, queue_id); });
}

AIPU_EXPORT aipu_status_t aipu_config_batch_dump(const aipu_ctx_handle_t* ctx, uint64_t graph_id, uint32_t queue_id,
                                                 uint64_t types, aipu_job_config_dump_t* config) {
    record_call("aipu_config_batch_dump", ctx, [&] {
        json args{{"graph_id", graph_id}, {"queue_id", queue_id}, {"types", types}};
        args.update(describe_dump_config(config));
        return args;
    });
    return with_context("aipu_config_batch_dump", ctx,
                        [&](Context& c) { return c.config_batch_dump(graph_id, queue_id, types, config); });
}

AIPU_EXPORT aipu_status_t aipu_add_batch(const aipu_ctx_handle_t* ctx, uint64_t graph_id, uint32_t queue_id,
                                         char** inputs, char** outputs) {
    record_call("aipu_add_batch", ctx, [&] {
        return json{{"graph_id", graph_id},
                    {"queue_id", queue_id},
                    {"inputs_null", inputs == nullptr},
                    {"outputs_null", outputs == nullptr}};
    });
    return with_context("aipu_add_batch", ctx,
                        [&](Context& c) { return c.add_batch(graph_id, queue_id, inputs, outputs); });
}

AIPU_EXPORT aipu_status_t aipu_finish_batch(const aipu_ctx_handle_t* ctx, uint64_t graph_id, uint32_t queue_id,
                                            aipu_create_job_cfg_t* config) {
    record_call("aipu_finish_batch", ctx, [&] {
        return json{{"graph_id", graph_id}, {"queue_id", queue_id}, {"config", describe_create_job_config(config)}};
    });
    return with_context("aipu_finish_batch", ctx,
                        [&](Context& c) { return c.finish_batch(graph_id, queue_id, config); });
}
