// The context handle behind the opaque kiv_context pointer.
#ifndef KIV_CONTEXT_H
#define KIV_CONTEXT_H

#include <memory>

#include "aipu_adapter.h"
#include "backend_adapter.h"

struct kiv_context_impl {
    int32_t device = 0;
    std::unique_ptr<BackendAdapter> backend;
    bool initialised = false;
};

struct kiv_context {
    std::unique_ptr<kiv_context_impl> impl;
};

// Checks a handle at the start of every context-taking API function; returns
// KIV_STATUS_SUCCESS or the status the function must return at once.
kiv_status_t validate_context(const kiv_context* ctx);

// Maps the device selector to a new backend; null for an unsupported selector.
// `library` names the driver library the backend loads; null: the backend's
// own choice ($AIPU_LIB_PATH, else libaipudrv.so). A library that cannot
// serve is described in `failure`, when given.
std::unique_ptr<BackendAdapter> create_device_adapter(int32_t device, const char* library = nullptr,
                                                      DriverLoadFailure* failure = nullptr);

// kiv_init_context on the driver library `library` (null: as kiv_init_context
// chooses), for callers that name the driver themselves instead of through
// the environment; a library that cannot serve is described in `failure`.
kiv_status_t kiv_init_context_with_driver(kiv_context** ctx, int32_t device, const char* library,
                                          DriverLoadFailure* failure = nullptr);

#endif  // KIV_CONTEXT_H
