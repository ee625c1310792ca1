// Private record of AipuAdapter. Kept in a header of its own so that tests
// can drive states the public interface cannot reach (a live driver context
// with an unbound entry point).
#ifndef KIV_AIPU_ADAPTER_IMPL_H
#define KIV_AIPU_ADAPTER_IMPL_H

#include <mutex>
#include <string>

#include "aipu_adapter.h"

// The driver's entry points, in the order the backend binds them.
struct AipuEntryTable {
#define KIV_ENTRY_SLOT(name, params) decltype(&aipu_##name) name = nullptr;
    AIPU_DRIVER_ENTRY_POINTS(KIV_ENTRY_SLOT)
#undef KIV_ENTRY_SLOT
};

struct AipuAdapter::Impl {
    std::string requested_library;         // empty: $AIPU_LIB_PATH, else libaipudrv.so
    DriverLoadFailure* failure = nullptr;  // where a failed load is described, when set
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
    // text for the first missing name, or an empty text when none is missing,
    // and appends the missing names to `missing`.
    static std::string bind_entries(void* library, AipuEntryTable& table, std::vector<std::string>& missing);
    // Describes a failed load in `failure`, when set.
    void report_failure(const char* path, const std::string& loader_error, std::vector<std::string> missing);
};

#endif  // KIV_AIPU_ADAPTER_IMPL_H
