// Jobs of the kiv package, run and completed without the interpreter lock.
//
// Model.run runs a job the way the runtime's blocking call does and waits in
// slices, looking at signals between them, so that Ctrl-C is answered. The
// end of a submitted job is reported by the driver's thread to a queue of
// the runtime's (Completions); the callable that does it never touches
// Python, so nothing reaches Python from a driver thread and nothing there
// waits for the interpreter. The runtime's completion thread takes the ends
// from the queue, also those of jobs a run left running (a timeout, Ctrl-C),
// which it asks the driver about itself.
#include "kiv_native_jobs.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fork_safety.h"
#include "kiv_api.h"
#include "kiv_native_lifetime.h"
#include "page_advice.h"
#include "py_gil.h"
#include "py_npu.h"

namespace py = pybind11;

namespace aipudrv {
namespace {

using Clock = std::chrono::steady_clock;

// How long a wait runs without looking at signals.
constexpr auto kSlice = std::chrono::milliseconds(20);
// The least time between two status queries of a job that has not ended: a
// driver that answers at once, whatever the time-out, is not asked in a spin.
constexpr auto kQueryGap = std::chrono::milliseconds(1);
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

// How a run or a wait ended: the runtime call that failed (null when none
// did) with its status, and the job status (NO_STATUS: not ended).
struct Ended {
    const char* failed = nullptr;
    kiv_status_t status = KIV_STATUS_SUCCESS;
    job_status_t job_status = KIV_JOB_STATUS_NO_STATUS;
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

// One status query that waits until `until` at most.
kiv_status_t query_status(kiv_context* ctx, uint64_t job_id, job_status_t* job_status, Clock::time_point until) {
    const Clock::time_point asked = Clock::now();
    const kiv_status_t status = ::kiv_get_job_status(ctx, job_id, job_status, wait_ms(until));
    if (status == KIV_STATUS_SUCCESS && *job_status == KIV_JOB_STATUS_NO_STATUS) {
        std::this_thread::sleep_until(std::min(until, asked + kQueryGap));
    }
    return status;
}

// Moves a job's tensors of one kind between the job and the buffers of the
// objects in `objects` (a list, in index order), without the GIL: the
// first index that failed and its status, (-1, success) when all moved.
// The buffers are plain Py_buffers given back by hand, and the objects
// borrowed (a py::handle argument owns nothing): a thread that the exiting
// interpreter ends unwinds through this frame, where no destructor may touch
// Python.
//
// Reading into new arrays (`zero_first`), each is zero-filled first, at the
// least cost (fresh zero pages for a large one not in memory yet), so that
// what a driver does not write holds nothing of the heap's earlier contents.
py::tuple move_tensors(NPU& npu, uint64_t job_id, py::handle objects, bool into_job, bool zero_first = false) {
    if (!PyList_Check(objects.ptr())) throw py::type_error("a list of buffers is expected");
    const Py_ssize_t count = PyList_GET_SIZE(objects.ptr());
    std::vector<Py_buffer> views(static_cast<size_t>(count));
    const int flags = into_job ? PyBUF_C_CONTIGUOUS : PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS;
    Py_ssize_t taken = 0;
    auto give_back = [&] {
        for (Py_ssize_t i = 0; i < taken; ++i) PyBuffer_Release(&views[i]);
    };
    for (; taken < count; ++taken) {
        if (PyObject_GetBuffer(PyList_GET_ITEM(objects.ptr(), taken), &views[taken], flags) != 0) {
            give_back();
            throw py::error_already_set();
        }
    }
    int failed = -1;
    const kiv_status_t status = call_on_handle(npu, [&](kiv_context* ctx) {
        for (Py_ssize_t i = 0; i < count && zero_first; ++i) kiv::zero_fill(views[i].buf, views[i].len);
        for (Py_ssize_t i = 0; i < count; ++i) {
            const uint32_t index = static_cast<uint32_t>(i);
            const kiv_status_t moved = into_job
                                           ? ::kiv_load_tensor(ctx, job_id, index, views[i].buf)
                                           : ::kiv_get_tensor(ctx, job_id, KIV_TENSOR_TYPE_OUTPUT, index, views[i].buf);
            if (moved != KIV_STATUS_SUCCESS) {
                failed = static_cast<int>(i);
                return moved;
            }
        }
        return KIV_STATUS_SUCCESS;
    });
    give_back();
    return py::make_tuple(failed, status);
}

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
    if (!still_running(status)) return {"kiv_job_infer_sync", status, KIV_JOB_STATUS_NO_STATUS};
    check_signals();
    return wait_for_end(npu, job_id, deadline);
}

// The ends of a runtime's jobs, as (token, job status) in the order they
// were reported. Every completion callable handed to the driver shares it,
// so it lives as long as the driver keeps any of them.
class EndedJobs {
public:
    using Entry = std::pair<uint64_t, uint32_t>;

    void push(uint64_t token, uint32_t job_status) {
        {
            std::lock_guard<std::mutex> lock(monitor_.mu);
            entries_.emplace_back(token, job_status);
        }
        monitor_.cv.notify_one();
    }

    // The next end, waited for `limit` at most (no limit: until there is
    // one); nothing once closed and empty, when the time ran out, or when
    // woken.
    std::optional<Entry> pop(std::optional<Clock::duration> limit) {
        std::unique_lock<std::mutex> lock(monitor_.mu);
        auto ready = [&] { return !entries_.empty() || closed_ || woken_; };
        if (limit) {
            monitor_.cv.wait_for(lock, *limit, ready);
        } else {
            monitor_.cv.wait(lock, ready);
        }
        woken_ = false;
        if (entries_.empty()) return std::nullopt;
        Entry entry = entries_.front();
        entries_.pop_front();
        return entry;
    }

    void close() {
        {
            std::lock_guard<std::mutex> lock(monitor_.mu);
            closed_ = true;
        }
        monitor_.cv.notify_all();
    }

    bool closed() {
        std::lock_guard<std::mutex> lock(monitor_.mu);
        return closed_;
    }

    // Ends the wait of pop() for something other than an end.
    void wake() {
        {
            std::lock_guard<std::mutex> lock(monitor_.mu);
            woken_ = true;
        }
        monitor_.cv.notify_all();
    }

private:
    std::deque<Entry> entries_;
    bool closed_ = false;
    bool woken_ = false;
    Monitor monitor_;
};

// A runtime's jobs handed over to the driver or left running, each filed
// under a token with its lifetime (held until the job is finished) and what
// finishes it. The tables are guarded by the GIL.
class Completions {
public:
    // Starts a job whose end comes back from take(). A job the driver
    // refuses comes back too, as one that never ran (job status NO_STATUS):
    // whoever takes the ends finishes every job it was handed.
    kiv_status_t submit(NPU& npu, uint64_t job_id, py::object life, py::object finish) {
        const uint64_t token = file(std::move(life), std::move(finish));
        std::shared_ptr<EndedJobs> ended = ended_;
        kiv_job_callback_t report = [ended, token](uint64_t, job_status_t job_status) {
            ended->push(token, static_cast<uint32_t>(job_status));
            return 0;
        };
        const kiv_status_t status = ::kiv_job_infer_async(npu.ctx, job_id, std::move(report));
        if (status != KIV_STATUS_SUCCESS) ended_->push(token, KIV_JOB_STATUS_NO_STATUS);
        return status;
    }

    // A job that runs on without a completion callable: its end comes back
    // from take() once a status query sees it (NO_STATUS when the context
    // went first).
    void watch(py::object npu, uint64_t job_id, py::object life, py::object finish) {
        npu.cast<NPU&>();  // TypeError now rather than on the completion thread
        const uint64_t token = file(std::move(life), std::move(finish));
        watched_.push_back({std::move(npu), job_id, token});
        ended_->wake();  // a wait without a limit would never ask about it
    }

    // The next finished job as (finish, lifetime, job status), waited for
    // without the interpreter lock; None once closed and every end taken.
    py::object take() {
        for (;;) {
            const std::optional<EndedJobs::Entry> end = next_end();
            if (!end) return py::none();
            auto filed = entries_.find(end->first);
            // A doubled or late report of an end already finished, or of a
            // job given up at exit, finds nothing.
            if (filed == entries_.end()) continue;
            Entry entry = std::move(filed->second);
            entries_.erase(filed);
            entry.life.cast<Lifetime&>().job_ended();
            return py::make_tuple(entry.finish, entry.life, end->second);
        }
    }

    // Stops taking ends without waiting for the jobs still running: returns
    // (finish, lifetime) of each, for the caller to finish as given up.
    py::list abandon() {
        ended_->close();
        watched_.clear();
        py::list left;
        for (auto& filed : entries_) {
            filed.second.life.cast<Lifetime&>().job_ended();
            left.append(py::make_tuple(filed.second.finish, filed.second.life));
        }
        entries_.clear();
        return left;
    }

    void close() { ended_->close(); }

private:
    struct Entry {
        py::object life;
        py::object finish;
    };
    struct Watched {
        py::object npu;
        uint64_t job_id;
        uint64_t token;
    };

    // Takes a use of `life` (raising when it is closed) and files the job.
    uint64_t file(py::object life, py::object finish) {
        Lifetime& lifetime = life.cast<Lifetime&>();
        lifetime.enter();
        lifetime.job_started();
        const uint64_t token = next_token_++;
        entries_.emplace(token, Entry{std::move(life), std::move(finish)});
        return token;
    }

    // The next end; while jobs are watched, they are asked about each slice.
    std::optional<EndedJobs::Entry> next_end() {
        for (;;) {
            const bool watching = !watched_.empty();
            std::optional<EndedJobs::Entry> end = without_gil(
                [&] { return ended_->pop(watching ? std::optional<Clock::duration>(kSlice) : std::nullopt); });
            if (end || ended_->closed()) return end;
            if (watching) ask_about_watched();
        }
    }

    // One status query per watched job; the ended ones go to the queue. A
    // failing query is asked again next time, unless the context is gone.
    // The queries run without the GIL, while other threads may watch more
    // jobs or abandon them all: they work on a copy, which also keeps the
    // NPU objects alive, and their answers are matched by token.
    //
    // The NPU objects are held by plain references, not owners: a thread the
    // interpreter ends while it exits (when it takes the GIL back) unwinds
    // through this frame, where no destructor may touch Python.
    void ask_about_watched() {
        struct Asked {
            PyObject* npu;
            uint64_t job_id;
            uint64_t token;
        };
        std::vector<Asked> asked;
        std::vector<std::unique_ptr<HandleUse>> uses;
        for (const Watched& w : watched_) {
            Py_INCREF(w.npu.ptr());
            asked.push_back({w.npu.ptr(), w.job_id, w.token});
            uses.push_back(std::make_unique<HandleUse>(w.npu.cast<NPU&>()));
        }
        std::vector<std::pair<kiv_status_t, job_status_t>> answers(asked.size());
        without_gil([&] {
            for (size_t i = 0; i < asked.size(); ++i) {
                answers[i].second = KIV_JOB_STATUS_NO_STATUS;
                answers[i].first = ::kiv_get_job_status(uses[i]->ctx(), asked[i].job_id, &answers[i].second, 1);
            }
            return 0;
        });
        uses.clear();
        for (const Asked& a : asked) Py_DECREF(a.npu);
        for (size_t i = 0; i < asked.size(); ++i) {
            const auto [status, job_status] = answers[i];
            const bool ended = status == KIV_STATUS_SUCCESS && job_status != KIV_JOB_STATUS_NO_STATUS;
            if (!ended && status != KIV_STATUS_ERROR_INVALID_HANDLE) continue;
            const uint64_t token = asked[i].token;
            auto still =
                std::find_if(watched_.begin(), watched_.end(), [&](const Watched& w) { return w.token == token; });
            if (still == watched_.end()) continue;  // abandoned meanwhile
            watched_.erase(still);
            ended_->push(token, ended ? job_status : KIV_JOB_STATUS_NO_STATUS);
        }
    }

    std::shared_ptr<EndedJobs> ended_ = std::make_shared<EndedJobs>();
    std::map<uint64_t, Entry> entries_;
    std::vector<Watched> watched_;
    uint64_t next_token_ = 1;
};

// Closes the contexts of `npus` on a thread of its own, waiting `seconds`
// at most: the status of each close, None for one that had not returned.
// The objects no longer hold their contexts afterwards either way.
py::list close_contexts(const std::vector<NPU*>& npus, double seconds) {
    struct Closing {
        std::mutex mu;
        std::condition_variable done_cv;
        std::vector<std::optional<kiv_status_t>> statuses;
        size_t done = 0;
    };
    auto closing = std::make_shared<Closing>();
    closing->statuses.resize(npus.size());
    std::vector<std::pair<std::shared_ptr<UseGate>, kiv_context*>> handles;
    for (NPU* npu : npus) handles.emplace_back(npu->handle_gate, npu->release_context());
    std::thread([closing, handles] {
        for (size_t i = 0; i < handles.size(); ++i) {
            const kiv_status_t status = handles[i].second != nullptr
                                            ? close_unreachable(*handles[i].first, handles[i].second)
                                            : KIV_STATUS_ERROR_INVALID_HANDLE;
            std::lock_guard<std::mutex> lock(closing->mu);
            closing->statuses[i] = status;
            ++closing->done;
            closing->done_cv.notify_all();
        }
    }).detach();
    without_gil([&] {
        std::unique_lock<std::mutex> lock(closing->mu);
        const auto limit = std::chrono::duration<double>(std::max(0.0, seconds));
        return closing->done_cv.wait_for(lock, limit, [&] { return closing->done == npus.size(); });
    });
    std::lock_guard<std::mutex> lock(closing->mu);
    py::list statuses;
    for (const auto& status : closing->statuses) {
        statuses.append(status ? py::cast(*status) : py::object(py::none()));
    }
    return statuses;
}

}  // namespace

void register_kiv_jobs(py::module_& m) {
    m.def(
        "run",
        [](NPU& npu, uint64_t job_id, std::optional<double> timeout, Lifetime* life) {
            CountedJob counted(life);
            return as_tuple(run_job(npu, job_id, timeout));
        },
        py::arg("npu"), py::arg("job_id"), py::arg("timeout") = py::none(), py::arg("life") = py::none(),
        "Runs a job like kiv_job_infer_sync, without the interpreter lock: (failed call, status, job status). "
        "The failed call is None, \"kiv_job_infer_sync\" (the job did not start) or \"kiv_get_job_status\" (it "
        "started; its end is not known); job status 0 means it did not end within `timeout` seconds (None, "
        "infinity or 1e9 and more: no limit). The job counts as in flight on `life` while it runs here.");
    m.def(
        "load_inputs",
        [](NPU& npu, uint64_t job_id, py::handle inputs) { return move_tensors(npu, job_id, inputs, true); },
        py::arg("npu"), py::arg("job_id"), py::arg("inputs"),
        "Loads the job's inputs from `inputs`, a list of C-contiguous buffers of the inputs' sizes in index order "
        "(checked by the caller), without the interpreter lock: (index of the input that failed, its status), "
        "(-1, success) when all were loaded.");
    m.def(
        "read_outputs",
        [](NPU& npu, uint64_t job_id, py::handle outputs, bool zero_first) {
            return move_tensors(npu, job_id, outputs, false, zero_first);
        },
        py::arg("npu"), py::arg("job_id"), py::arg("outputs"), py::arg("zero_first") = false,
        "Has the runtime write the job's outputs straight into `outputs`, a list of writable C-contiguous buffers "
        "of the outputs' sizes in index order (checked by the caller), without the interpreter lock: (index of "
        "the output that failed, its status), (-1, success) when all were read. With `zero_first` (new arrays) "
        "each is zero-filled first.");
    m.def(
        "clean_job",
        [](NPU& npu, uint64_t job_id) {
            return call_on_handle(npu, [&](kiv_context* ctx) { return ::kiv_clean_job(ctx, job_id); });
        },
        py::arg("npu"), py::arg("job_id"),
        "Cleans a job without the interpreter lock (a driver may wait for a running job): the status.");
    m.def("close_contexts", &close_contexts, py::arg("npus"), py::arg("seconds"),
          "Closes the objects' contexts on a thread of its own, waiting `seconds` at most: the status of each "
          "close, None for one that had not returned by then (it is left to run on).");
    py::class_<Completions>(m, "Completions", "A runtime's jobs handed to the driver or left running, and their ends.")
        .def(py::init<>())
        .def("submit", &Completions::submit, py::arg("npu"), py::arg("job_id"), py::arg("life"), py::arg("finish"),
             "Takes a use of `life` and starts the job; take() gives (finish, life, job status) once it ended, a "
             "refused job's with job status 0. The status of the submission.")
        .def("watch", &Completions::watch, py::arg("npu"), py::arg("job_id"), py::arg("life"), py::arg("finish"),
             "Takes a use of `life` for a job that runs on without a completion callable; take() gives it once a "
             "status query sees its end (job status 0 when the context went first).")
        .def("take", &Completions::take,
             "The next finished job as (finish, life, job status), waited for without the interpreter lock; "
             "None once closed and every end taken.")
        .def("abandon", &Completions::abandon,
             "Stops taking ends: (finish, life) of every job not finished yet, which is forgotten.")
        .def("close", &Completions::close, "Lets take() return None once every end is taken.");
}

}  // namespace aipudrv
