// Completion of asynchronous jobs in Python. Completion calls, and the release
// of their callables, happen on driver threads.
#include "py_completion.h"

#include <pybind11/functional.h>

#include <exception>
#include <utility>

namespace aipudrv {

namespace {

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

// Holds a gate open for one scope; `open()` is false when it was closed.
class GatePass {
public:
    explicit GatePass(CompletionGate& gate) : gate_(gate), open_(gate.enter()) {}
    ~GatePass() {
        if (open_) gate_.leave();
    }
    GatePass(const GatePass&) = delete;
    GatePass& operator=(const GatePass&) = delete;
    bool open() const { return open_; }

private:
    CompletionGate& gate_;
    bool open_;
};

// A Python completion callable as the runtime's function object. Copies of
// it travel through driver threads, so the callable sits behind a shared
// pointer whose deleter takes the GIL: copying and destroying the function
// object never touches a Python reference count without the GIL.
class PythonCompletion {
public:
    PythonCompletion(py::object callable, std::shared_ptr<CompletionGate> owner)
        : callable_(new py::object(std::move(callable)),
                    [](py::object* p) {
                        GatePass pass(interpreter_gate());
                        // After the interpreter is gone, or while it goes, the
                        // reference can only be leaked.
                        if (!pass.open() || !Py_IsInitialized()) return;
                        py::gil_scoped_acquire gil;
                        delete p;
                    }),
          owner_(std::move(owner)) {
        arm_interpreter_gate();
    }

    int32_t operator()(uint64_t job_id, job_status_t status) const {
        GatePass interpreter(interpreter_gate());
        if (!interpreter.open()) return -1;
        GatePass owner(*owner_);
        if (!owner.open()) return -1;
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
    std::shared_ptr<CompletionGate> owner_;
};

}  // namespace

bool CompletionGate::enter() {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_) return false;
    ++inside_;
    return true;
}

void CompletionGate::leave() {
    std::lock_guard<std::mutex> lock(mu_);
    if (--inside_ == 0) cv_.notify_all();
}

void CompletionGate::close() {
    std::lock_guard<std::mutex> lock(mu_);
    closed_ = true;
}

void CompletionGate::close_and_drain() {
    std::unique_lock<std::mutex> lock(mu_);
    closed_ = true;
    cv_.wait(lock, [&] { return inside_ == 0; });
}

CompletionGate& interpreter_gate() {
    // Never destroyed: driver threads may still ask after static destructors ran.
    static auto* gate = new CompletionGate();
    return *gate;
}

void arm_interpreter_gate() {
    static bool armed = false;  // guarded by the GIL
    if (armed) return;
    armed = true;
    try {
        py::module_::import("atexit").attr("register")(py::cpp_function([] {
            py::gil_scoped_release release;
            interpreter_gate().close_and_drain();
        }));
    } catch (py::error_already_set&) {
        interpreter_gate().close();
    }
}

kiv_job_callback_t make_completion(const py::object& py_cb, std::shared_ptr<CompletionGate> owner) {
    if (py_cb.is_none()) return {};
    if (!PyCallable_Check(py_cb.ptr())) throw py::type_error("py_cb must be callable or None");
    py::detail::make_caster<std::function<int32_t(uint64_t, job_status_t)>> native;
    if (native.load(py_cb, false)) {
        auto& loaded = static_cast<std::function<int32_t(uint64_t, job_status_t)>&>(native);
        if (auto* fn = loaded.target<NativeCompletion>()) return *fn;
    }
    return PythonCompletion(py_cb, std::move(owner));
}

}  // namespace aipudrv
