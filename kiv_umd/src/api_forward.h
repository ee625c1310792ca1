// Shared shape of the thin API functions: check the handle, then hand the
// call to the context's backend and return its status unchanged.
#ifndef KIV_API_FORWARD_H
#define KIV_API_FORWARD_H

#include "kiv_context.h"

template <typename Operation>
kiv_status_t forward_to_backend(kiv_context* ctx, Operation&& operation) {
    const kiv_status_t status = validate_context(ctx);
    if (status != KIV_STATUS_SUCCESS) return status;
    return operation(*ctx->impl->backend);
}

#endif  // KIV_API_FORWARD_H
