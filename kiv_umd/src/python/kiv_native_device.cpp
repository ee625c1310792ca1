// Each query returns (status, value), the value 0 or "" when the status is
// not success; none prints an error line. They are quick driver calls, made
// holding the interpreter lock like the other methods of an NPU object.
#include "kiv_native_device.h"

#include <string>
#include <vector>

#include "kiv_api.h"
#include "py_npu.h"

namespace py = pybind11;

namespace aipudrv {
namespace {

// The runtime hands the driver a buffer for the target name without its
// size; this is far more than any target name needs.
constexpr size_t kTargetRoom = 4096;

py::tuple target(NPU& npu) {
    std::vector<char> name(kTargetRoom, '\0');
    const kiv_status_t status = ::kiv_get_target(npu.ctx, name.data());
    name.back() = '\0';
    const std::string text = status == KIV_STATUS_SUCCESS ? std::string(name.data()) : std::string();
    // Decoded with any byte that is not UTF-8 replaced: a name is shown, never refused.
    PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (decoded == nullptr) throw py::error_already_set();
    return py::make_tuple(status, py::reinterpret_steal<py::str>(decoded));
}

py::tuple counted(kiv_status_t status, uint32_t count) {
    return py::make_tuple(status, status == KIV_STATUS_SUCCESS ? count : 0u);
}

py::tuple device_status(NPU& npu) {
    kiv_device_status_t value = KIV_DEV_IDLE;
    const kiv_status_t status = ::kiv_get_device_status(npu.ctx, &value);
    return counted(status, static_cast<uint32_t>(value));
}

py::tuple partition_count(NPU& npu) {
    uint32_t count = 0;
    const kiv_status_t status = ::kiv_get_partition_count(npu.ctx, &count);
    return counted(status, count);
}

py::tuple cluster_count(NPU& npu, uint32_t partition) {
    uint32_t count = 0;
    const kiv_status_t status = ::kiv_get_cluster_count(npu.ctx, partition, &count);
    return counted(status, count);
}

py::tuple core_count(NPU& npu, uint32_t partition, uint32_t cluster) {
    uint32_t count = 0;
    const kiv_status_t status = ::kiv_get_core_count(npu.ctx, partition, cluster, &count);
    return counted(status, count);
}

}  // namespace

void register_kiv_device(py::module_& m) {
    m.def("target", &target, py::arg("npu"), "(status, the NPU's target name).");
    m.def("device_status", &device_status, py::arg("npu"),
          "(status, the device's status: 0 idle, 1 busy, 2 exception).");
    m.def("partition_count", &partition_count, py::arg("npu"), "(status, the number of partitions).");
    m.def("cluster_count", &cluster_count, py::arg("npu"), py::arg("partition"),
          "(status, the number of clusters of a partition).");
    m.def("core_count", &core_count, py::arg("npu"), py::arg("partition"), py::arg("cluster"),
          "(status, the number of cores of a cluster).");
}

}  // namespace aipudrv
