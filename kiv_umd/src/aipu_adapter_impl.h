// Private record of AipuAdapter. Kept in a header of its own so that tests
// can drive states the public interface cannot reach (a live driver context
// with an unbound entry point).
#ifndef KIV_AIPU_ADAPTER_IMPL_H
#define KIV_AIPU_ADAPTER_IMPL_H

#include <mutex>
#include <string>

#include "aipu_adapter.h"

// The driver's entry points, in the order the backend keeps them.
struct AipuEntryTable {
    decltype(&aipu_init_context) init_context = nullptr;
    decltype(&aipu_deinit_context) deinit_context = nullptr;
    decltype(&aipu_config_global) config_global = nullptr;
    decltype(&aipu_load_graph_helper) load_graph_helper = nullptr;
    decltype(&aipu_unload_graph) unload_graph = nullptr;
    decltype(&aipu_get_tensor_count) get_tensor_count = nullptr;
    decltype(&aipu_get_tensor_descriptor) get_tensor_descriptor = nullptr;
    decltype(&aipu_get_error_message) get_error_message = nullptr;
    decltype(&aipu_create_job) create_job = nullptr;
    decltype(&aipu_config_job) config_job = nullptr;
    decltype(&aipu_finish_job) finish_job = nullptr;
    decltype(&aipu_flush_job) flush_job = nullptr;
    decltype(&aipu_clean_job) clean_job = nullptr;
    decltype(&aipu_get_job_status) get_job_status = nullptr;
    decltype(&aipu_load_tensor) load_tensor = nullptr;
    decltype(&aipu_get_tensor) get_tensor = nullptr;
    decltype(&aipu_get_device_status) get_device_status = nullptr;
    decltype(&aipu_get_target) get_target = nullptr;
    decltype(&aipu_get_partition_count) get_partition_count = nullptr;
    decltype(&aipu_get_cluster_count) get_cluster_count = nullptr;
    decltype(&aipu_get_core_count) get_core_count = nullptr;
    decltype(&aipu_ioctl) ioctl = nullptr;
    decltype(&aipu_create_batch_queue) create_batch_queue = nullptr;
    decltype(&aipu_clean_batch_queue) clean_batch_queue = nullptr;
    decltype(&aipu_config_batch_dump) config_batch_dump = nullptr;
    decltype(&aipu_add_batch) add_batch = nullptr;
    decltype(&aipu_finish_batch) finish_batch = nullptr;
    decltype(&aipu_specify_iobuf) specify_iobuf = nullptr;
};

struct AipuAdapter::Impl {
    std::string requested_library;  // empty: $AIPU_LIB_PATH, else libaipudrv.so
    void* library = nullptr;
    aipu_ctx_handle_t* driver_ctx = nullptr;
    std::string load_error;
    std::mutex mutex;
    AipuEntryTable entries;

    // Opens the requested library (else $AIPU_LIB_PATH, else libaipudrv.so) and binds all entry points;
    // false, with the library closed again and nothing bound, when the
    // library cannot be opened or lacks any entry point.
    bool load_aipu_library();
    // Closes the library and forgets the driver context and every entry point.
    void unload_library();
    // Loads the library if needed and opens the driver context.
    kiv_status_t init_context();
    kiv_status_t get_tensor_count(uint64_t graph_id, tensor_type_t type, uint32_t* count);

private:
    class UnloadUnlessOpened;
    // Binds every entry point of `library` into `table`; returns the loader's
    // text for the first missing name, or an empty text when none is missing.
    static std::string bind_entries(void* library, AipuEntryTable& table);
};

#endif  // KIV_AIPU_ADAPTER_IMPL_H
