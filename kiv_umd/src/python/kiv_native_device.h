// The device queries of kiv's native module (kiv._native): the NPU's target,
// status and topology, as the driver reports them.
#ifndef KIV_PY_KIV_DEVICE_H
#define KIV_PY_KIV_DEVICE_H

#include <pybind11/pybind11.h>

namespace aipudrv {

// Adds target, device_status, partition_count, cluster_count and core_count to `m`.
void register_kiv_device(pybind11::module_& m);

}  // namespace aipudrv

#endif  // KIV_PY_KIV_DEVICE_H
