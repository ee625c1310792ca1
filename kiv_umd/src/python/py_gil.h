// Native work done without the GIL, so that other Python threads run and the
// driver's threads can deliver Python completions meanwhile.
#ifndef KIV_PY_GIL_H
#define KIV_PY_GIL_H

#include <pybind11/pybind11.h>

#include <exception>
#include <optional>
#include <utility>

namespace aipudrv {

// Runs `work()` without the GIL and returns its result; what it throws is
// thrown again once the GIL is back. The GIL is taken back in a plain call,
// never in a destructor: a thread that takes it back while the interpreter
// finalizes is ended by an unwinding, which aborts the process if it starts
// in a noexcept frame (as every destructor is).
template <typename Work>
auto without_gil(Work&& work) -> decltype(work()) {
    std::optional<decltype(work())> result;
    std::exception_ptr failure;
    PyThreadState* state = PyEval_SaveThread();
    try {
        result.emplace(work());
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
}

}  // namespace aipudrv

#endif  // KIV_PY_GIL_H
