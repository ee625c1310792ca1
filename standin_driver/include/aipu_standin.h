// Test controls of the stand-in driver, exported beside the 28 aipu_* entry
// points. Nothing in the runtime calls them; tests reach them by dlopen/dlsym
// (or ctypes) on the same libaipudrv.so that the runtime loaded.
#ifndef AIPU_STANDIN_H
#define AIPU_STANDIN_H

#include <cstddef>
#include <cstdint>

extern "C" {
// Makes every later aipu_init_context / aipu_deinit_context return `status`
// without doing anything; 0 restores normal behaviour. The environment
// variables AIPU_STANDIN_INIT_STATUS and AIPU_STANDIN_DEINIT_STATUS, read at
// each call, do the same when set.
void aipu_standin_set_init_status(uint32_t status);
void aipu_standin_set_deinit_status(uint32_t status);

// Makes aipu_get_tensor write at most `bytes` bytes of a tensor (and still
// succeed), as a driver that fills less than the descriptor's size would;
// UINT32_MAX restores normal behaviour.
void aipu_standin_set_tensor_write_limit(uint32_t bytes);

// Makes every later call of the named entry point (for example
// "aipu_flush_job") return `status` without doing anything; 0 restores the
// entry point, a null name restores every entry point.
void aipu_standin_set_call_status(const char* entry_point, uint32_t status);

// Completion faults of a misbehaving driver, for aipu_standin_set_completion_fault:
// completions held back until the fault is changed, then delivered; each
// completion delivered twice; no completion delivered at all (the jobs still
// end, as status queries and blocking waits see).
#define AIPU_STANDIN_COMPLETION_NORMAL 0u
#define AIPU_STANDIN_COMPLETION_LATE 1u
#define AIPU_STANDIN_COMPLETION_TWICE 2u
#define AIPU_STANDIN_COMPLETION_NEVER 3u
void aipu_standin_set_completion_fault(uint32_t fault);

// With `on` not 0, aipu_deinit_context waits until every completion of the
// context has been delivered, as a driver that joins its completion thread
// on close (unless it is called from that thread).
void aipu_standin_set_close_waits_for_completions(uint32_t on);

// With `on` 0, aipu_get_job_status answers at once whatever its time-out, as
// a driver that takes none; 1 (the default) restores the wait.
void aipu_standin_set_status_queries_wait(uint32_t on);

// Number of job status queries answered in this process.
uint64_t aipu_standin_status_query_count(void);

// Number of driver contexts currently open in this process (a forked child
// starts with none: the parent's are not the child's).
uint32_t aipu_standin_open_context_count(void);

// With `on` not 0, every later call of an entry point (and every completion
// delivered) is recorded for aipu_standin_describe_last_call; 0, the
// default, stops recording, so that the entry points cost what a driver's do.
void aipu_standin_set_call_recording(uint32_t on);

// Describes, as one JSON object, the arguments of the last call of the named
// entry point in this process (for example "aipu_create_job") made while
// recording was on: scalars, and option records decoded field by field
// together with their raw bytes in hex.
// Writes at most `capacity` bytes including the terminating zero and returns
// the length of the whole text (without terminator); 0 when the entry point
// was never called.
size_t aipu_standin_describe_last_call(const char* entry_point, char* buffer, size_t capacity);

// Forgets everything recorded by aipu_standin_describe_last_call.
void aipu_standin_reset_calls(void);
}

#endif  // AIPU_STANDIN_H
