// Binds the stand-in driver's entry points and test controls at run time
// (dlopen/dlsym), for native tests that drive it directly or steer the
// instance the runtime loaded.
#ifndef AIPU_STANDIN_LOADER_H
#define AIPU_STANDIN_LOADER_H

#include <dlfcn.h>

#include <string>

#include "aipu_driver.h"
#include "aipu_standin.h"

namespace aipu_standin {

class DriverLibrary {
public:
    // `path` of libaipudrv.so; the handle stays open for the object's life.
    explicit DriverLibrary(const std::string& path) : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
        if (handle_ == nullptr) return;
#define AIPU_STANDIN_BIND(name) name = reinterpret_cast<decltype(&::name)>(dlsym(handle_, #name))
        AIPU_STANDIN_BIND(aipu_init_context);
        AIPU_STANDIN_BIND(aipu_deinit_context);
        AIPU_STANDIN_BIND(aipu_config_global);
        AIPU_STANDIN_BIND(aipu_load_graph_helper);
        AIPU_STANDIN_BIND(aipu_unload_graph);
        AIPU_STANDIN_BIND(aipu_get_tensor_count);
        AIPU_STANDIN_BIND(aipu_get_tensor_descriptor);
        AIPU_STANDIN_BIND(aipu_get_error_message);
        AIPU_STANDIN_BIND(aipu_create_job);
        AIPU_STANDIN_BIND(aipu_config_job);
        AIPU_STANDIN_BIND(aipu_finish_job);
        AIPU_STANDIN_BIND(aipu_flush_job);
        AIPU_STANDIN_BIND(aipu_clean_job);
        AIPU_STANDIN_BIND(aipu_get_job_status);
        AIPU_STANDIN_BIND(aipu_load_tensor);
        AIPU_STANDIN_BIND(aipu_get_tensor);
        AIPU_STANDIN_BIND(aipu_get_device_status);
        AIPU_STANDIN_BIND(aipu_get_target);
        AIPU_STANDIN_BIND(aipu_get_partition_count);
        AIPU_STANDIN_BIND(aipu_get_cluster_count);
        AIPU_STANDIN_BIND(aipu_get_core_count);
        AIPU_STANDIN_BIND(aipu_ioctl);
        AIPU_STANDIN_BIND(aipu_create_batch_queue);
        AIPU_STANDIN_BIND(aipu_clean_batch_queue);
        AIPU_STANDIN_BIND(aipu_config_batch_dump);
        AIPU_STANDIN_BIND(aipu_add_batch);
        AIPU_STANDIN_BIND(aipu_finish_batch);
        AIPU_STANDIN_BIND(aipu_specify_iobuf);
        AIPU_STANDIN_BIND(aipu_standin_set_init_status);
        AIPU_STANDIN_BIND(aipu_standin_set_deinit_status);
        AIPU_STANDIN_BIND(aipu_standin_open_context_count);
        AIPU_STANDIN_BIND(aipu_standin_describe_last_call);
        AIPU_STANDIN_BIND(aipu_standin_reset_calls);
        AIPU_STANDIN_BIND(aipu_standin_set_call_recording);
#undef AIPU_STANDIN_BIND
    }
    ~DriverLibrary() {
        if (handle_ != nullptr) dlclose(handle_);
    }
    DriverLibrary(const DriverLibrary&) = delete;
    DriverLibrary& operator=(const DriverLibrary&) = delete;

    bool loaded() const {
        return handle_ != nullptr;
    }

    // The last call of `entry_point` as JSON text, empty when never called.
    std::string describe_last_call(const char* entry_point) const {
        const size_t n = aipu_standin_describe_last_call(entry_point, nullptr, 0);
        if (n == 0) return {};
        std::string text(n + 1, '\0');
        aipu_standin_describe_last_call(entry_point, &text[0], text.size());
        text.resize(n);
        return text;
    }

    decltype(&::aipu_init_context) aipu_init_context = nullptr;
    decltype(&::aipu_deinit_context) aipu_deinit_context = nullptr;
    decltype(&::aipu_config_global) aipu_config_global = nullptr;
    decltype(&::aipu_load_graph_helper) aipu_load_graph_helper = nullptr;
    decltype(&::aipu_unload_graph) aipu_unload_graph = nullptr;
    decltype(&::aipu_get_tensor_count) aipu_get_tensor_count = nullptr;
    decltype(&::aipu_get_tensor_descriptor) aipu_get_tensor_descriptor = nullptr;
    decltype(&::aipu_get_error_message) aipu_get_error_message = nullptr;
    decltype(&::aipu_create_job) aipu_create_job = nullptr;
    decltype(&::aipu_config_job) aipu_config_job = nullptr;
    decltype(&::aipu_finish_job) aipu_finish_job = nullptr;
    decltype(&::aipu_flush_job) aipu_flush_job = nullptr;
    decltype(&::aipu_clean_job) aipu_clean_job = nullptr;
    decltype(&::aipu_get_job_status) aipu_get_job_status = nullptr;
    decltype(&::aipu_load_tensor) aipu_load_tensor = nullptr;
    decltype(&::aipu_get_tensor) aipu_get_tensor = nullptr;
    decltype(&::aipu_get_device_status) aipu_get_device_status = nullptr;
    decltype(&::aipu_get_target) aipu_get_target = nullptr;
    decltype(&::aipu_get_partition_count) aipu_get_partition_count = nullptr;
    decltype(&::aipu_get_cluster_count) aipu_get_cluster_count = nullptr;
    decltype(&::aipu_get_core_count) aipu_get_core_count = nullptr;
    decltype(&::aipu_ioctl) aipu_ioctl = nullptr;
    decltype(&::aipu_create_batch_queue) aipu_create_batch_queue = nullptr;
    decltype(&::aipu_clean_batch_queue) aipu_clean_batch_queue = nullptr;
    decltype(&::aipu_config_batch_dump) aipu_config_batch_dump = nullptr;
    decltype(&::aipu_add_batch) aipu_add_batch = nullptr;
    decltype(&::aipu_finish_batch) aipu_finish_batch = nullptr;
    decltype(&::aipu_specify_iobuf) aipu_specify_iobuf = nullptr;
    decltype(&::aipu_standin_set_init_status) aipu_standin_set_init_status = nullptr;
    decltype(&::aipu_standin_set_deinit_status) aipu_standin_set_deinit_status = nullptr;
    decltype(&::aipu_standin_open_context_count) aipu_standin_open_context_count = nullptr;
    decltype(&::aipu_standin_describe_last_call) aipu_standin_describe_last_call = nullptr;
    decltype(&::aipu_standin_reset_calls) aipu_standin_reset_calls = nullptr;
    decltype(&::aipu_standin_set_call_recording) aipu_standin_set_call_recording = nullptr;

private:
    void* handle_;
};

}  // namespace aipu_standin

#endif  // AIPU_STANDIN_LOADER_H
