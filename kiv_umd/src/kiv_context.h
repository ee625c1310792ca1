// The context handle behind the opaque kiv_context pointer.
#ifndef KIV_CONTEXT_H
#define KIV_CONTEXT_H

#include <memory>

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
std::unique_ptr<BackendAdapter> create_device_adapter(int32_t device);

#endif  // KIV_CONTEXT_H
