// Failure injection for tests: context open/close statuses (also from
// environment variables read at each call), any entry point's status, a
// short-writing get_tensor, misdelivered completions and a close that waits
// for the completion thread.
#ifndef STANDIN_CONTROLS_H
#define STANDIN_CONTROLS_H

#include <cstdint>

namespace standin {

void set_forced_init_status(uint32_t status);
void set_forced_deinit_status(uint32_t status);

// The status to fail with instead of doing the work, 0 for none.
uint32_t forced_init_status();
uint32_t forced_deinit_status();

// At most this many bytes of a tensor are written by aipu_get_tensor and
// into the output buffers of a batch.
void set_tensor_write_limit(uint32_t bytes);
uint32_t tensor_write_limit();

// The status `entry_point` fails with instead of doing its work, 0 for none.
void set_forced_call_status(const char* entry_point, uint32_t status);
uint32_t forced_call_status(const char* entry_point);

// How completion callables are delivered (the AIPU_STANDIN_COMPLETION_* values).
void set_completion_fault(uint32_t fault);
uint32_t completion_fault();

// Whether closing a context waits until its completions are delivered.
void set_close_waits_for_completions(bool on);
bool close_waits_for_completions();

// Whether a status query waits for the job up to its time-out (else it
// answers at once, as a driver that takes no time-out would).
void set_status_queries_wait(bool on);
bool status_queries_wait();

// Status queries answered since the library was loaded.
void count_status_query();
uint64_t status_queries();

// Keeps the controls' lock through a fork, so that the child finds it free.
void controls_before_fork();
void controls_after_fork();

}  // namespace standin

#endif  // STANDIN_CONTROLS_H
