// Python completion callables as the runtime's completion function objects,
// and the gates that keep completions out of Python once their NPU object or
// the interpreter is gone.
#ifndef KIV_PY_COMPLETION_H
#define KIV_PY_COMPLETION_H

#include <pybind11/pybind11.h>

#include <functional>
#include <memory>

#include "kiv_api.h"
#include "use_gate.h"

namespace py = pybind11;

namespace aipudrv {

// Runs `work` for a destructor that holds the GIL: without the GIL while a
// pass on the interpreter's gate keeps the interpreter from finalizing before
// the GIL is back (a destructor cannot be unwound out of); with the GIL once
// the interpreter is exiting, when no completion can enter Python any more
// and so none can be waiting for the GIL.
void without_gil_in_destructor(const std::function<void()>& work);

// The completion function object for `py_cb`: empty for None; a function
// exported by a binding with exactly the native signature is called
// directly; any other callable is called with the GIL, while both `owner`
// (the gate of the NPU object that started the job) and the interpreter's
// gate are open. Raises TypeError for an object that is not callable.
kiv_job_callback_t make_completion(const py::object& py_cb, std::shared_ptr<UseGate> owner);

}  // namespace aipudrv

#endif  // KIV_PY_COMPLETION_H
