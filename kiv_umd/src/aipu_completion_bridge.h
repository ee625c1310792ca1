// Sits between the runtime's completion callable (job id, job_status_t) and
// the driver's (job id, aipu_job_status_t). The driver may call it on a thread
// of its own, so nothing it does may throw back into the driver.
#ifndef KIV_AIPU_COMPLETION_BRIDGE_H
#define KIV_AIPU_COMPLETION_BRIDGE_H

#include "kiv_api.h"

// Maps a driver job status onto the runtime's: 0..3 are kept, every larger
// outcome becomes the unnamed value 3.
job_status_t translate_job_status(aipu_job_status_t status);

// Invokes `cb` with the translated status and returns its result. An empty
// callable is not invoked (0 is returned); an exception thrown by the callable
// is logged and turned into -1.
int bridge_job_completion(const kiv_job_callback_t& cb, uint64_t job_id, aipu_job_status_t status);

// Wraps a runtime callable into the driver's callable; every copy of the
// result holds its own copy of `cb`.
aipu_job_callback_func_t make_driver_callback(kiv_job_callback_t cb);

#endif  // KIV_AIPU_COMPLETION_BRIDGE_H
