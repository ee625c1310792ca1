// Model.run's job, run the way the runtime's blocking call runs it but
// waited for in slices, looking at signals between them, so that Ctrl-C is
// answered; and the cleaning of jobs, which a driver may make wait.
#ifndef KIV_PY_KIV_RUN_H
#define KIV_PY_KIV_RUN_H

#include <pybind11/pybind11.h>

namespace aipudrv {

// Adds run and clean_job to `m`.
void register_kiv_run(pybind11::module_& m);

}  // namespace aipudrv

#endif  // KIV_PY_KIV_RUN_H
