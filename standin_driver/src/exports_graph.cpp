// Graph loading and tensor queries.
#include <algorithm>

#include "export_support.h"

using namespace standin;
using nlohmann::json;

AIPU_EXPORT aipu_status_t aipu_load_graph_helper(const aipu_ctx_handle_t* ctx, const char* graph_buf,
                                                 uint32_t graph_size, uint64_t* graph_id,
                                                 aipu_load_graph_config_t* config) {
    record_call("aipu_load_graph_helper", ctx, [&] {
        json args{{"size", graph_size},
                  {"has_wrapper", config != nullptr},
                  {"config", describe_load_graph_config(config)},
                  {"data_null", graph_buf == nullptr}};
        if (graph_buf != nullptr) args["data_hex_prefix"] = to_hex(graph_buf, std::min<uint32_t>(graph_size, 32));
        return args;
    });
    return with_context("aipu_load_graph_helper", ctx, [&](Context& c) {
        return c.load_graph(graph_buf, graph_size, graph_id, config ? config->load_graph_cfg : nullptr);
    });
}

AIPU_EXPORT aipu_status_t aipu_unload_graph(const aipu_ctx_handle_t* ctx, uint64_t graph_id) {
    record_call("aipu_unload_graph", ctx, [&] { return json{{"graph_id", graph_id}}; });
    return with_context("aipu_unload_graph", ctx, [&](Context& c) { return c.unload_graph(graph_id); });
}

AIPU_EXPORT aipu_status_t aipu_get_tensor_count(const aipu_ctx_handle_t* ctx, uint64_t id, aipu_tensor_type_t type,
                                                uint32_t* count) {
    record_call("aipu_get_tensor_count", ctx, [&] { return json{{"id", id}, {"type", type}}; });
    return with_context("aipu_get_tensor_count", ctx, [&](Context& c) { return c.tensor_count(id, type, count); });
}

AIPU_EXPORT aipu_status_t aipu_get_tensor_descriptor(const aipu_ctx_handle_t* ctx, uint64_t id, aipu_tensor_type_t type,
                                                     uint32_t tensor, aipu_tensor_desc_t* desc) {
    record_call("aipu_get_tensor_descriptor", ctx, [&] {
        return json{{"id", id}, {"type", type}, {"tensor", tensor}};
    });
    return with_context("aipu_get_tensor_descriptor", ctx,
                        [&](Context& c) { return c.tensor_descriptor(id, type, tensor, desc); });
}
