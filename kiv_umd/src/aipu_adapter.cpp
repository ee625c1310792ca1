#include "aipu_adapter.h"

#include <dlfcn.h>

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

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
// of the first miss is kept and every missing name listed. (A name that
// resolves to a null address without an error is not a miss: its slot simply
// stays null.)
template <typename Fn>
void bind_entry(void* library, const char* name, Fn& slot, std::string& first_miss, std::vector<std::string>& missing) {
    dlerror();
    slot = reinterpret_cast<Fn>(dlsym(library, name));
    const char* error = dlerror();
    if (error == nullptr) return;
    if (first_miss.empty()) first_miss = error;
    missing.emplace_back(name);
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
std::string AipuAdapter::Impl::bind_entries(void* library, AipuEntryTable& table, std::vector<std::string>& missing) {
    std::string first_miss;
#define KIV_BIND_ENTRY(name, params) bind_entry(library, "aipu_" #name, table.name, first_miss, missing);
    AIPU_DRIVER_ENTRY_POINTS(KIV_BIND_ENTRY)
#undef KIV_BIND_ENTRY
    return first_miss;
}

void AipuAdapter::Impl::report_failure(const char* path, const std::string& loader_error,
                                       std::vector<std::string> missing) {
    if (failure == nullptr) return;
    failure->library = path;
    failure->loader_error = loader_error;
    failure->missing = std::move(missing);
}

bool AipuAdapter::Impl::load_aipu_library() {
    const char* env_path = std::getenv("AIPU_LIB_PATH");
    const char* path = !requested_library.empty() ? requested_library.c_str() : env_path ? env_path : "libaipudrv.so";
    dlerror();
    OpenedLibrary opened(dlopen(path, RTLD_LAZY));
    if (!opened) {
        const std::string loader_error = loader_error_text();
        load_error = "Failed to load backend: " + loader_error;
        KIV_LOG(LogLevel::ERROR, kLogFile, "%s: %s\n", "load_aipu_library", load_error.c_str());
        report_failure(path, loader_error, {});
        return false;
    }
    AipuEntryTable table;
    std::vector<std::string> missing;
    const std::string first_miss = bind_entries(opened.get(), table, missing);
    if (first_miss.empty()) {
        entries = table;
        library = opened.release();
        return true;
    }
    // The library is rejected as a whole; `opened` closes it on return.
    load_error = "Failed to load symbols: " + first_miss;
    KIV_LOG(LogLevel::ERROR, kLogFile, "%s: %s\n", "load_aipu_library", load_error.c_str());
    report_failure(path, first_miss, std::move(missing));
    return false;
}

void AipuAdapter::Impl::unload_library() {
    if (library) dlclose(library);
    library = nullptr;
    driver_ctx = nullptr;
    entries = AipuEntryTable{};
}

AipuAdapter::AipuAdapter(std::string library, DriverLoadFailure* failure) : impl_(std::make_unique<Impl>()) {
    impl_->requested_library = std::move(library);
    impl_->failure = failure;
}

// Found through an entry point's address, which names the file the loader
// actually mapped (a bare name may resolve anywhere on the search path).
std::string AipuAdapter::library_file() const {
    Dl_info info{};
    const auto entry = reinterpret_cast<void*>(impl_->entries.init_context);
    if (impl_->library == nullptr || entry == nullptr || dladdr(entry, &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    return info.dli_fname;
}

bool AipuAdapter::exports(const char* symbol) const {
    return impl_->library != nullptr && dlsym(impl_->library, symbol) != nullptr;
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

// The driver context, then an operation's own driver arguments.
#define KIV_DRIVER_ARGUMENTS(...) (impl_->driver_ctx, __VA_ARGS__)

// Guarded operations: serialised against context open/close by the mutex.
#define KIV_DEFINE_GUARDED(name, params, args, entry, driver_args)               \
    kiv_status_t AipuAdapter::name params {                                      \
        ignore_unused args;                                                      \
        std::lock_guard<std::mutex> lock(impl_->mutex);                          \
        if (impl_->driver_ctx == nullptr || impl_->entries.entry == nullptr) {   \
            return KIV_STATUS_ERROR_INVALID_HANDLE;                              \
        }                                                                        \
        return to_status(impl_->entries.entry KIV_DRIVER_ARGUMENTS driver_args); \
    }

// Direct operations: no lock, so that long waits in the driver do not block
// graph loading or other jobs. Only reachable through a live context.
#define KIV_DEFINE_DIRECT(name, params, args, entry, driver_args)                \
    kiv_status_t AipuAdapter::name params {                                      \
        ignore_unused args;                                                      \
        return to_status(impl_->entries.entry KIV_DRIVER_ARGUMENTS driver_args); \
    }

#define KIV_DEFINE_OWN(name, params, args, entry, driver_args)
#define KIV_DEFINE_OPERATION(api, adapter, name, params, args, entry, driver_args) \
    KIV_DEFINE_##adapter(name, params, args, entry, driver_args)
KIV_BACKEND_OPERATIONS(KIV_DEFINE_OPERATION)
#undef KIV_DEFINE_OPERATION

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

kiv_status_t AipuAdapter::job_infer_async(kiv_context*, uint64_t job_id, kiv_job_callback_t cb) {
    kiv_job_callback_t local = std::move(cb);
    aipu_job_callback_func_t driver_cb = make_driver_callback(local);
    return to_status(impl_->entries.flush_job(impl_->driver_ctx, job_id, std::move(driver_cb)));
}
