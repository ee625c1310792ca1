#include "aipu_adapter.h"

#include <dlfcn.h>

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "aipu_adapter_impl.h"
#include "aipu_completion_bridge.h"
#include "kiv_log.h"

// The runtime's records are handed to the driver by pointer, so they must be
// the driver's records byte for byte.
static_assert(sizeof(graph_config) == sizeof(aipu_load_graph_config_t), "graph_config layout");
static_assert(offsetof(graph_config, load_graph_cfg) == offsetof(aipu_load_graph_config_t, load_graph_cfg),
              "graph_config layout");
static_assert(sizeof(tensor_desc_t) == sizeof(aipu_tensor_desc_t), "tensor descriptor layout");
static_assert(offsetof(tensor_desc_t, size) == offsetof(aipu_tensor_desc_t, size), "tensor descriptor layout");
static_assert(offsetof(tensor_desc_t, scale) == offsetof(aipu_tensor_desc_t, scale), "tensor descriptor layout");
static_assert(offsetof(tensor_desc_t, zero_point) == offsetof(aipu_tensor_desc_t, zero_point),
              "tensor descriptor layout");
static_assert(offsetof(tensor_desc_t, data_type) == offsetof(aipu_tensor_desc_t, data_type),
              "tensor descriptor layout");
static_assert(sizeof(kiv_data_type_t) == sizeof(aipu_data_type_t), "data type width");
static_assert(sizeof(job_status_t) == sizeof(aipu_job_status_t), "job status width");
static_assert(sizeof(kiv_device_status_t) == sizeof(uint32_t), "device status width");
// The driver may read them through its own types wherever they live.
static_assert(alignof(graph_config) == alignof(aipu_load_graph_config_t), "graph_config alignment");
static_assert(alignof(tensor_desc_t) == alignof(aipu_tensor_desc_t), "tensor descriptor alignment");
static_assert(alignof(job_status_t) == alignof(aipu_job_status_t), "job status alignment");
static_assert(alignof(kiv_device_status_t) == alignof(uint32_t), "device status alignment");

namespace {

constexpr const char* kLogFile = "src/aipu_adapter";

// Owns a freshly opened driver library until every entry point is bound, so
// that a failed bind, or an exception on the way, closes it again.
struct LibraryCloser {
    void operator()(void* library) const { dlclose(library); }
};
using OpenedLibrary = std::unique_ptr<void, LibraryCloser>;

// Looks one name up. A lookup that leaves a loader error is a miss; the text
// of the first miss is kept. (A name that resolves to a null address without
// an error is not a miss: its slot simply stays null.)
template <typename Fn>
void bind_entry(void* library, const char* name, Fn& slot, std::string& first_miss) {
    dlerror();
    slot = reinterpret_cast<Fn>(dlsym(library, name));
    const char* error = dlerror();
    if (error != nullptr && first_miss.empty()) first_miss = error;
}

std::string loader_error_text() {
    const char* text = dlerror();
    return text ? text : "";
}

kiv_status_t to_status(aipu_status_t driver_status) {
    return static_cast<kiv_status_t>(driver_status);
}

aipu_create_job_cfg_t* job_options(job_config* cfg) {
    return cfg ? cfg->create_job_cfg : nullptr;
}

}  // namespace

// Every name is looked up, in this order, even after a miss. The loader
// clears its error on every successful lookup, so each lookup is checked on
// its own: one check at the end would only see a missing last name.
std::string AipuAdapter::Impl::bind_entries(void* library, AipuEntryTable& table) {
    std::string first_miss;
    bind_entry(library, "aipu_init_context", table.init_context, first_miss);
    bind_entry(library, "aipu_deinit_context", table.deinit_context, first_miss);
    bind_entry(library, "aipu_config_global", table.config_global, first_miss);
    bind_entry(library, "aipu_load_graph_helper", table.load_graph_helper, first_miss);
    bind_entry(library, "aipu_unload_graph", table.unload_graph, first_miss);
    bind_entry(library, "aipu_get_tensor_count", table.get_tensor_count, first_miss);
    bind_entry(library, "aipu_get_tensor_descriptor", table.get_tensor_descriptor, first_miss);
    bind_entry(library, "aipu_get_error_message", table.get_error_message, first_miss);
    bind_entry(library, "aipu_create_job", table.create_job, first_miss);
    bind_entry(library, "aipu_config_job", table.config_job, first_miss);
    bind_entry(library, "aipu_clean_job", table.clean_job, first_miss);
    bind_entry(library, "aipu_finish_job", table.finish_job, first_miss);
    bind_entry(library, "aipu_flush_job", table.flush_job, first_miss);
    bind_entry(library, "aipu_get_job_status", table.get_job_status, first_miss);
    bind_entry(library, "aipu_load_tensor", table.load_tensor, first_miss);
    bind_entry(library, "aipu_get_tensor", table.get_tensor, first_miss);
    bind_entry(library, "aipu_get_device_status", table.get_device_status, first_miss);
    bind_entry(library, "aipu_get_target", table.get_target, first_miss);
    bind_entry(library, "aipu_get_partition_count", table.get_partition_count, first_miss);
    bind_entry(library, "aipu_get_cluster_count", table.get_cluster_count, first_miss);
    bind_entry(library, "aipu_get_core_count", table.get_core_count, first_miss);
    bind_entry(library, "aipu_ioctl", table.ioctl, first_miss);
    bind_entry(library, "aipu_create_batch_queue", table.create_batch_queue, first_miss);
    bind_entry(library, "aipu_clean_batch_queue", table.clean_batch_queue, first_miss);
    bind_entry(library, "aipu_config_batch_dump", table.config_batch_dump, first_miss);
    bind_entry(library, "aipu_add_batch", table.add_batch, first_miss);
    bind_entry(library, "aipu_finish_batch", table.finish_batch, first_miss);
    bind_entry(library, "aipu_specify_iobuf", table.specify_iobuf, first_miss);
    return first_miss;
}

bool AipuAdapter::Impl::load_aipu_library() {
    const char* env_path = std::getenv("AIPU_LIB_PATH");
    const char* path = !requested_library.empty() ? requested_library.c_str() : env_path ? env_path : "libaipudrv.so";
    dlerror();
    OpenedLibrary opened(dlopen(path, RTLD_LAZY));
    if (!opened) {
        load_error = "Failed to load backend: " + loader_error_text();
        KIV_LOG(LogLevel::ERROR, kLogFile, "%s: %s\n", "load_aipu_library", load_error.c_str());
        return false;
    }
    AipuEntryTable table;
    const std::string first_miss = bind_entries(opened.get(), table);
    if (first_miss.empty()) {
        entries = table;
        library = opened.release();
        return true;
    }
    // The library is rejected as a whole; `opened` closes it on return.
    load_error = "Failed to load symbols: " + first_miss;
    KIV_LOG(LogLevel::ERROR, kLogFile, "%s: %s\n", "load_aipu_library", load_error.c_str());
    return false;
}

void AipuAdapter::Impl::unload_library() {
    if (library) dlclose(library);
    library = nullptr;
    driver_ctx = nullptr;
    entries = AipuEntryTable{};
}

AipuAdapter::AipuAdapter(std::string library) : impl_(std::make_unique<Impl>()) {
    impl_->requested_library = std::move(library);
}

// A context whose close failed earlier gets one last attempt; the library is
// left loaded then, because the driver may still hold state in it.
AipuAdapter::~AipuAdapter() {
    if (impl_ && impl_->driver_ctx && impl_->entries.deinit_context) {
        impl_->entries.deinit_context(impl_->driver_ctx);
        impl_->driver_ctx = nullptr;
    }
}

// Unloads the library when init_context leaves without an open driver
// context, whichever way it leaves: a refusal, a missing init entry point,
// or an exception.
class AipuAdapter::Impl::UnloadUnlessOpened {
public:
    explicit UnloadUnlessOpened(Impl& impl) : impl_(impl), opened_(impl.driver_ctx != nullptr) {}
    ~UnloadUnlessOpened() {
        if (!opened_) impl_.unload_library();
    }
    UnloadUnlessOpened(const UnloadUnlessOpened&) = delete;
    UnloadUnlessOpened& operator=(const UnloadUnlessOpened&) = delete;
    void opened() { opened_ = true; }

private:
    Impl& impl_;
    bool opened_;
};

kiv_status_t AipuAdapter::Impl::init_context() {
    std::lock_guard<std::mutex> lock(mutex);
    if (library == nullptr && !load_aipu_library()) return KIV_STATUS_ERROR_BACKEND_LOAD_FAIL;
    UnloadUnlessOpened unload_on_failure(*this);
    if (entries.init_context == nullptr) {
        KIV_LOG(LogLevel::INFO, kLogFile, "%s: aipu_init_context function not loaded \n", "init_context");
        return KIV_STATUS_ERROR_INTERNAL;
    }
    const aipu_status_t status = entries.init_context(&driver_ctx);
    if (status == 0) unload_on_failure.opened();
    return to_status(status);
}

kiv_status_t AipuAdapter::init_context() {
    return impl_->init_context();
}

kiv_status_t AipuAdapter::deinit_context() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->driver_ctx == nullptr || impl_->entries.deinit_context == nullptr) {
        return KIV_STATUS_ERROR_INVALID_HANDLE;
    }
    const aipu_status_t status = impl_->entries.deinit_context(impl_->driver_ctx);
    if (status == 0) impl_->unload_library();
    return to_status(status);
}

// Guarded operations: serialised against context open/close by the mutex.

kiv_status_t AipuAdapter::config_global(kiv_context*, uint64_t types, void* config) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->driver_ctx == nullptr || impl_->entries.config_global == nullptr) {
        return KIV_STATUS_ERROR_INVALID_HANDLE;
    }
    return to_status(impl_->entries.config_global(impl_->driver_ctx, types, config));
}

kiv_status_t AipuAdapter::load_graph(kiv_context*, const char* data, uint32_t size, uint64_t* graph_id,
                                     graph_config* cfg) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->driver_ctx == nullptr || impl_->entries.load_graph_helper == nullptr) {
        return KIV_STATUS_ERROR_INVALID_HANDLE;
    }
    auto* driver_cfg = reinterpret_cast<aipu_load_graph_config_t*>(cfg);
    return to_status(impl_->entries.load_graph_helper(impl_->driver_ctx, data, size, graph_id, driver_cfg));
}

kiv_status_t AipuAdapter::unload_graph(kiv_context*, uint64_t graph_id) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->driver_ctx == nullptr || impl_->entries.unload_graph == nullptr) {
        return KIV_STATUS_ERROR_INVALID_HANDLE;
    }
    return to_status(impl_->entries.unload_graph(impl_->driver_ctx, graph_id));
}

kiv_status_t AipuAdapter::Impl::get_tensor_count(uint64_t graph_id, tensor_type_t type, uint32_t* count) {
    std::lock_guard<std::mutex> lock(mutex);
    if (driver_ctx == nullptr) {
        KIV_LOG(LogLevel::ERROR, kLogFile, "%s: AIPU context is not ready\n", "get_tensor_count");
        return KIV_STATUS_ERROR_INVALID_CTX;
    }
    if (entries.get_tensor_count == nullptr) {
        KIV_LOG(LogLevel::ERROR, kLogFile, "%s: AIPU func is not ready\n", "get_tensor_count");
        return KIV_STATUS_ERROR_INVALID_CTX;
    }
    return to_status(entries.get_tensor_count(driver_ctx, graph_id, type, count));
}

kiv_status_t AipuAdapter::get_tensor_count(kiv_context*, uint64_t graph_id, tensor_type_t type, uint32_t* count) {
    return impl_->get_tensor_count(graph_id, type, count);
}

kiv_status_t AipuAdapter::get_tensor_descriptor(kiv_context*, uint64_t graph_id, tensor_type_t type, uint32_t index,
                                                tensor_desc_t* desc) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->driver_ctx == nullptr || impl_->entries.get_tensor_descriptor == nullptr) {
        return KIV_STATUS_ERROR_INVALID_HANDLE;
    }
    auto* driver_desc = reinterpret_cast<aipu_tensor_desc_t*>(desc);
    return to_status(impl_->entries.get_tensor_descriptor(impl_->driver_ctx, graph_id, type, index, driver_desc));
}

// Direct operations: no lock, so that long waits in the driver do not block
// graph loading or other jobs. Only reachable through a live context.

kiv_status_t AipuAdapter::job_infer_sync(kiv_context*, uint64_t job_id, int32_t time_out) {
    return to_status(impl_->entries.finish_job(impl_->driver_ctx, job_id, time_out));
}

kiv_status_t AipuAdapter::job_infer_async(kiv_context*, uint64_t job_id, kiv_job_callback_t cb) {
    kiv_job_callback_t local = std::move(cb);
    aipu_job_callback_func_t driver_cb = make_driver_callback(local);
    return to_status(impl_->entries.flush_job(impl_->driver_ctx, job_id, std::move(driver_cb)));
}

kiv_status_t AipuAdapter::create_job(kiv_context*, uint64_t graph_id, uint64_t* job_id, job_config* cfg) {
    return to_status(impl_->entries.create_job(impl_->driver_ctx, graph_id, job_id, job_options(cfg)));
}

kiv_status_t AipuAdapter::clean_job(kiv_context*, uint64_t job_id) {
    return to_status(impl_->entries.clean_job(impl_->driver_ctx, job_id));
}

kiv_status_t AipuAdapter::get_job_status(kiv_context*, uint64_t job_id, job_status_t* status, int32_t time_out) {
    auto* driver_status = reinterpret_cast<aipu_job_status_t*>(status);
    return to_status(impl_->entries.get_job_status(impl_->driver_ctx, job_id, driver_status, time_out));
}

kiv_status_t AipuAdapter::load_tensor(kiv_context*, uint64_t job_id, uint32_t index, const void* data) {
    return to_status(impl_->entries.load_tensor(impl_->driver_ctx, job_id, index, data));
}

kiv_status_t AipuAdapter::get_tensor(kiv_context*, uint64_t job_id, tensor_type_t type, uint32_t index, void* dest) {
    return to_status(impl_->entries.get_tensor(impl_->driver_ctx, job_id, type, index, dest));
}

kiv_status_t AipuAdapter::config_job(kiv_context*, uint64_t job_id, uint64_t types, void* config) {
    return to_status(impl_->entries.config_job(impl_->driver_ctx, job_id, types, config));
}

kiv_status_t AipuAdapter::ioctl(kiv_context*, device_type_t, ioctl_cmd_t cmd, void* arg) {
    return to_status(impl_->entries.ioctl(impl_->driver_ctx, cmd, arg));
}

kiv_status_t AipuAdapter::get_partition_count(kiv_context*, uint32_t* count) {
    return to_status(impl_->entries.get_partition_count(impl_->driver_ctx, count));
}

kiv_status_t AipuAdapter::get_cluster_count(kiv_context*, uint32_t partition, uint32_t* count) {
    return to_status(impl_->entries.get_cluster_count(impl_->driver_ctx, partition, count));
}

kiv_status_t AipuAdapter::get_core_count(kiv_context*, uint32_t partition, uint32_t cluster, uint32_t* count) {
    return to_status(impl_->entries.get_core_count(impl_->driver_ctx, partition, cluster, count));
}

kiv_status_t AipuAdapter::get_target(kiv_context*, char* target) {
    return to_status(impl_->entries.get_target(impl_->driver_ctx, target));
}

kiv_status_t AipuAdapter::get_device_status(kiv_context*, kiv_device_status_t* status) {
    auto* driver_status = reinterpret_cast<uint32_t*>(status);
    return to_status(impl_->entries.get_device_status(impl_->driver_ctx, driver_status));
}

kiv_status_t AipuAdapter::get_error_message(kiv_context*, kiv_status_t status, const char** msg) {
    return to_status(impl_->entries.get_error_message(impl_->driver_ctx, status, msg));
}

kiv_status_t AipuAdapter::create_batch_queue(kiv_context*, uint64_t graph_id, uint32_t* queue_id) {
    return to_status(impl_->entries.create_batch_queue(impl_->driver_ctx, graph_id, queue_id));
}

kiv_status_t AipuAdapter::clean_batch_queue(kiv_context*, uint64_t graph_id, uint32_t queue_id) {
    return to_status(impl_->entries.clean_batch_queue(impl_->driver_ctx, graph_id, queue_id));
}

kiv_status_t AipuAdapter::config_batch_dump(kiv_context*, uint64_t graph_id, uint32_t queue_id, uint64_t types,
                                            job_config_dump_t* dump) {
    return to_status(impl_->entries.config_batch_dump(impl_->driver_ctx, graph_id, queue_id, types, dump));
}

kiv_status_t AipuAdapter::add_batch(kiv_context*, uint64_t graph_id, uint32_t queue_id, char** inputs, char** outputs) {
    return to_status(impl_->entries.add_batch(impl_->driver_ctx, graph_id, queue_id, inputs, outputs));
}

kiv_status_t AipuAdapter::finish_batch(kiv_context*, uint64_t graph_id, uint32_t queue_id, job_config* cfg) {
    return to_status(impl_->entries.finish_batch(impl_->driver_ctx, graph_id, queue_id, job_options(cfg)));
}

kiv_status_t AipuAdapter::specify_iobuf(kiv_context*, uint64_t job_id, shared_tensor_info_npu* info) {
    return to_status(impl_->entries.specify_iobuf(impl_->driver_ctx, job_id, info));
}
