// NPU methods for the context, graph and job life cycle. Each one calls a
// single runtime function with the object's context handle; failures come
// back as statuses with an error line, never as Python exceptions.
#include <pybind11/functional.h>

#include <condition_variable>
#include <cstdio>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "py_npu.h"
#include "py_records.h"

namespace aipudrv {

namespace {

constexpr uint64_t kNoGraphId = std::numeric_limits<uint64_t>::max();

using NativeCompletion = int32_t (*)(uint64_t, job_status_t);

// Reports the pending Python error through the interpreter's unraisable hook;
// nothing may propagate into the driver thread that delivered the completion.
void report_unraisable(py::error_already_set& error, const py::object& callable) {
    error.discard_as_unraisable(callable);
}

void report_native_failure(PyObject* type, const char* text, const py::object& callable) {
    PyErr_SetString(type, text);
    py::error_already_set pending;
    report_unraisable(pending, callable);
}

// Completion calls and the release of their callables happen on driver
// threads. Once the interpreter finalizes, a thread that waits for the GIL is
// ended with pthread_exit, whose unwinding cannot pass the driver's and the
// standard library's noexcept frames: the process aborts. An exit hook closes
// this gate before finalization starts: calls already inside finish (the hook
// waits for them without the GIL), later ones skip Python.
class InterpreterGate {
public:
    static InterpreterGate& instance() {
        // Never destroyed: driver threads may still ask after static destructors ran.
        static auto* gate = new InterpreterGate();
        return *gate;
    }

    bool enter() {
        std::lock_guard<std::mutex> lock(mu_);
        if (closed_) return false;
        ++inside_;
        return true;
    }

    void leave() {
        std::lock_guard<std::mutex> lock(mu_);
        if (--inside_ == 0) cv_.notify_all();
    }

    // Called with the GIL held, at interpreter exit.
    void close_and_drain() {
        py::gil_scoped_release release;
        std::unique_lock<std::mutex> lock(mu_);
        closed_ = true;
        cv_.wait(lock, [&] { return inside_ == 0; });
    }

    // Registers the exit hook once; called with the GIL held. When that is
    // no longer possible the interpreter is already going away, and no
    // completion may enter Python any more.
    void arm() {
        if (armed_) return;
        armed_ = true;
        try {
            py::module_::import("atexit").attr("register")(
                py::cpp_function([] { InterpreterGate::instance().close_and_drain(); }));
        } catch (py::error_already_set&) {
            std::lock_guard<std::mutex> lock(mu_);
            closed_ = true;
        }
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool closed_ = false;
    int inside_ = 0;
    bool armed_ = false;  // guarded by the GIL
};

// Holds the gate open for one scope; `open()` is false when it was closed.
class GatePass {
public:
    GatePass() : open_(InterpreterGate::instance().enter()) {}
    ~GatePass() {
        if (open_) InterpreterGate::instance().leave();
    }
    GatePass(const GatePass&) = delete;
    GatePass& operator=(const GatePass&) = delete;
    bool open() const { return open_; }

private:
    bool open_;
};

// A Python completion callable as the runtime's function object. Copies of
// it travel through driver threads, so the callable sits behind a shared
// pointer whose deleter takes the GIL: copying and destroying the function
// object never touches a Python reference count without the GIL.
class PythonCompletion {
public:
    explicit PythonCompletion(py::object callable)
        : callable_(new py::object(std::move(callable)), [](py::object* p) {
              GatePass pass;
              // After the interpreter is gone, or while it goes, the
              // reference can only be leaked.
              if (!pass.open() || !Py_IsInitialized()) return;
              py::gil_scoped_acquire gil;
              delete p;
          }) {
        InterpreterGate::instance().arm();
    }

    int32_t operator()(uint64_t job_id, job_status_t status) const {
        GatePass pass;
        if (!pass.open()) return -1;
        py::gil_scoped_acquire gil;
        try {
            py::object result = (*callable_)(job_id, status);
            return py::cast<int32_t>(result);
        } catch (py::error_already_set& error) {
            report_unraisable(error, *callable_);
        } catch (const py::cast_error& error) {
            // The result was no 32-bit integer; make it a Python error so it
            // reaches the same hook as an exception raised by the callable.
            report_native_failure(PyExc_TypeError, error.what(), *callable_);
        } catch (const std::exception& error) {
            report_native_failure(PyExc_RuntimeError, error.what(), *callable_);
        }
        return -1;
    }

private:
    std::shared_ptr<py::object> callable_;
};

// None gives an empty function object. A function exported by a binding with
// exactly the native signature is called directly; any other callable goes
// through PythonCompletion.
kiv_job_callback_t make_completion(const py::object& py_cb) {
    if (py_cb.is_none()) return {};
    if (!PyCallable_Check(py_cb.ptr())) throw py::type_error("py_cb must be callable or None");
    py::detail::make_caster<std::function<int32_t(uint64_t, job_status_t)>> native;
    if (native.load(py_cb, false)) {
        auto& loaded = static_cast<std::function<int32_t(uint64_t, job_status_t)>&>(native);
        if (auto* fn = loaded.target<NativeCompletion>()) return *fn;
    }
    return PythonCompletion(py_cb);
}

// A failed call prints its error line; the status passes through.
kiv_status_t reported(NPU& npu, const char* call, kiv_status_t status) {
    if (status != KIV_STATUS_SUCCESS) npu.print_error_line(call, status);
    return status;
}

// (status, value) for Python. A failed call prints its error line and hands
// back `on_error` rather than whatever the runtime left in `value`.
template <typename T>
py::tuple reported_pair(NPU& npu, const char* call, kiv_status_t status, T value, T on_error) {
    if (reported(npu, call, status) != KIV_STATUS_SUCCESS) value = on_error;
    return py::make_tuple(status, value);
}

}  // namespace

void NPU::print_error_line(const char* api_name, kiv_status_t status) {
    const char* text = nullptr;
    ::kiv_get_error_message(ctx, status, &text);
    if (text != nullptr) {
        std::fprintf(stderr, "[PY UMD ERROR] %s: %s\n", api_name, text);
    } else {
        // An invalid handle yields no text; the line is still owed.
        std::fprintf(stderr, "[PY UMD ERROR] %s: unknown status %d\n", api_name, static_cast<int>(status));
    }
}

kiv_status_t NPU::kiv_init_context() {
    return ::kiv_init_context(&ctx, 0);
}

kiv_status_t NPU::kiv_deinit_context() {
    kiv_status_t status = ::kiv_deinit_context(ctx);
    // The handle is gone whatever the status; forgetting it makes later calls
    // fail with the invalid-handle status instead of touching freed memory.
    ctx = nullptr;
    return status;
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
    if (cfg.is_none()) {
        status = ::kiv_load_graph(ctx, graph_bin.c_str(), &graph_id, nullptr);
    } else {
        LoadGraphConfig config(wrapper_from<kiv_load_graph_cfg_wrapper_t>(cfg));
        status = ::kiv_load_graph(ctx, graph_bin.c_str(), &graph_id, config.get());
    }
    return reported_pair(*this, "kiv_load_graph", status, graph_id, kNoGraphId);
}

kiv_status_t NPU::kiv_unload_graph(uint64_t graph_id) {
    return reported(*this, "kiv_unload_graph", ::kiv_unload_graph(ctx, graph_id));
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
    kiv_job_callback_t completion = make_completion(py_cb);
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
