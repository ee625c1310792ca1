// Python completion callables as the runtime's completion function objects,
// and the gates that keep completions out of Python once their NPU object or
// the interpreter is gone.
#ifndef KIV_PY_COMPLETION_H
#define KIV_PY_COMPLETION_H

#include <pybind11/pybind11.h>

#include <condition_variable>
#include <memory>
#include <mutex>

#include "kiv_api.h"

namespace py = pybind11;

namespace aipudrv {

// Counts the completion calls inside Python and, once closed, lets no new
// one in. Closing waits for the calls already inside to finish.
class CompletionGate {
public:
    bool enter();
    void leave();
    // Lets no new call in.
    void close();
    // Closes the gate and waits for the calls inside; must be called
    // without the GIL, which those calls hold.
    void close_and_drain();

private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool closed_ = false;
    int inside_ = 0;
};

// The interpreter's gate. Once the interpreter finalizes, a thread that
// takes the GIL back is ended with pthread_exit, whose unwinding cannot pass
// the driver's and the standard library's noexcept frames: the process
// aborts. An exit hook closes this gate before finalization starts: threads
// already inside finish (the hook waits for them without the GIL), later
// ones must stay out of Python.
CompletionGate& interpreter_gate();

// Registers that exit hook once; called with the GIL held. When that is no
// longer possible the interpreter is already going away, and the gate closes
// at once.
void arm_interpreter_gate();

// The completion function object for `py_cb`: empty for None; a function
// exported by a binding with exactly the native signature is called
// directly; any other callable is called with the GIL, while both `owner`
// (the gate of the NPU object that started the job) and the interpreter's
// gate are open. Raises TypeError for an object that is not callable.
kiv_job_callback_t make_completion(const py::object& py_cb, std::shared_ptr<CompletionGate> owner);

}  // namespace aipudrv

#endif  // KIV_PY_COMPLETION_H
