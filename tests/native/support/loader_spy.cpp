#include "loader_spy.h"

#include <dlfcn.h>

#include <map>
#include <mutex>

namespace {

struct SpyState {
    std::mutex mutex;
    std::map<void*, int> open;  // handle -> successful opens minus closes
};

SpyState& state() {
    static SpyState* s = new SpyState;  // never destroyed: loader calls can come late
    return *s;
}

using OpenFn = void* (*)(const char*, int);
using CloseFn = int (*)(void*);

OpenFn real_dlopen() {
    static OpenFn fn = reinterpret_cast<OpenFn>(dlsym(RTLD_NEXT, "dlopen"));
    return fn;
}

CloseFn real_dlclose() {
    static CloseFn fn = reinterpret_cast<CloseFn>(dlsym(RTLD_NEXT, "dlclose"));
    return fn;
}

}  // namespace

// The loader hands out one handle per library, whatever name it was opened
// by, so the count is kept per handle.
extern "C" void* dlopen(const char* file, int mode) {
    void* handle = real_dlopen()(file, mode);
    if (handle != nullptr) {
        std::lock_guard<std::mutex> lock(state().mutex);
        ++state().open[handle];
    }
    return handle;
}

extern "C" int dlclose(void* handle) {
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        auto it = state().open.find(handle);
        if (it != state().open.end() && --it->second == 0) state().open.erase(it);
    }
    return real_dlclose()(handle);
}

int loader_spy_open_count(const std::string& path) {
    void* handle = real_dlopen()(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) return 0;
    real_dlclose()(handle);
    std::lock_guard<std::mutex> lock(state().mutex);
    auto it = state().open.find(handle);
    return it == state().open.end() ? 0 : it->second;
}
