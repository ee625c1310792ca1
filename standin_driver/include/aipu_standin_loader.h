// Binds the stand-in driver's entry points (the driver contract's list of
// them) and test controls at run time (dlopen/dlsym), for native tests that
// drive it directly or steer the instance the runtime loaded.
#ifndef AIPU_STANDIN_LOADER_H
#define AIPU_STANDIN_LOADER_H

#include <dlfcn.h>

#include <string>

#include "aipu_driver.h"
#include "aipu_standin.h"

namespace aipu_standin {

// The test controls of aipu_standin.h that the native tests call through
// the loader.
#define AIPU_STANDIN_LOADED_CONTROLS(X) \
    X(aipu_standin_set_init_status)     \
    X(aipu_standin_set_deinit_status)   \
    X(aipu_standin_open_context_count)  \
    X(aipu_standin_describe_last_call)  \
    X(aipu_standin_reset_calls)         \
    X(aipu_standin_set_call_recording)

class DriverLibrary {
public:
    // `path` of libaipudrv.so; the handle stays open for the object's life.
    explicit DriverLibrary(const std::string& path) : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
        if (handle_ == nullptr) return;
#define AIPU_STANDIN_BIND(name) name = reinterpret_cast<decltype(&::name)>(dlsym(handle_, #name));
#define AIPU_STANDIN_BIND_ENTRY_POINT(name, params) AIPU_STANDIN_BIND(aipu_##name)
        AIPU_DRIVER_ENTRY_POINTS(AIPU_STANDIN_BIND_ENTRY_POINT)
        AIPU_STANDIN_LOADED_CONTROLS(AIPU_STANDIN_BIND)
#undef AIPU_STANDIN_BIND_ENTRY_POINT
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

    // One pointer per entry point and control, named as the function is;
    // null when the library lacks it.
#define AIPU_STANDIN_POINTER(name) decltype(&::name) name = nullptr;
#define AIPU_STANDIN_ENTRY_POINT_POINTER(name, params) AIPU_STANDIN_POINTER(aipu_##name)
    AIPU_DRIVER_ENTRY_POINTS(AIPU_STANDIN_ENTRY_POINT_POINTER)
    AIPU_STANDIN_LOADED_CONTROLS(AIPU_STANDIN_POINTER)
#undef AIPU_STANDIN_ENTRY_POINT_POINTER
#undef AIPU_STANDIN_POINTER

private:
    void* handle_;
};

}  // namespace aipu_standin

#endif  // AIPU_STANDIN_LOADER_H
