#include "aipu_completion_bridge.h"

#include <cinttypes>
#include <exception>
#include <type_traits>
#include <utility>

#include "kiv_log.h"

namespace {

constexpr const char* kLogFile = "src/aipu_adapter";

// Holds the runtime callable inside the driver's callable.
class CompletionBridge {
public:
    explicit CompletionBridge(kiv_job_callback_t cb) : cb_(std::move(cb)) {}
    int operator()(uint64_t job_id, aipu_job_status_t status) const {
        return bridge_job_completion(cb_, job_id, status);
    }

private:
    kiv_job_callback_t cb_;
};

// Even a failing log must not throw into the driver's thread.
void report_callback_failure(uint64_t job_id, const char* what) noexcept {
    try {
        KIV_LOG(LogLevel::ERROR, kLogFile, "%s: completion callback of job %" PRIu64 " threw: %s\n",
                "bridge_job_completion", job_id, what);
    } catch (...) {
    }
}

}  // namespace

job_status_t translate_job_status(aipu_job_status_t status) {
    // Compared as unsigned so that no driver value can slip below 0.
    const auto raw = static_cast<uint32_t>(static_cast<std::underlying_type_t<aipu_job_status_t>>(status));
    return static_cast<job_status_t>(raw <= 3u ? raw : 3u);
}

int bridge_job_completion(const kiv_job_callback_t& cb, uint64_t job_id, aipu_job_status_t status) {
    // Jobs submitted without a callback still complete; there is no one to tell.
    if (!cb) return 0;
    try {
        return cb(job_id, translate_job_status(status));
    } catch (const std::exception& e) {
        report_callback_failure(job_id, e.what());
    } catch (...) {
        report_callback_failure(job_id, "unknown exception");
    }
    return -1;
}

aipu_job_callback_func_t make_driver_callback(kiv_job_callback_t cb) {
    return CompletionBridge(std::move(cb));
}
