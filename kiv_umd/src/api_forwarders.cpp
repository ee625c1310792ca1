// The API functions that only check the handle, then hand the call to the
// context's backend and return its status unchanged: one per FORWARD row of
// backend_operations.h, kiv_<name> calling the backend's <name>.
#include "backend_operations.h"
#include "kiv_context.h"

namespace {

template <typename Operation>
kiv_status_t forward_to_backend(kiv_context* ctx, Operation&& operation) {
    const kiv_status_t status = validate_context(ctx);
    if (status != KIV_STATUS_SUCCESS) return status;
    return operation(*ctx->impl->backend);
}

}  // namespace

#define KIV_DEFINE_FORWARD(name, params, args)                                          \
    kiv_status_t kiv_##name params {                                                    \
        return forward_to_backend(ctx, [&](BackendAdapter& b) { return b.name args; }); \
    }
#define KIV_DEFINE_OWN(name, params, args)
#define KIV_DEFINE_API_FUNCTION(api, adapter, name, params, args, entry, driver_args) \
    KIV_DEFINE_##api(name, params, args)
KIV_BACKEND_OPERATIONS(KIV_DEFINE_API_FUNCTION)
#undef KIV_DEFINE_API_FUNCTION
