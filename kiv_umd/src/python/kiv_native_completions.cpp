#include "kiv_native_completions.h"

#include <algorithm>
#include <deque>
#include <mutex>

#include "fork_safety.h"
#include "kiv_native_lifetime.h"
#include "kiv_native_waits.h"

namespace py = pybind11;

namespace aipudrv {

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

    // The next end if one is there, without waiting.
    std::optional<Entry> try_pop() {
        std::lock_guard<std::mutex> lock(monitor_.mu);
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

Completions::Completions() : ended_(std::make_shared<EndedJobs>()) {}

kiv_status_t Completions::submit(NPU& npu, uint64_t job_id, py::object life, py::object finish) {
    try {
        life.cast<Lifetime&>().enter();
    } catch (py::error_already_set&) {
        // Refused: the job goes back to the driver, which would otherwise
        // keep it until the context is closed.
        call_on_handle(npu, [&](kiv_context* ctx) { return ::kiv_clean_job(ctx, job_id); });
        throw;
    }
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

void Completions::watch(py::object npu, uint64_t job_id, py::object life, py::object finish) {
    npu.cast<NPU&>();  // TypeError now rather than on the completion thread
    life.cast<Lifetime&>().share();
    const uint64_t token = file(std::move(life), std::move(finish));
    watched_.push_back({std::move(npu), job_id, token});
    ended_->wake();  // a wait without a limit would never ask about it
}

py::object Completions::take() {
    for (;;) {
        const std::optional<EndedJobs::Entry> end = next_end();
        if (!end) return py::none();
        auto filed = entries_.find(end->first);
        // A doubled or late report of an end already finished, or of a job
        // given up at exit, finds nothing.
        if (filed == entries_.end()) continue;
        Entry entry = std::move(filed->second);
        entries_.erase(filed);
        entry.life.cast<Lifetime&>().job_ended();
        return py::make_tuple(entry.finish, entry.life, end->second);
    }
}

py::list Completions::abandon() {
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

void Completions::close() {
    ended_->close();
}

// Files a job whose use of `life` the caller took.
uint64_t Completions::file(py::object life, py::object finish) {
    life.cast<Lifetime&>().job_started();
    const uint64_t token = next_token_++;
    entries_.emplace(token, Entry{std::move(life), std::move(finish)});
    return token;
}

// The next end; while jobs are watched, they are asked about each slice,
// also while other ends keep coming. An end already there is taken with the
// GIL held: under many jobs in flight one usually is, and handing the GIL
// over for it would cost a switch between threads per job.
std::optional<EndedJobs::Entry> Completions::next_end() {
    for (;;) {
        if (!watched_.empty() && Clock::now() >= next_ask_) {
            ask_about_watched();
            next_ask_ = Clock::now() + kSlice;
        }
        if (std::optional<EndedJobs::Entry> end = ended_->try_pop()) return end;
        const bool watching = !watched_.empty();
        std::optional<EndedJobs::Entry> end =
            without_gil([&] { return ended_->pop(watching ? std::optional<Clock::duration>(kSlice) : std::nullopt); });
        if (end || ended_->closed()) return end;
    }
}

// One status query per watched job; the ended ones go to the queue. A
// failing query is asked again next time, unless the context is gone. The
// queries run without the GIL, while other threads may watch more jobs or
// abandon them all: they work on a copy, which also keeps the NPU objects
// alive, and their answers are matched by token.
//
// The NPU objects are held by plain references, not owners: a thread the
// interpreter ends while it exits (when it takes the GIL back) unwinds
// through this frame, where no destructor may touch Python.
void Completions::ask_about_watched() {
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
        auto still = std::find_if(watched_.begin(), watched_.end(), [&](const Watched& w) { return w.token == token; });
        if (still == watched_.end()) continue;  // abandoned meanwhile
        watched_.erase(still);
        ended_->push(token, ended ? job_status : KIV_JOB_STATUS_NO_STATUS);
    }
}

void register_kiv_completions(py::module_& m) {
    py::class_<Completions>(m, "Completions", "A runtime's jobs handed to the driver or left running, and their ends.")
        .def(py::init<>())
        .def("submit", &Completions::submit, py::arg("npu"), py::arg("job_id"), py::arg("life"), py::arg("finish"),
             "Takes a use of `life` and starts the job; take() gives (finish, life, job status) once it ended, a "
             "refused job's with job status 0. The status of the submission. When `life` refuses the use, the job "
             "is cleaned before the refusal is raised.")
        .def("take", &Completions::take,
             "The next finished job as (finish, life, job status), waited for without the interpreter lock; "
             "None once closed and every end taken.")
        .def("abandon", &Completions::abandon,
             "Stops taking ends: (finish, life) of every job not finished yet, which is forgotten.")
        .def("close", &Completions::close, "Lets take() return None once every end is taken.");
}

}  // namespace aipudrv
