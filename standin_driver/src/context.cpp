#include "context.h"

#include "aipu_driver.h"
#include "id_source.h"
#include "job_options.h"
#include "profile.h"

namespace standin {

Context::Context() : executor_(kCoreCount) {}

Context::~Context() {
    shutdown();
}

void Context::shutdown() {
    executor_.shutdown();
    buffers_.release_all();
}

std::shared_ptr<const Program> Context::find_program(uint64_t id) {
    std::lock_guard<std::mutex> lock(mu_);
    auto g = graphs_.find(id);
    if (g != graphs_.end()) return g->second;
    // Descriptor and count queries also take a job id and answer for the
    // job's graph, even after that graph was unloaded.
    auto j = jobs_.find(id);
    if (j != jobs_.end()) return j->second->program_ptr();
    return nullptr;
}

uint32_t Context::load_graph(const char* data, uint32_t size, uint64_t* graph_id,
                             const aipu_load_graph_cfg_t* options) {
    if (data == nullptr || graph_id == nullptr) return AIPU_STATUS_ERROR_NULL_PTR;
    auto program = std::make_shared<Program>();
    if (uint32_t s = parse_program(reinterpret_cast<const uint8_t*>(data), size, *program)) return s;
    if (uint32_t s = check_load_options(options, *program)) return s;
    const uint64_t id = next_object_id();
    {
        std::lock_guard<std::mutex> lock(mu_);
        graphs_[id] = std::move(program);
    }
    *graph_id = id;
    return 0;
}

uint32_t Context::unload_graph(uint64_t graph_id) {
    std::lock_guard<std::mutex> lock(mu_);
    if (graphs_.erase(graph_id) == 0) return AIPU_STATUS_ERROR_INVALID_GRAPH_ID;
    // Jobs keep their own reference to the program and stay usable until
    // cleaned; the graph's batch queues go with it.
    for (auto it = queues_.begin(); it != queues_.end();) {
        it = it->second->graph_id == graph_id ? queues_.erase(it) : std::next(it);
    }
    return 0;
}

uint32_t Context::tensor_count(uint64_t id, uint32_t type, uint32_t* count) {
    if (count == nullptr) return AIPU_STATUS_ERROR_NULL_PTR;
    auto program = find_program(id);
    if (!program) return AIPU_STATUS_ERROR_INVALID_GRAPH_ID;
    if (type > AIPU_TENSOR_TYPE_OUT_TENSOR_SHAPE) return AIPU_STATUS_ERROR_INVALID_TENSOR_TYPE;
    if (type == AIPU_TENSOR_TYPE_INPUT) {
        *count = static_cast<uint32_t>(program->inputs.size());
    } else if (type == AIPU_TENSOR_TYPE_OUTPUT) {
        *count = static_cast<uint32_t>(program->outputs.size());
    } else if (type == AIPU_TENSOR_TYPE_PROFILER) {
        *count = executor_.profiling() ? 1 : 0;
    } else {
        *count = 0;
    }
    return 0;
}

uint32_t Context::tensor_descriptor(uint64_t id, uint32_t type, uint32_t index, aipu_tensor_desc_t* desc) {
    if (desc == nullptr) return AIPU_STATUS_ERROR_NULL_PTR;
    auto program = find_program(id);
    if (!program) return AIPU_STATUS_ERROR_INVALID_GRAPH_ID;
    if (type > AIPU_TENSOR_TYPE_OUT_TENSOR_SHAPE) return AIPU_STATUS_ERROR_INVALID_TENSOR_TYPE;
    if (type == AIPU_TENSOR_TYPE_PROFILER) {
        if (!executor_.profiling() || index != 0) return AIPU_STATUS_ERROR_INVALID_TENSOR_ID;
        *desc = aipu_tensor_desc_t{0, profile_size(*program), 1.0f, 0, AIPU_DATA_TYPE_U8};
        return 0;
    }
    const std::vector<uint32_t>* list = nullptr;
    if (type == AIPU_TENSOR_TYPE_INPUT) list = &program->inputs;
    if (type == AIPU_TENSOR_TYPE_OUTPUT) list = &program->outputs;
    if (list == nullptr || index >= list->size()) return AIPU_STATUS_ERROR_INVALID_TENSOR_ID;
    *desc = program->descriptor(*list, index);
    return 0;
}

uint32_t Context::build_version(uint64_t id, uint32_t* version) {
    auto program = find_program(id);
    if (!program) return AIPU_STATUS_ERROR_INVALID_GRAPH_ID;
    *version = program->build_version;
    return 0;
}

uint32_t Context::device_status() const {
    return executor_.busy() ? AIPU_DEVICE_STATUS_BUSY : AIPU_DEVICE_STATUS_IDLE;
}

}  // namespace standin
