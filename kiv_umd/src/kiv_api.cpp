#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "container_file.h"
#include "container_result.h"
#include "kiv_context.h"
#include "kiv_log.h"
#include "quiet_failures.h"
#include "serialization_handler.h"

namespace {

constexpr const char* kLogFile = "src/kiv_api";

// Status for each container reader result code 0..5; anything else is internal.
constexpr int32_t kContainerStatus[6] = {KIV_STATUS_SUCCESS,
                                         KIV_STATUS_ERROR_OPEN_FILE_FAIL,
                                         KIV_STATUS_ERROR_OUT_OF_MEMORY,
                                         KIV_STATUS_ERROR_INVALID_GBIN,
                                         KIV_STATUS_ERROR_INTERNAL,
                                         KIV_STATUS_ERROR_GVERSION_UNSUPPORTED};

kiv_status_t container_status(int result) {
    const auto code = static_cast<unsigned>(result);
    if (code >= sizeof kContainerStatus / sizeof kContainerStatus[0]) return KIV_STATUS_ERROR_INTERNAL;
    return static_cast<kiv_status_t>(kContainerStatus[code]);
}

// Copies one name and its dimensions out under the two-call protocol: a null
// buffer asks for the size only; a buffer too small gets the needed size.
kiv_status_t report_tensor_info(const kiv::IoTensorInfo& info, char* name, uint32_t* name_len, int32_t* shape,
                                uint32_t* shape_len) {
    const auto name_length = static_cast<uint32_t>(info.name.size());
    if (name != nullptr) {
        if (*name_len <= name_length) {
            *name_len = name_length;
            return KIV_STATUS_ERROR_INVALID_SIZE;
        }
        std::memcpy(name, info.name.data(), name_length);
        name[name_length] = '\0';
    }
    *name_len = name_length;

    const auto dims = static_cast<uint32_t>(info.shape.size());
    if (shape != nullptr) {
        if (*shape_len < dims) {
            *shape_len = dims;
            return KIV_STATUS_ERROR_INVALID_SIZE;
        }
        std::copy(info.shape.begin(), info.shape.end(), shape);
    }
    *shape_len = dims;
    return KIV_STATUS_SUCCESS;
}

// The container reader's lines about a file, as the public container methods
// print them, unless the caller reports failures itself; the result's code.
int printed_unless_quiet(const kiv::ContainerResult& result) {
    return kiv::QuietFailures::active() ? result.code : kiv::print_lines(result);
}

}  // namespace

// The executable is only lent to the driver for this call: the reader owning
// it is destroyed on return, so the driver copies what it keeps. The reader
// lends it straight from the file's bytes, so a large model is held twice at
// most (file bytes and the driver's copy), not three times.
kiv_status_t kiv_load_graph(kiv_context* ctx, const char* path, uint64_t* graph_id, graph_config* cfg) {
    const kiv_status_t valid = validate_context(ctx);
    if (valid != KIV_STATUS_SUCCESS) return valid;
    kiv::ContainerFile reader;
    if (path == nullptr) return KIV_STATUS_ERROR_NULL_PTR;
    const kiv::ContainerResult result = reader.Read(path);
    // The container class's lines, which this call has always printed.
    if (!result.ok()) return container_status(printed_unless_quiet(result));
    if (!reader.HasSubgraph()) {
        KIV_LOG(LogLevel::ERROR, kLogFile, "%s: no subgraph/model data in zor\n", "kiv_load_graph");
        return KIV_STATUS_ERROR_INVALID_GBIN;
    }
    // Later subgraphs are ignored, whatever their backend.
    return ctx->impl->backend->load_graph(ctx, reinterpret_cast<const char*>(reader.ExecutableData()),
                                          reader.ExecutableSize(), graph_id, cfg);
}

kiv_status_t kiv_get_tensor_shape(const char* path, uint32_t type, uint32_t index, char* name, uint32_t* name_len,
                                  int32_t* shape, uint32_t* shape_len) {
    if (name_len == nullptr || shape_len == nullptr) return KIV_STATUS_ERROR_NULL_PTR;
    if (type > 1) return KIV_STATUS_ERROR_INVALID_TENSOR_TYPE;
    if (path == nullptr) return KIV_STATUS_ERROR_NULL_PTR;
    std::vector<kiv::IoTensorInfo> infos;
    {
        kiv::SerializationHandler reader;
        const int result = printed_unless_quiet(kiv::read_container(reader, path));
        if (result != 0) return container_status(result);
        infos = type == 0 ? reader.GetInputInfos() : reader.GetOutputInfos();
    }
    if (index >= infos.size()) return KIV_STATUS_ERROR_INVALID_TENSOR_ID;
    return report_tensor_info(infos[index], name, name_len, shape, shape_len);
}

// The backend gets its own copy; the caller's callable is left untouched.
kiv_status_t kiv_job_infer_async(kiv_context* ctx, uint64_t job_id, kiv_job_callback_t cb) {
    const kiv_status_t valid = validate_context(ctx);
    if (valid != KIV_STATUS_SUCCESS) return valid;
    kiv_job_callback_t copy = cb;
    return ctx->impl->backend->job_infer_async(ctx, job_id, std::move(copy));
}
