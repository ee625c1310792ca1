// Completion of asynchronous jobs in Python. Completion calls, and the release
// of their callables, happen on driver threads.
#include "py_completion.h"

#include <pybind11/functional.h>

#include <exception>
#include <utility>

namespace aipudrv {

namespace {

// The interpreter's gate. Once the interpreter finalizes, a thread that
// takes the GIL back is ended with pthread_exit, whose unwinding cannot pass
// the driver's and the standard library's noexcept frames: the process
// aborts. An exit hook closes this gate before finalization starts: threads
// already inside finish (the hook waits for them without the GIL), later
// ones stay out of Python.
UseGate& interpreter_gate() {
    // Never destroyed: driver threads may still ask after static destructors ran.
    static auto* gate = new UseGate();
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
            interpreter_gate().close_and_wait();
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

// A Python completion callable as the runtime's function object. Copies of
// it travel through driver threads, so the callable sits behind a shared
// pointer whose deleter takes the GIL: copying and destroying the function
// object never touches a Python reference count without the GIL.
class PythonCompletion {
public:
    PythonCompletion(py::object callable, std::shared_ptr<UseGate> owner)
        : callable_(new py::object(std::move(callable)),
                    [](py::object* p) {
                        UsePass pass(interpreter_gate());
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
        UsePass interpreter(interpreter_gate());
        if (!interpreter.open()) return -1;
        UsePass owner(*owner_);
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
    std::shared_ptr<UseGate> owner_;
};

}  // namespace

void without_gil_in_destructor(const std::function<void()>& work) {
    arm_interpreter_gate();
    UsePass pass(interpreter_gate());
    if (!pass.open()) {
        work();
        return;
    }
    PyThreadState* state = PyEval_SaveThread();
    work();
    PyEval_RestoreThread(state);
}

kiv_job_callback_t make_completion(const py::object& py_cb, std::shared_ptr<UseGate> owner) {
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
