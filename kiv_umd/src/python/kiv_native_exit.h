// The close of the contexts still open when the interpreter exits, bounded
// in time: a driver that hangs in its close must not hold up the exit.
#ifndef KIV_PY_KIV_EXIT_H
#define KIV_PY_KIV_EXIT_H

#include <pybind11/pybind11.h>

namespace aipudrv {

// Adds close_contexts to `m`.
void register_kiv_exit(pybind11::module_& m);

}  // namespace aipudrv

#endif  // KIV_PY_KIV_EXIT_H
