#include "kiv_native_run.h"

#include <pybind11/stl.h>

#include <optional>

#include "kiv_native_completions.h"
#include "kiv_native_lifetime.h"
#include "kiv_native_waits.h"

namespace py = pybind11;

namespace aipudrv {
namespace {

// How a run or a wait ended: the runtime call that failed (null when none
// did) with its status, and the job status (NO_STATUS: not ended).
struct Ended {
    const char* failed = nullptr;
    kiv_status_t status = KIV_STATUS_SUCCESS;
    job_status_t job_status = KIV_JOB_STATUS_NO_STATUS;

    // Whether the job started and may still run: its end is not known.
    bool left_running() const { return job_status == KIV_JOB_STATUS_NO_STATUS && failed != kBlockingCall; }

    static constexpr const char* kBlockingCall = "kiv_job_infer_sync";
};

py::tuple as_tuple(const Ended& ended) {
    py::object failed = ended.failed != nullptr ? py::object(py::str(ended.failed)) : py::object(py::none());
    return py::make_tuple(failed, ended.status, static_cast<uint32_t>(ended.job_status));
}

// A job counted as in flight on a lifetime while a native call runs it.
class CountedJob {
public:
    explicit CountedJob(Lifetime* life) : life_(life) {
        if (life_ != nullptr) life_->job_started();
    }
    ~CountedJob() {
        if (life_ != nullptr) life_->job_ended();
    }
    CountedJob(const CountedJob&) = delete;
    CountedJob& operator=(const CountedJob&) = delete;

private:
    Lifetime* life_;
};

// Waits for a job started without a completion callable through the
// runtime's status query, in slices; job status NO_STATUS when the deadline
// passed first.
Ended wait_for_end(NPU& npu, uint64_t job_id, Clock::time_point deadline) {
    for (;;) {
        const Clock::time_point until = next_slice_end(deadline);
        job_status_t job_status = KIV_JOB_STATUS_NO_STATUS;
        const kiv_status_t status =
            call_on_handle(npu, [&](kiv_context* ctx) { return query_status(ctx, job_id, &job_status, until); });
        if (status != KIV_STATUS_SUCCESS) return {"kiv_get_job_status", status, KIV_JOB_STATUS_NO_STATUS};
        if (job_status != KIV_JOB_STATUS_NO_STATUS) return {nullptr, KIV_STATUS_SUCCESS, job_status};
        if (Clock::now() >= deadline) return {};
        check_signals();
    }
}

bool still_running(kiv_status_t status) {
    return status == KIV_STATUS_ERROR_JOB_TIMEOUT || status == KIV_STATUS_ERROR_TIMEOUT;
}

// Runs a job as kiv_job_infer_sync does: the first slice in the blocking
// call itself, the rest through the status query. Only a failure of the
// blocking call means that the job did not start.
Ended run_job(NPU& npu, uint64_t job_id, std::optional<double> timeout) {
    const Clock::time_point deadline = deadline_after(timeout);
    const Clock::time_point until = next_slice_end(deadline);
    const kiv_status_t status =
        call_on_handle(npu, [&](kiv_context* ctx) { return ::kiv_job_infer_sync(ctx, job_id, wait_ms(until)); });
    if (status == KIV_STATUS_SUCCESS) return {nullptr, KIV_STATUS_SUCCESS, KIV_JOB_STATUS_DONE};
    if (status == KIV_STATUS_ERROR_JOB_EXCEPTION) return {nullptr, KIV_STATUS_SUCCESS, KIV_JOB_STATUS_EXCEPTION};
    if (!still_running(status)) return {Ended::kBlockingCall, status, KIV_JOB_STATUS_NO_STATUS};
    check_signals();
    return wait_for_end(npu, job_id, deadline);
}

// What watches a job that a run leaves running, if anything does.
struct Watcher {
    py::object completions;
    py::object finish;

    void watch(py::object npu, uint64_t job_id, py::object life) const {
        if (completions.is_none()) return;
        completions.cast<Completions&>().watch(std::move(npu), job_id, std::move(life), finish);
    }
};

// Runs the job; one that started and whose end is not known (a timeout, a
// failed status query, Ctrl-C) is handed to `watcher` with a use of `life`
// in this same call, so that nothing can come between its run and its
// watch: its model stays in use until it has ended and been cleaned.
py::tuple run(py::object npu, uint64_t job_id, std::optional<double> timeout, py::object life, const Watcher& watcher) {
    Lifetime* lifetime = life.is_none() ? nullptr : &life.cast<Lifetime&>();
    Ended ended;
    {
        CountedJob counted(lifetime);
        try {
            ended = run_job(npu.cast<NPU&>(), job_id, timeout);
        } catch (py::error_already_set&) {
            watcher.watch(npu, job_id, life);
            throw;
        }
    }
    if (ended.left_running()) watcher.watch(npu, job_id, life);
    return as_tuple(ended);
}

}  // namespace

void register_kiv_run(py::module_& m) {
    m.def(
        "run",
        [](py::object npu, uint64_t job_id, std::optional<double> timeout, py::object life, py::object completions,
           py::object finish) {
            return run(std::move(npu), job_id, timeout, std::move(life), Watcher{std::move(completions), finish});
        },
        py::arg("npu"), py::arg("job_id"), py::arg("timeout") = py::none(), py::arg("life") = py::none(),
        py::arg("completions") = py::none(), py::arg("finish") = py::none(),
        "Runs a job like kiv_job_infer_sync, without the interpreter lock: (failed call, status, job status). "
        "The failed call is None, \"kiv_job_infer_sync\" (the job did not start) or \"kiv_get_job_status\" (it "
        "started; its end is not known); job status 0 means it did not end within `timeout` seconds (None, "
        "infinity or 1e9 and more: no limit). The job counts as in flight on `life` while it runs here; one "
        "that started and may still run (its end not known, or an exception such as KeyboardInterrupt) is "
        "handed in the same call to `completions` with a use of `life`, and `finish(job status)` runs once it "
        "ended.");
    m.def(
        "clean_job",
        [](NPU& npu, uint64_t job_id) {
            return call_on_handle(npu, [&](kiv_context* ctx) { return ::kiv_clean_job(ctx, job_id); });
        },
        py::arg("npu"), py::arg("job_id"),
        "Cleans a job without the interpreter lock (a driver may wait for a running job): the status.");
}

}  // namespace aipudrv
