// kiv._native.Completions: a runtime's jobs handed to the driver or left
// running, and their ends.
//
// The end of a submitted job is reported by the driver's thread to a queue
// of the runtime's; the callable that does it never touches Python, so
// nothing reaches Python from a driver thread and nothing there waits for
// the interpreter. The runtime's completion thread takes the ends from the
// queue, also those of jobs a run left running (a timeout, Ctrl-C), which it
// asks the driver about itself.
#ifndef KIV_PY_KIV_COMPLETIONS_H
#define KIV_PY_KIV_COMPLETIONS_H

#include <pybind11/pybind11.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "kiv_api.h"
#include "py_npu.h"

namespace aipudrv {

class EndedJobs;

// Jobs filed under a token, each with its lifetime (whose use it holds until
// it is finished) and what finishes it. The tables are guarded by the GIL.
class Completions {
public:
    Completions();

    // Takes a use of `life` and starts a job whose end comes back from
    // take(). A job the driver refuses comes back too, as one that never
    // ran (job status NO_STATUS): whoever takes the ends finishes every job
    // it was handed. A use that `life` refuses (it is closing) returns the
    // job to the driver (cleaned) before the refusal is raised.
    kiv_status_t submit(NPU& npu, uint64_t job_id, pybind11::object life, pybind11::object finish);

    // A job that a run left running, with its use of `life` handed over
    // (never refused: the run holds one): its end comes back from take()
    // once a status query sees it (NO_STATUS when the context went first).
    void watch(pybind11::object npu, uint64_t job_id, pybind11::object life, pybind11::object finish);

    // The next finished job as (finish, lifetime, job status), waited for
    // without the interpreter lock; None once closed and every end taken.
    pybind11::object take();

    // Stops taking ends without waiting for the jobs still running: returns
    // (finish, lifetime) of each, for the caller to finish as given up.
    pybind11::list abandon();

    // Lets take() return None once every end is taken.
    void close();

private:
    struct Entry {
        pybind11::object life;
        pybind11::object finish;
    };
    struct Watched {
        pybind11::object npu;
        uint64_t job_id;
        uint64_t token;
    };

    uint64_t file(pybind11::object life, pybind11::object finish);
    std::optional<std::pair<uint64_t, uint32_t>> next_end();
    void ask_about_watched();

    std::shared_ptr<EndedJobs> ended_;
    std::map<uint64_t, Entry> entries_;
    std::vector<Watched> watched_;
    // When the watched jobs are next asked about.
    std::chrono::steady_clock::time_point next_ask_;
    uint64_t next_token_ = 1;
};

void register_kiv_completions(pybind11::module_& m);

}  // namespace aipudrv

#endif  // KIV_PY_KIV_COMPLETIONS_H
