// Jobs of the kiv package, run and completed without the interpreter lock.
//
// Model.run runs a job the way the runtime's blocking call does and waits in
// slices, looking at signals between them, so that Ctrl-C is answered. The
// end of a submitted job is reported by the driver's thread to a queue of
// the runtime's (Completions); the callable that does it never touches
// Python, so nothing reaches Python from a driver thread and nothing there
// waits for the interpreter. The runtime's completion thread takes the ends
// from the queue.
#include "kiv_native_jobs.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "kiv_api.h"
#include "py_gil.h"
#include "py_npu.h"

namespace py = pybind11;

namespace aipudrv {
namespace {

using Clock = std::chrono::steady_clock;

// How long a wait runs without looking at signals.
constexpr auto kSlice = std::chrono::milliseconds(20);
// Timeouts from this many seconds on (about 31 years) mean no limit: such a
// deadline is never reached, and one near the clock's range (about 292
// years) would overflow it.
constexpr double kNoLimitSeconds = 1e9;

Clock::time_point deadline_after(std::optional<double> seconds) {
    if (!seconds || !(*seconds < kNoLimitSeconds)) return Clock::time_point::max();
    const std::chrono::duration<double> span(std::max(0.0, *seconds));
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(span);
}

// A runtime call on the NPU object's context handle, made without the
// interpreter lock; a context closed meanwhile is not freed under it.
template <typename Call>
kiv_status_t call_on_handle(NPU& npu, Call&& call) {
    HandleUse use(npu);
    return without_gil([&] { return call(use.ctx()); });
}

// A driver's wait in milliseconds until `until` (at most a slice away); at
// least one, since a zero time-out may mean no limit to a driver.
int32_t wait_ms(Clock::time_point until) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    return static_cast<int32_t>(std::clamp<int64_t>(left, 1, kSlice.count()));
}

Clock::time_point next_slice_end(Clock::time_point deadline) {
    return std::min(deadline, Clock::now() + kSlice);
}

void check_signals() {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// (status of the runtime call, job status).
using Ended = std::pair<kiv_status_t, job_status_t>;

py::tuple as_tuple(const Ended& ended) {
    return py::make_tuple(ended.first, static_cast<uint32_t>(ended.second));
}

// Waits for a job started without a completion callable through the
// runtime's status query, in slices; job status NO_STATUS when the deadline
// passed first.
Ended wait_for_end(NPU& npu, uint64_t job_id, Clock::time_point deadline) {
    for (;;) {
        const Clock::time_point until = next_slice_end(deadline);
        job_status_t job_status = KIV_JOB_STATUS_NO_STATUS;
        const kiv_status_t status = call_on_handle(
            npu, [&](kiv_context* ctx) { return ::kiv_get_job_status(ctx, job_id, &job_status, wait_ms(until)); });
        if (status != KIV_STATUS_SUCCESS || job_status != KIV_JOB_STATUS_NO_STATUS) return {status, job_status};
        if (Clock::now() >= deadline) return {KIV_STATUS_SUCCESS, KIV_JOB_STATUS_NO_STATUS};
        check_signals();
    }
}

bool still_running(kiv_status_t status) {
    return status == KIV_STATUS_ERROR_JOB_TIMEOUT || status == KIV_STATUS_ERROR_TIMEOUT;
}

// Runs a job as kiv_job_infer_sync does: the first slice in the blocking
// call itself, the rest through the status query.
Ended run_job(NPU& npu, uint64_t job_id, std::optional<double> timeout) {
    const Clock::time_point deadline = deadline_after(timeout);
    const Clock::time_point until = next_slice_end(deadline);
    const kiv_status_t status =
        call_on_handle(npu, [&](kiv_context* ctx) { return ::kiv_job_infer_sync(ctx, job_id, wait_ms(until)); });
    if (status == KIV_STATUS_SUCCESS) return {KIV_STATUS_SUCCESS, KIV_JOB_STATUS_DONE};
    if (status == KIV_STATUS_ERROR_JOB_EXCEPTION) return {KIV_STATUS_SUCCESS, KIV_JOB_STATUS_EXCEPTION};
    if (!still_running(status)) return {status, KIV_JOB_STATUS_NO_STATUS};
    check_signals();
    return wait_for_end(npu, job_id, deadline);
}

// The ends of a runtime's submitted jobs, as (token, job status) in the order
// the driver reported them. Every completion callable handed to the driver
// shares it, so it lives as long as the driver keeps any of them.
class EndedJobs {
public:
    using Entry = std::pair<uint64_t, uint32_t>;

    void push(uint64_t token, uint32_t job_status) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            entries_.emplace_back(token, job_status);
        }
        ready_.notify_one();
    }

    // The next end, once there is one; nothing once closed and empty.
    std::optional<Entry> pop() {
        std::unique_lock<std::mutex> lock(mu_);
        ready_.wait(lock, [&] { return !entries_.empty() || closed_; });
        if (entries_.empty()) return std::nullopt;
        Entry entry = entries_.front();
        entries_.pop_front();
        return entry;
    }

    void close() {
        {
            std::lock_guard<std::mutex> lock(mu_);
            closed_ = true;
        }
        ready_.notify_all();
    }

private:
    std::mutex mu_;
    std::condition_variable ready_;
    std::deque<Entry> entries_;
    bool closed_ = false;
};

class Completions {
public:
    // Starts a job whose end comes back as (token, job status). A job the
    // driver refuses comes back too, as one that never ran (job status
    // NO_STATUS): whoever takes the ends sees every job it was handed.
    kiv_status_t submit(NPU& npu, uint64_t job_id, uint64_t token) {
        std::shared_ptr<EndedJobs> ended = ended_;
        kiv_job_callback_t report = [ended, token](uint64_t, job_status_t job_status) {
            ended->push(token, static_cast<uint32_t>(job_status));
            return 0;
        };
        const kiv_status_t status = ::kiv_job_infer_async(npu.ctx, job_id, std::move(report));
        if (status != KIV_STATUS_SUCCESS) ended_->push(token, KIV_JOB_STATUS_NO_STATUS);
        return status;
    }

    // Waits, without the interpreter lock, for the next end: (token, job
    // status), or None once closed and every end taken.
    py::object take() {
        const auto entry = without_gil([&] { return ended_->pop(); });
        if (!entry) return py::none();
        return py::make_tuple(entry->first, entry->second);
    }

    void close() { ended_->close(); }

private:
    std::shared_ptr<EndedJobs> ended_ = std::make_shared<EndedJobs>();
};

}  // namespace

void register_kiv_jobs(py::module_& m) {
    m.def(
        "run",
        [](NPU& npu, uint64_t job_id, std::optional<double> timeout) {
            return as_tuple(run_job(npu, job_id, timeout));
        },
        py::arg("npu"), py::arg("job_id"), py::arg("timeout") = py::none(),
        "Runs a job like kiv_job_infer_sync, without the interpreter lock: (status, job status); a status other "
        "than success means the job did not start, job status 0 that it did not end within `timeout` seconds "
        "(None, infinity or 1e9 and more: no limit).");
    m.def(
        "wait",
        [](NPU& npu, uint64_t job_id, std::optional<double> timeout) {
            return as_tuple(wait_for_end(npu, job_id, deadline_after(timeout)));
        },
        py::arg("npu"), py::arg("job_id"), py::arg("timeout") = py::none(),
        "Waits, without the interpreter lock, for a job started without a completion callable: (status of the "
        "status query, job status), job status 0 when `timeout` seconds passed first.");
    py::class_<Completions>(m, "Completions",
                            "A runtime's submitted jobs, whose ends the driver reports from its own thread.")
        .def(py::init<>())
        .def("submit", &Completions::submit, py::arg("npu"), py::arg("job_id"), py::arg("token"),
             "Starts the job; its end comes back from take() as (token, job status), a refused job's as (token, 0). "
             "The status of the submission.")
        .def("take", &Completions::take,
             "The next end as (token, job status), waited for without the interpreter lock; None once closed and "
             "every end taken.")
        .def("close", &Completions::close, "Lets take() return None once every end is taken.");
}

}  // namespace aipudrv
