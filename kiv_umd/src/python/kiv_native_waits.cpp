#include "kiv_native_waits.h"

#include <algorithm>
#include <thread>

namespace py = pybind11;

namespace aipudrv {
namespace {

// The least time between two status queries of a job that has not ended: a
// driver that answers at once, whatever the time-out, is not asked in a spin.
constexpr auto kQueryGap = std::chrono::milliseconds(1);
// Timeouts from this many seconds on (about 31 years) mean no limit: such a
// deadline is never reached, and one near the clock's range (about 292
// years) would overflow it.
constexpr double kNoLimitSeconds = 1e9;

}  // namespace

Clock::time_point deadline_after(std::optional<double> seconds) {
    if (!seconds || !(*seconds < kNoLimitSeconds)) return Clock::time_point::max();
    const std::chrono::duration<double> span(std::max(0.0, *seconds));
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(span);
}

Clock::time_point next_slice_end(Clock::time_point deadline) {
    return std::min(deadline, Clock::now() + kSlice);
}

int32_t wait_ms(Clock::time_point until) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    return static_cast<int32_t>(std::clamp<int64_t>(left, 1, kSlice.count()));
}

void check_signals() {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

kiv_status_t query_status(kiv_context* ctx, uint64_t job_id, job_status_t* job_status, Clock::time_point until) {
    const Clock::time_point asked = Clock::now();
    const kiv_status_t status = ::kiv_get_job_status(ctx, job_id, job_status, wait_ms(until));
    if (status == KIV_STATUS_SUCCESS && *job_status == KIV_JOB_STATUS_NO_STATUS) {
        std::this_thread::sleep_until(std::min(until, asked + kQueryGap));
    }
    return status;
}

}  // namespace aipudrv
