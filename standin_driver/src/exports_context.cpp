// Context lifecycle, device queries and the test controls.
#include <cstring>

#include "aipu_standin.h"
#include "export_support.h"
#include "standin_controls.h"
#include "status_texts.h"

using namespace standin;
using nlohmann::json;

AIPU_EXPORT aipu_status_t aipu_init_context(aipu_ctx_handle_t** ctx) {
    record_call("aipu_init_context", nullptr, [&] { return json{{"out_null", ctx == nullptr}}; });
    if (uint32_t forced = forced_init_status()) return forced;
    if (ctx == nullptr) return AIPU_STATUS_ERROR_NULL_PTR;
    *ctx = ContextRegistry::instance().add(std::make_shared<Context>());
    return 0;
}

AIPU_EXPORT aipu_status_t aipu_deinit_context(const aipu_ctx_handle_t* ctx) {
    record_call("aipu_deinit_context", ctx, [&] { return json::object(); });
    if (uint32_t forced = forced_deinit_status()) return forced;
    std::shared_ptr<Context> context = ContextRegistry::instance().remove(ctx);
    if (!context) return AIPU_STATUS_ERROR_INVALID_CTX;
    context->shutdown();
    if (close_waits_for_completions()) context->wait_for_completions();
    return 0;
}

AIPU_EXPORT aipu_status_t aipu_get_error_message(const aipu_ctx_handle_t* ctx, aipu_status_t status, const char** msg) {
    record_call("aipu_get_error_message", ctx, [&] { return json{{"status", status}}; });
    return with_context("aipu_get_error_message", ctx, [&](Context&) -> aipu_status_t {
        if (msg == nullptr) return AIPU_STATUS_ERROR_NULL_PTR;
        *msg = status_text(status);
        return 0;
    });
}

AIPU_EXPORT aipu_status_t aipu_config_global(const aipu_ctx_handle_t* ctx, uint64_t types, void* config) {
    record_call("aipu_config_global", ctx, [&] {
        json args{{"types", types}, {"config_null", config == nullptr}};
        if (config != nullptr && (types & AIPU_CONFIG_TYPE_HW)) {
            args["raw"] = to_hex(config, sizeof(aipu_global_config_hw_t));
        }
        return args;
    });
    return with_context("aipu_config_global", ctx, [&](Context& c) { return c.config_global(types, config); });
}

AIPU_EXPORT aipu_status_t aipu_get_device_status(const aipu_ctx_handle_t* ctx, uint32_t* status) {
    record_call("aipu_get_device_status", ctx, [&] { return json::object(); });
    return with_context("aipu_get_device_status", ctx, [&](Context& c) -> aipu_status_t {
        if (status == nullptr) return AIPU_STATUS_ERROR_NULL_PTR;
        *status = c.device_status();
        return 0;
    });
}

AIPU_EXPORT aipu_status_t aipu_get_target(const aipu_ctx_handle_t* ctx, char* target) {
    record_call("aipu_get_target", ctx, [&] { return json::object(); });
    return with_context("aipu_get_target", ctx, [&](Context&) -> aipu_status_t {
        if (target == nullptr) return AIPU_STATUS_ERROR_NULL_PTR;
        std::strcpy(target, kTargetName);
        return 0;
    });
}

AIPU_EXPORT aipu_status_t aipu_get_partition_count(const aipu_ctx_handle_t* ctx, uint32_t* count) {
    record_call("aipu_get_partition_count", ctx, [&] { return json::object(); });
    return with_context("aipu_get_partition_count", ctx, [&](Context&) -> aipu_status_t {
        if (count == nullptr) return AIPU_STATUS_ERROR_NULL_PTR;
        *count = kPartitionCount;
        return 0;
    });
}

AIPU_EXPORT aipu_status_t aipu_get_cluster_count(const aipu_ctx_handle_t* ctx, uint32_t partition, uint32_t* count) {
    record_call("aipu_get_cluster_count", ctx, [&] { return json{{"partition", partition}}; });
    return with_context("aipu_get_cluster_count", ctx, [&](Context&) -> aipu_status_t {
        if (count == nullptr) return AIPU_STATUS_ERROR_NULL_PTR;
        if (partition >= kPartitionCount) return AIPU_STATUS_ERROR_INVALID_PARTITION_ID;
        *count = kClusterCount;
        return 0;
    });
}

AIPU_EXPORT aipu_status_t aipu_get_core_count(const aipu_ctx_handle_t* ctx, uint32_t partition, uint32_t cluster,
                                              uint32_t* count) {
    record_call("aipu_get_core_count", ctx, [&] { return json{{"partition", partition}, {"cluster", cluster}}; });
    return with_context("aipu_get_core_count", ctx, [&](Context&) -> aipu_status_t {
        if (count == nullptr) return AIPU_STATUS_ERROR_NULL_PTR;
        if (partition >= kPartitionCount) return AIPU_STATUS_ERROR_INVALID_PARTITION_ID;
        if (cluster >= kClusterCount) return AIPU_STATUS_ERROR_INVALID_CLUSTER_ID;
        *count = kCoreCount;
        return 0;
    });
}

AIPU_EXPORT void aipu_standin_set_init_status(uint32_t status) {
    set_forced_init_status(status);
}

AIPU_EXPORT void aipu_standin_set_deinit_status(uint32_t status) {
    set_forced_deinit_status(status);
}

AIPU_EXPORT void aipu_standin_set_tensor_write_limit(uint32_t bytes) {
    set_tensor_write_limit(bytes);
}

AIPU_EXPORT void aipu_standin_set_call_status(const char* entry_point, uint32_t status) {
    set_forced_call_status(entry_point, status);
}

AIPU_EXPORT void aipu_standin_set_completion_fault(uint32_t fault) {
    set_completion_fault(fault);
}

AIPU_EXPORT void aipu_standin_set_close_waits_for_completions(uint32_t on) {
    set_close_waits_for_completions(on != 0);
}

AIPU_EXPORT void aipu_standin_set_status_queries_wait(uint32_t on) {
    set_status_queries_wait(on != 0);
}

AIPU_EXPORT uint64_t aipu_standin_status_query_count(void) {
    return status_queries();
}

AIPU_EXPORT uint32_t aipu_standin_open_context_count(void) {
    return ContextRegistry::instance().count();
}

AIPU_EXPORT void aipu_standin_set_call_recording(uint32_t on) {
    CallRecorder::instance().set_enabled(on != 0);
}

AIPU_EXPORT size_t aipu_standin_describe_last_call(const char* entry_point, char* buffer, size_t capacity) {
    return CallRecorder::instance().describe(entry_point, buffer, capacity);
}

AIPU_EXPORT void aipu_standin_reset_calls(void) {
    CallRecorder::instance().reset();
}
