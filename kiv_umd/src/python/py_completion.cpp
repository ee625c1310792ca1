// Completion of asynchronous jobs in Python. Completion calls, and the release
// of their callables, happen on driver threads.
#include "py_completion.h"

#include <pybind11/functional.h>

#include <algorithm>
#include <exception>
#include <iterator>
#include <utility>
#include <vector>

namespace aipudrv {

namespace {

// The gates the calling thread is inside, one entry per pass.
thread_local std::vector<const CompletionGate*> t_passes;

// The interpreter's gate. Once the interpreter finalizes, a thread that
// takes the GIL back is ended with pthread_exit, whose unwinding cannot pass
// the driver's and the standard library's noexcept frames: the process
// aborts. An exit hook closes this gate before finalization starts: threads
// already inside finish (the hook waits for them without the GIL), later
// ones stay out of Python.
CompletionGate& interpreter_gate() {
    // Never destroyed: driver threads may still ask after static destructors ran.
    static auto* gate = new CompletionGate();
    return *gate;
}

// Registers that exit hook once; called with the GIL held. When that is no
// longer possible the interpreter is already going away, and the gate closes
// at once.
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
    t_passes.push_back(this);
    return true;
}

void CompletionGate::leave() {
    const auto latest = std::find(t_passes.rbegin(), t_passes.rend(), this);
    t_passes.erase(std::next(latest).base());
    std::lock_guard<std::mutex> lock(mu_);
    --inside_;
    cv_.notify_all();
}

void CompletionGate::close() {
    std::lock_guard<std::mutex> lock(mu_);
    closed_ = true;
}

void CompletionGate::close_and_drain() {
    const auto own = std::count(t_passes.begin(), t_passes.end(), this);
    std::unique_lock<std::mutex> lock(mu_);
    closed_ = true;
    cv_.wait(lock, [&] { return inside_ == own; });
}

void without_gil_in_destructor(const std::function<void()>& work) {
    arm_interpreter_gate();
    GatePass pass(interpreter_gate());
    if (!pass.open()) {
        work();
        return;
    }
    PyThreadState* state = PyEval_SaveThread();
    work();
    PyEval_RestoreThread(state);
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
