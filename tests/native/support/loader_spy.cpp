#include "loader_spy.h"

#include <dlfcn.h>

#include <array>
#include <mutex>

namespace {

// A fixed table rather than a container that allocates: the spy runs inside
// dlopen, which must not throw, also while a test makes allocations fail.
struct SpyState {
    struct Entry {
        void* handle = nullptr;
        int open = 0;  // successful opens minus closes
    };
    std::mutex mutex;
    std::array<Entry, 256> entries;

    Entry* find(void* handle) {
        for (Entry& e : entries) {
            if (e.handle == handle) return &e;
        }
        return nullptr;
    }
    Entry* find_or_add(void* handle) {
        if (Entry* e = find(handle)) return e;
        return find(nullptr);
    }
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
        if (SpyState::Entry* e = state().find_or_add(handle)) {
            e->handle = handle;
            ++e->open;
        }
    }
    return handle;
}

extern "C" int dlclose(void* handle) {
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        SpyState::Entry* e = state().find(handle);
        if (e != nullptr && --e->open == 0) *e = SpyState::Entry{};
    }
    return real_dlclose()(handle);
}

int loader_spy_open_count(const std::string& path) {
    void* handle = real_dlopen()(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) return 0;
    real_dlclose()(handle);
    std::lock_guard<std::mutex> lock(state().mutex);
    const SpyState::Entry* e = state().find(handle);
    return e == nullptr ? 0 : e->open;
}
