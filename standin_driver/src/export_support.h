// Shared plumbing of the exported entry points: visibility, context lookup
// and call recording (on request).
#ifndef STANDIN_EXPORT_SUPPORT_H
#define STANDIN_EXPORT_SUPPORT_H

#include <nlohmann/json.hpp>

#include "aipu_driver.h"
#include "call_recorder.h"
#include "context.h"
#include "context_registry.h"
#include "record_decoders.h"
#include "standin_controls.h"

#define AIPU_EXPORT extern "C" __attribute__((visibility("default")))

namespace standin {

// Records the arguments of a call, as the JSON object `describe()` returns,
// only while a test has recording on: describing a call costs more than many
// entry points do themselves, and a driver's calls are not described at all.
template <typename Describe>
void record_call(const char* entry_point, const aipu_ctx_handle_t* ctx, Describe&& describe) {
    CallRecorder& recorder = CallRecorder::instance();
    if (!recorder.enabled()) return;
    nlohmann::json args = describe();
    args["ctx"] = pointer_text(ctx);
    recorder.record(entry_point, args);
}

// Runs `fn(Context&)` on the context named by `handle`, or returns
// AIPU_STATUS_ERROR_INVALID_CTX for a handle that is not an open context, or
// the status a test forced on `entry_point`.
template <typename Fn>
aipu_status_t with_context(const char* entry_point, const aipu_ctx_handle_t* handle, Fn&& fn) {
    if (uint32_t forced = forced_call_status(entry_point)) return forced;
    std::shared_ptr<Context> ctx = ContextRegistry::instance().find(handle);
    if (!ctx) return AIPU_STATUS_ERROR_INVALID_CTX;
    return fn(*ctx);
}

}  // namespace standin

#endif  // STANDIN_EXPORT_SUPPORT_H
