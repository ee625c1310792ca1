#include "kiv_context.h"

#include <memory>
#include <new>

#include "aipu_adapter.h"
#include "kiv_log.h"

namespace {

constexpr const char* kLogFile = "src/kiv_api";

// Builds a live context or throws; failures that are not exceptions come back
// as a status with `out` left empty.
kiv_status_t create_live_context(int32_t device, const char* library, DriverLoadFailure* failure,
                                 std::unique_ptr<kiv_context>& out) {
    auto handle = std::make_unique<kiv_context>();
    handle->impl = std::make_unique<kiv_context_impl>();
    handle->impl->device = device;
    handle->impl->initialised = false;

    handle->impl->backend = create_device_adapter(device, library, failure);
    if (!handle->impl->backend) return KIV_STATUS_ERROR_INVALID_HANDLE;

    const kiv_status_t status = handle->impl->backend->init_context();
    if (status != KIV_STATUS_SUCCESS) {
        KIV_LOG(LogLevel::ERROR, kLogFile, "%s: Failed to initialize adapter\n", "kiv_init_context");
        handle->impl->backend.reset();
        return status;
    }
    handle->impl->initialised = true;
    out = std::move(handle);
    return KIV_STATUS_SUCCESS;
}

}  // namespace

std::unique_ptr<BackendAdapter> create_device_adapter(int32_t device, const char* library, DriverLoadFailure* failure) {
    if (device == 0) return std::make_unique<AipuAdapter>(library != nullptr ? library : "", failure);
    KIV_LOG(LogLevel::ERROR, kLogFile, "%s: Unsupported device type\n", "create_device_adapter");
    return nullptr;
}

kiv_status_t validate_context(const kiv_context* ctx) {
    if (ctx == nullptr || !ctx->impl || !ctx->impl->backend) {
        KIV_LOG(LogLevel::ERROR, kLogFile, "%s: Invalid context structure\n", "validate_context");
        return KIV_STATUS_ERROR_INVALID_HANDLE;
    }
    if (!ctx->impl->initialised) {
        KIV_LOG(LogLevel::ERROR, kLogFile, "%s: Context not initialized\n", "validate_context");
        return KIV_STATUS_ERROR_INVALID_CTX;
    }
    return KIV_STATUS_SUCCESS;
}

kiv_status_t kiv_init_context(kiv_context** ctx, int32_t device) {
    return kiv_init_context_with_driver(ctx, device, nullptr);
}

kiv_status_t kiv_init_context_with_driver(kiv_context** ctx, int32_t device, const char* library,
                                          DriverLoadFailure* failure) {
    if (ctx == nullptr) {
        KIV_LOG(LogLevel::ERROR, kLogFile, "%s: context pointer is null\n", "kiv_init_context");
        return KIV_STATUS_ERROR_INVALID_HANDLE;
    }
    // A handle *ctx held before is the caller's to have destroyed.
    *ctx = nullptr;
    // Whatever was built is owned by unique_ptrs, so an exception unwinds it.
    try {
        std::unique_ptr<kiv_context> handle;
        const kiv_status_t status = create_live_context(device, library, failure, handle);
        if (status == KIV_STATUS_SUCCESS) *ctx = handle.release();
        return status;
    } catch (const std::bad_alloc&) {
        return KIV_STATUS_ERROR_OUT_OF_MEMORY;
    } catch (...) {
        return KIV_STATUS_ERROR_INTERNAL;
    }
}

kiv_status_t kiv_deinit_context(kiv_context* ctx) {
    if (ctx == nullptr || !ctx->impl) return KIV_STATUS_ERROR_INVALID_HANDLE;
    // Owned from here on, so the handle is freed whatever the driver says,
    // even if closing throws.
    std::unique_ptr<kiv_context> handle(ctx);
    kiv_status_t status = KIV_STATUS_SUCCESS;
    if (handle->impl->backend) status = handle->impl->backend->deinit_context();
    return status;
}
