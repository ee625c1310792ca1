// Waits of kiv's native calls: driver calls made without the interpreter
// lock, in slices short enough that Ctrl-C is answered between them.
#ifndef KIV_PY_KIV_WAITS_H
#define KIV_PY_KIV_WAITS_H

#include <pybind11/pybind11.h>

#include <chrono>
#include <cstdint>
#include <optional>

#include "kiv_api.h"
#include "py_gil.h"
#include "py_npu.h"

namespace aipudrv {

using Clock = std::chrono::steady_clock;

// How long a wait runs without looking at signals.
constexpr auto kSlice = std::chrono::milliseconds(20);

// The moment a wait of `seconds` ends: never for None, infinity, or 1e9
// seconds and more.
Clock::time_point deadline_after(std::optional<double> seconds);

// The end of the next slice of a wait until `deadline`.
Clock::time_point next_slice_end(Clock::time_point deadline);

// A driver's wait in milliseconds until `until` (at most a slice away); at
// least one, since a zero time-out may mean no limit to a driver.
int32_t wait_ms(Clock::time_point until);

// Raises what a signal handler raised (KeyboardInterrupt for Ctrl-C).
void check_signals();

// One status query that waits until `until` at most.
kiv_status_t query_status(kiv_context* ctx, uint64_t job_id, job_status_t* job_status, Clock::time_point until);

// A runtime call on the NPU object's context handle, made without the
// interpreter lock; a context closed meanwhile is not freed under it.
template <typename Call>
kiv_status_t call_on_handle(NPU& npu, Call&& call) {
    HandleUse use(npu);
    return without_gil([&] { return call(use.ctx()); });
}

}  // namespace aipudrv

#endif  // KIV_PY_KIV_WAITS_H
