// A job's tensors moved between the job and the buffers of Python objects,
// without the interpreter lock.
#ifndef KIV_PY_KIV_TENSORS_H
#define KIV_PY_KIV_TENSORS_H

#include <pybind11/pybind11.h>

namespace aipudrv {

// Adds load_inputs and read_outputs to `m`.
void register_kiv_tensors(pybind11::module_& m);

}  // namespace aipudrv

#endif  // KIV_PY_KIV_TENSORS_H
