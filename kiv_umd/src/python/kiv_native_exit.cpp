#include "kiv_native_exit.h"

#include <pybind11/stl.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "py_gil.h"
#include "py_npu.h"
#include "use_gate.h"

namespace py = pybind11;

namespace aipudrv {
namespace {

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

void register_kiv_exit(py::module_& m) {
    m.def("close_contexts", &close_contexts, py::arg("npus"), py::arg("seconds"),
          "Closes the objects' contexts on a thread of its own, waiting `seconds` at most: the status of each "
          "close, None for one that had not returned by then (it is left to run on).");
}

}  // namespace aipudrv
