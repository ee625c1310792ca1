// Jobs of the kiv package's own native module (kiv._native): run, waited for
// and completed without the interpreter lock.
#ifndef KIV_PY_KIV_JOBS_H
#define KIV_PY_KIV_JOBS_H

#include <pybind11/pybind11.h>

namespace aipudrv {

// Adds run, wait and the Completions class to `m`.
void register_kiv_jobs(pybind11::module_& m);

}  // namespace aipudrv

#endif  // KIV_PY_KIV_JOBS_H
