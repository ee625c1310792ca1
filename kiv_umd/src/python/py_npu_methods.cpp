// NPU methods for the context, graph and job life cycle. Each one calls a
// single runtime function with the object's context handle; failures come
// back as statuses with an error line, never as Python exceptions.
#include <cstdarg>
#include <cstdio>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "kiv_context.h"
#include "py_completion.h"
#include "py_error_line.h"
#include "py_gil.h"
#include "py_npu.h"
#include "py_records.h"
#include "quiet_failures.h"

namespace aipudrv {

namespace {

constexpr uint64_t kNoGraphId = std::numeric_limits<uint64_t>::max();

// (status, value) for Python. A failed call prints its error line and hands
// back `on_error` rather than whatever the runtime left in `value`.
template <typename T>
py::tuple reported_pair(NPU& npu, const char* call, kiv_status_t status, T value, T on_error) {
    if (reported(npu, call, status) != KIV_STATUS_SUCCESS) value = on_error;
    return py::make_tuple(status, value);
}

}  // namespace

void NPU::print_error_line(const char* api_name, kiv_status_t status) {
    if (!error_lines) return;
    const char* text = nullptr;
    ::kiv_get_error_message(ctx, status, &text);
    if (text != nullptr) {
        error_line("%s: %s\n", api_name, text);
    } else {
        // An invalid handle yields no text; the line is still owed.
        error_line("%s: unknown status %d\n", api_name, static_cast<int>(status));
    }
}

// One write of the whole line, so that lines of several threads never mix.
void NPU::error_line(const char* format, ...) {
    if (!error_lines) return;
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string line = "[PY UMD ERROR] ";
    if (length > 0) {
        const size_t prefix = line.size();
        line.resize(prefix + static_cast<size_t>(length) + 1);
        std::vsnprintf(&line[prefix], static_cast<size_t>(length) + 1, format, again);
        line.resize(prefix + static_cast<size_t>(length));
    }
    va_end(again);
    std::fputs(line.c_str(), stderr);
}

kiv_status_t close_unreachable(UseGate& handle_gate, kiv_context* open) {
    handle_gate.wait_for_others();
    return ::kiv_deinit_context(open);
}

NPU::NPU() = default;

NPU::~NPU() {
    close_on_destruction();
}

// Completions still inside Python finish first (other than one that is
// destroying this object); then the object's gate lets no later one in.
void NPU::close_on_destruction() noexcept {
    kiv_context* open = std::exchange(ctx, nullptr);
    auto close = [&] {
        try {
            if (open != nullptr) close_unreachable(*handle_gate, open);
        } catch (...) {
            // A destructor has no one to report to; the handle is freed anyway.
        }
        completion_gate_->close_and_wait();
    };
    if (Py_IsInitialized() && PyGILState_Check()) {
        without_gil_in_destructor(close);
    } else {
        close();
    }
}

kiv_status_t NPU::open_context(const char* library, DriverLoadFailure* failure) {
    // A context that is still open is closed first: replacing its handle
    // would leave it open, unreachable, for the rest of the process.
    if (ctx != nullptr) kiv_deinit_context();
    kiv_context* opened = nullptr;
    kiv_status_t status;
    {
        kiv::QuietFailures quiet(!error_lines);
        status = ::kiv_init_context_with_driver(&opened, 0, library, failure);
    }
    // The close above let other threads in: one of them may have opened a
    // context of its own on this object meanwhile. The last one opened is
    // kept (none after a failure), the other closed.
    if (kiv_context* other = std::exchange(ctx, opened)) {
        without_gil([&] { return close_unreachable(*handle_gate, other); });
        batch_buffers_.clear();  // they were the other context's
    }
    return status;
}

kiv_context* NPU::release_context() {
    // No queue can use the kept batch buffers once the context is gone.
    batch_buffers_.clear();
    return std::exchange(ctx, nullptr);
}

kiv_status_t NPU::kiv_init_context() {
    return open_context(nullptr);
}

kiv_status_t NPU::kiv_deinit_context() {
    // The handle is gone whatever the status; forgetting it (under the GIL)
    // makes later calls, from any thread, fail with the invalid-handle status
    // instead of touching freed memory.
    kiv_context* open = std::exchange(ctx, nullptr);
    const kiv_status_t status = without_gil([&] { return close_unreachable(*handle_gate, open); });
    // The driver context is closed (or unreachable): no queue can use the
    // kept batch buffers any more.
    batch_buffers_.clear();
    return status;
}

void NPU::release_batch_buffers_of(uint64_t graph_id) {
    for (auto it = batch_buffers_.begin(); it != batch_buffers_.end();) {
        it = it->first.first == graph_id ? batch_buffers_.erase(it) : std::next(it);
    }
}

std::string NPU::kiv_get_error_message(uint64_t status) {
    const char* text = nullptr;
    ::kiv_get_error_message(ctx, static_cast<kiv_status_t>(status), &text);
    if (text == nullptr) throw std::logic_error("basic_string: construction from null is not valid");
    return text;
}

py::tuple NPU::kiv_load_graph(const std::string& graph_bin, py::object cfg) {
    uint64_t graph_id = kNoGraphId;
    kiv_status_t status;
    kiv::QuietFailures quiet(!error_lines);
    if (cfg.is_none()) {
        status = ::kiv_load_graph(ctx, graph_bin.c_str(), &graph_id, nullptr);
    } else {
        LoadGraphConfig config(wrapper_from<kiv_load_graph_cfg_wrapper_t>(cfg));
        status = ::kiv_load_graph(ctx, graph_bin.c_str(), &graph_id, config.get());
    }
    return reported_pair(*this, "kiv_load_graph", status, graph_id, kNoGraphId);
}

kiv_status_t NPU::kiv_unload_graph(uint64_t graph_id) {
    const kiv_status_t status = ::kiv_unload_graph(ctx, graph_id);
    // The graph's queues go with it, and with them every use of their buffers.
    if (status == KIV_STATUS_SUCCESS) release_batch_buffers_of(graph_id);
    return reported(*this, "kiv_unload_graph", status);
}

py::tuple NPU::kiv_create_job(uint64_t graph_id, py::object cfg) {
    uint64_t job_id = 0;
    kiv_status_t status;
    if (cfg.is_none()) {
        status = ::kiv_create_job(ctx, graph_id, &job_id, nullptr);
    } else {
        CreateJobConfig config(wrapper_from<kiv_create_job_cfg_wrapper_t>(cfg), true);
        status = ::kiv_create_job(ctx, graph_id, &job_id, config.get());
    }
    return reported_pair(*this, "kiv_create_job", status, job_id, uint64_t{0});
}

kiv_status_t NPU::kiv_config_job(uint64_t job_id, uint64_t types, py::object cfg) {
    DumpConfig config(wrapper_from<kiv_job_config_dump_wrapper_t>(cfg));
    return reported(*this, "kiv_config_job", ::kiv_config_job(ctx, job_id, types, config.get()));
}

kiv_status_t NPU::kiv_job_infer_sync(uint64_t job_id, int32_t time_out) {
    return reported(*this, "kiv_job_infer_sync", ::kiv_job_infer_sync(ctx, job_id, time_out));
}

kiv_status_t NPU::kiv_job_infer_async(uint64_t job_id, py::object py_cb) {
    kiv_job_callback_t completion = make_completion(py_cb, completion_gate_);
    return reported(*this, "kiv_job_infer_async", ::kiv_job_infer_async(ctx, job_id, completion));
}

py::tuple NPU::kiv_get_job_status(uint64_t job_id, int32_t timeout) {
    job_status_t job_status = KIV_JOB_STATUS_NO_STATUS;
    kiv_status_t status = ::kiv_get_job_status(ctx, job_id, &job_status, timeout);
    return reported_pair(*this, "kiv_get_job_status", status, job_status, job_status_t{KIV_JOB_STATUS_NO_STATUS});
}

kiv_status_t NPU::kiv_clean_job(uint64_t job_id) {
    return reported(*this, "kiv_clean_job", ::kiv_clean_job(ctx, job_id));
}

py::tuple NPU::kiv_get_tensor_count(uint64_t graph_id, tensor_type_t type) {
    uint32_t count = 0;
    kiv_status_t status = ::kiv_get_tensor_count(ctx, graph_id, type, &count);
    return reported_pair(*this, "kiv_get_tensor_count", status, count, uint32_t{0});
}

tensor_desc_t NPU::kiv_get_tensor_descriptor(uint64_t graph_id, tensor_type_t type, uint32_t tensor) {
    tensor_desc_t desc{};
    kiv_status_t status = ::kiv_get_tensor_descriptor(ctx, graph_id, type, tensor, &desc);
    if (reported(*this, "kiv_get_tensor_descriptor", status) != KIV_STATUS_SUCCESS) desc = tensor_desc_t{};
    return desc;
}

}  // namespace aipudrv
