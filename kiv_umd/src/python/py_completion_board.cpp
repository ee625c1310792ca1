// kiv_completion_board: a small module of the kiv package's own, carried by
// libkiv.so beside the libkiv module (kiv loads it from this file by name;
// libkiv's attributes are untouched).
//
// Its completion function has exactly the runtime's native completion
// signature, so the runtime calls it on the driver's thread without the
// interpreter lock: it records the job's status and wakes the one thread
// that waits for that job, or queues the job for a completion thread. Only
// the thread that wakes up takes the interpreter lock. A job can also be run
// the way the runtime's blocking path runs it, and a job started without a
// completion callable waited for through the runtime's status query: no
// thread then stands between the job's end and its waiter. Waits release the
// lock and look at signals between short slices, so Ctrl-C is answered at
// once.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

#include "kiv_api.h"
#include "py_completion.h"
#include "py_npu.h"

namespace py = pybind11;

namespace aipudrv {
namespace {

using Clock = std::chrono::steady_clock;

// How long a wait runs without looking at signals.
constexpr auto kSlice = std::chrono::milliseconds(20);
// How long a waiter stays awake for its job's end before it sleeps.
constexpr auto kSpin = std::chrono::microseconds(100);

enum EntryKind : uint32_t { ENTRY_JOB = 0, ENTRY_TICKET = 1 };

// A completion thread's queue: jobs that ended after they were routed to
// it, and tickets that Python code posts (wake-ups of its own).
class RoutedQueue {
public:
    struct Entry {
        uint32_t kind;
        uint64_t id;
        uint32_t status;
    };

    // Caller holds the board's mutex or none; the queue has its own.
    void push(Entry entry) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            entries_.push_back(entry);
        }
        ready_.notify_one();
    }

    // The next entry, or nothing once `until` has passed.
    std::optional<Entry> pop(Clock::time_point until) {
        std::unique_lock<std::mutex> lock(mu_);
        if (!ready_.wait_until(lock, until, [&] { return !entries_.empty(); })) return std::nullopt;
        Entry entry = entries_.front();
        entries_.pop_front();
        return entry;
    }

private:
    std::mutex mu_;
    std::condition_variable ready_;
    std::deque<Entry> entries_;
};

// What a wait for a board job came to.
struct WaitOutcome {
    enum Kind { ENDED, GONE } kind;
    uint32_t status;  // the job status, when ENDED
};

// The jobs submitted with the native completion, by job id, from submission
// until their status has been taken by a waiter or queued for a thread. A
// job routed to a queue can still be waited for: while a thread waits for
// it, its end goes to that thread and not to the queue.
class CompletionBoard {
public:
    static CompletionBoard& instance() {
        // Never destroyed: a driver thread may deliver after static destructors ran.
        static auto* board = new CompletionBoard();
        return *board;
    }

    // The job's serial number on the board (never 0), or 0 when a job of
    // that id is on the board already (another context's job with the same
    // id): the caller then completes the job another way. The serial tells
    // this job from a later one that reuses its id.
    uint64_t expect(uint64_t job_id) {
        std::lock_guard<std::mutex> lock(mu_);
        auto slot = std::make_shared<Slot>();
        slot->serial = ++last_serial_;
        return slots_.emplace(job_id, std::move(slot)).second ? last_serial_ : 0;
    }

    void forget(uint64_t job_id) {
        std::lock_guard<std::mutex> lock(mu_);
        slots_.erase(job_id);
    }

    // The driver's thread: the job ended. Jobs not on the board are not ours.
    int32_t complete(uint64_t job_id, uint32_t status) {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = slots_.find(job_id);
        if (it == slots_.end()) return -1;
        Slot& slot = *it->second;
        if (slot.queue && slot.waiters == 0) {
            slot.queue->push({ENTRY_JOB, job_id, status});
            slots_.erase(it);
            return 0;
        }
        slot.ended = true;
        slot.status = status;
        slot.ended_cv.notify_all();
        return 0;
    }

    // Waits until the job ended or `until` passed, and takes the job off the
    // board when it ended. GONE: the job (of that serial) is not on the
    // board: its end went to its queue, or to another waiter.
    std::optional<WaitOutcome> wait(uint64_t job_id, uint64_t serial, Clock::time_point until) {
        std::unique_lock<std::mutex> lock(mu_);
        std::shared_ptr<Slot> slot = find(job_id, serial);
        if (!slot) return WaitOutcome{WaitOutcome::GONE, 0};
        ++slot->waiters;
        spin_until_ended(lock, *slot, until);
        const bool ended = slot->ended_cv.wait_until(lock, until, [&] { return slot->ended.load(); });
        --slot->waiters;
        if (!ended) return std::nullopt;
        if (find(job_id, serial) != slot) return WaitOutcome{WaitOutcome::GONE, 0};
        slots_.erase(job_id);
        return WaitOutcome{WaitOutcome::ENDED, slot->status};
    }

    // From now on the job's end goes to `queue`; at once if it has ended
    // (and no thread waits to take it).
    void route(uint64_t job_id, std::shared_ptr<RoutedQueue> queue) {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = slots_.find(job_id);
        if (it == slots_.end()) throw py::key_error("job " + std::to_string(job_id) + " is not on the board");
        Slot& slot = *it->second;
        if (slot.ended && slot.waiters == 0) {
            queue->push({ENTRY_JOB, job_id, slot.status});
            slots_.erase(it);
            return;
        }
        slot.queue = std::move(queue);
    }

private:
    struct Slot {
        std::condition_variable ended_cv;
        uint64_t serial = 0;
        std::atomic<bool> ended{false};
        uint32_t status = 0;
        int waiters = 0;                     // threads in wait() for this job
        std::shared_ptr<RoutedQueue> queue;  // set once routed
    };

    // A job that ends within microseconds is waited for awake: a thread
    // put to sleep is woken up tens of microseconds late on an idle core.
    static void spin_until_ended(std::unique_lock<std::mutex>& lock, const Slot& slot, Clock::time_point until) {
        const Clock::time_point spin_end = std::min(until, Clock::now() + kSpin);
        lock.unlock();
        // Yielding, so that the threads delivering the end get this core when they need it.
        while (!slot.ended.load(std::memory_order_acquire) && Clock::now() < spin_end) std::this_thread::yield();
        lock.lock();
    }

    // Shared, so that a waiter keeps its slot (and condition variable) alive
    // when another thread takes the job off the board.
    std::shared_ptr<Slot> find(uint64_t job_id, uint64_t serial) {
        auto it = slots_.find(job_id);
        if (it == slots_.end() || it->second->serial != serial) return nullptr;
        return it->second;
    }

    std::mutex mu_;
    uint64_t last_serial_ = 0;
    std::unordered_map<uint64_t, std::shared_ptr<Slot>> slots_;
};

// A wait left running at exit (a job a timed-out run left behind, a
// completion thread) would take the interpreter lock back while the
// interpreter finalizes when its job ends: through the interpreter's gate,
// such a wait parks its thread for good instead (the process is ending).
[[noreturn]] void park_forever() {
    std::mutex mu;
    std::condition_variable never;
    std::unique_lock<std::mutex> lock(mu);
    for (;;) never.wait(lock);
}

// The interpreter lock given up for the life of the object, and taken back
// through the interpreter's gate.
class WithoutInterpreterLock {
public:
    WithoutInterpreterLock() : state_(PyEval_SaveThread()) {}
    ~WithoutInterpreterLock() {
        if (!interpreter_gate().enter()) park_forever();
        PyEval_RestoreThread(state_);
        interpreter_gate().leave();
    }
    WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
    WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;

private:
    PyThreadState* state_;
};

// The runtime's native completion callable: called on the driver's thread,
// without the interpreter lock.
int32_t notify(uint64_t job_id, job_status_t status) {
    return CompletionBoard::instance().complete(job_id, static_cast<uint32_t>(status));
}

double seconds_until(Clock::time_point deadline) {
    return std::max(0.0, std::chrono::duration<double>(deadline - Clock::now()).count());
}

Clock::time_point deadline_of(const py::object& timeout) {
    if (timeout.is_none()) return Clock::time_point::max();
    const double seconds = timeout.cast<double>();
    const auto span = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    return Clock::now() + span;
}

// Runs `attempt(until)` without the interpreter lock in slices of kSlice up to
// `deadline`, looking at signals between slices (a KeyboardInterrupt leaves
// here). Returns what the first successful attempt returned, or nothing.
template <typename Attempt>
auto sliced(Clock::time_point deadline, Attempt&& attempt) -> decltype(attempt(deadline)) {
    for (;;) {
        const Clock::time_point now = Clock::now();
        const Clock::time_point until = deadline - now > kSlice ? now + kSlice : deadline;
        {
            WithoutInterpreterLock release;
            if (auto result = attempt(until)) return result;
        }
        if (Clock::now() >= deadline) return {};
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
}

py::object wait_for_job(uint64_t job_id, uint64_t serial, const py::object& timeout) {
    auto outcome = sliced(deadline_of(timeout), [&](Clock::time_point until) {
        return CompletionBoard::instance().wait(job_id, serial, until);
    });
    if (!outcome) return py::none();
    if (outcome->kind == WaitOutcome::GONE) {
        throw py::key_error("job " + std::to_string(job_id) + " is no longer on the board");
    }
    return py::int_(outcome->status);
}

// Waits for a job that was started without a completion callable, through
// the runtime's status query (the job's own end, with no thread between).
// (status of the query, job status): job status 0 when the time ran out.
py::tuple wait_through_status(NPU& npu, uint64_t job_id, const py::object& timeout) {
    kiv_context* ctx = npu.ctx;
    using Result = std::pair<kiv_status_t, job_status_t>;
    auto ended = sliced(deadline_of(timeout), [&](Clock::time_point until) -> std::optional<Result> {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
        job_status_t job_status = KIV_JOB_STATUS_NO_STATUS;
        const kiv_status_t status =
            ::kiv_get_job_status(ctx, job_id, &job_status, static_cast<int32_t>(std::max<int64_t>(left, 0)));
        if (status != KIV_STATUS_SUCCESS || job_status != KIV_JOB_STATUS_NO_STATUS) return Result{status, job_status};
        return std::nullopt;
    });
    if (!ended) return py::make_tuple(KIV_STATUS_SUCCESS, static_cast<uint32_t>(KIV_JOB_STATUS_NO_STATUS));
    return py::make_tuple(ended->first, static_cast<uint32_t>(ended->second));
}

bool still_running(kiv_status_t status) {
    return status == KIV_STATUS_ERROR_JOB_TIMEOUT || status == KIV_STATUS_ERROR_TIMEOUT;
}

// Runs a job the way the runtime's blocking path does (kiv_job_infer_sync),
// but without the interpreter lock. The first wait is one slice long; a job
// still running then is waited for through the status query, in slices too,
// so that signals are seen. (status, job status) as wait_through_status; a
// status other than success means the job did not start.
py::tuple run_job(NPU& npu, uint64_t job_id, const py::object& timeout) {
    kiv_context* ctx = npu.ctx;
    const Clock::time_point deadline = deadline_of(timeout);
    const auto first = std::min<Clock::duration>(kSlice, std::max<Clock::duration>(deadline - Clock::now(), {}));
    kiv_status_t status;
    {
        WithoutInterpreterLock release;
        // At least a millisecond: a zero time-out may mean "no limit" to a driver.
        const auto first_ms = std::max<int64_t>(1, std::chrono::ceil<std::chrono::milliseconds>(first).count());
        status = ::kiv_job_infer_sync(ctx, job_id, static_cast<int32_t>(first_ms));
    }
    if (status == KIV_STATUS_SUCCESS) return py::make_tuple(status, static_cast<uint32_t>(KIV_JOB_STATUS_DONE));
    if (status == KIV_STATUS_ERROR_JOB_EXCEPTION) {
        return py::make_tuple(KIV_STATUS_SUCCESS, static_cast<uint32_t>(KIV_JOB_STATUS_EXCEPTION));
    }
    if (!still_running(status)) return py::make_tuple(status, static_cast<uint32_t>(KIV_JOB_STATUS_NO_STATUS));
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    return wait_through_status(npu, job_id, timeout.is_none() ? timeout : py::float_(seconds_until(deadline)));
}

// A completion thread's wait: in one piece, since only the main thread sees
// signals; a thread waking every slice would take the interpreter lock from
// a program blocked in one of libkiv's waits.
py::object next_entry(RoutedQueue& queue, const py::object& timeout) {
    const Clock::time_point deadline = deadline_of(timeout);
    std::optional<RoutedQueue::Entry> entry;
    {
        WithoutInterpreterLock release;
        entry = queue.pop(deadline);
    }
    if (!entry) return py::none();
    return py::make_tuple(entry->kind, entry->id, entry->status);
}

}  // namespace
}  // namespace aipudrv

PYBIND11_MODULE(kiv_completion_board, m) {
    using namespace aipudrv;
    m.doc() = "Native completion of jobs for the kiv package (carried by libkiv.so)";
    m.attr("JOB") = py::int_(static_cast<uint32_t>(ENTRY_JOB));
    m.attr("TICKET") = py::int_(static_cast<uint32_t>(ENTRY_TICKET));
    arm_interpreter_gate();
    m.def("notify", &notify, py::arg("job_id"), py::arg("status"),
          "The completion callable to hand to kiv_job_infer_async: called by the runtime without the "
          "interpreter lock.");
    m.def(
        "expect", [](uint64_t job_id) { return CompletionBoard::instance().expect(job_id); }, py::arg("job_id"),
        "Puts a job on the board before it is submitted: its serial number, or 0 when its id is there already.");
    m.def(
        "forget", [](uint64_t job_id) { CompletionBoard::instance().forget(job_id); }, py::arg("job_id"),
        "Takes a job that was never started off the board.");
    m.def("run", &run_job, py::arg("npu"), py::arg("job_id"), py::arg("timeout") = py::none(),
          "Runs a job like kiv_job_infer_sync, without the interpreter lock: (status, job status); a status "
          "other than success means the job did not start, job status 0 that it did not end within `timeout` "
          "seconds.");
    m.def("wait_through_status", &wait_through_status, py::arg("npu"), py::arg("job_id"),
          py::arg("timeout") = py::none(),
          "(status, job status) of a job started without a completion callable, once it ended; job status 0 "
          "when `timeout` seconds passed first.");
    m.def("wait", &wait_for_job, py::arg("job_id"), py::arg("serial"), py::arg("timeout") = py::none(),
          "The job's status once it ended, or None when `timeout` seconds passed first; KeyError when its "
          "end went to its queue (or to another waiter).");
    py::class_<RoutedQueue, std::shared_ptr<RoutedQueue>>(m, "Queue")
        .def(py::init<>())
        .def(
            "post",
            [](RoutedQueue& q, uint64_t ticket) {
                q.push({ENTRY_TICKET, ticket, 0});
            },
            py::arg("ticket"))
        .def("get", &next_entry, py::arg("timeout") = py::none(),
             "(kind, id, status) of the next entry, or None when `timeout` seconds passed first.");
    m.def(
        "route",
        [](uint64_t job_id, std::shared_ptr<RoutedQueue> queue) {
            CompletionBoard::instance().route(job_id, std::move(queue));
        },
        py::arg("job_id"), py::arg("queue"), "Sends the job's end to `queue` (at once if it has ended).");
}
