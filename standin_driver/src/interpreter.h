// Runs a parsed program over one set of input and output buffers.
#ifndef STANDIN_INTERPRETER_H
#define STANDIN_INTERPRETER_H

#include <cstdint>
#include <functional>
#include <vector>

#include "profile.h"
#include "program.h"

namespace standin {

// Sleeps for the given milliseconds; returns false when the wait was cut
// short because the context is shutting down.
using SleepFn = std::function<bool(uint32_t ms)>;

// `inputs[i]` holds input i (descriptor size bytes); `outputs[i]` receives
// output i. Returns the driver job status: AIPU_JOB_STATUS_DONE, the value of
// a RAISE operation, or AIPU_JOB_STATUS_EXCEPTION when a wait was cut short.
// With `timings`, the time of every operation that ran is appended to it.
uint32_t run_program(const Program& program, const std::vector<std::vector<uint8_t>>& inputs,
                     std::vector<std::vector<uint8_t>>& outputs, const SleepFn& sleep,
                     std::vector<OpTiming>* timings = nullptr);

}  // namespace standin

#endif  // STANDIN_INTERPRETER_H
