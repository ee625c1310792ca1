// The driver side of the kiv package's native module (kiv._native): opening
// a context and saying which driver library serves it, or why none could;
// the runtime's own statuses and the element types, from their lists.
#ifndef KIV_PY_KIV_DRIVER_H
#define KIV_PY_KIV_DRIVER_H

#include <pybind11/pybind11.h>

namespace aipudrv {

// Adds init_context, driver_library, runtime_statuses and data_types to `m`.
void register_kiv_driver(pybind11::module_& m);

}  // namespace aipudrv

#endif  // KIV_PY_KIV_DRIVER_H
