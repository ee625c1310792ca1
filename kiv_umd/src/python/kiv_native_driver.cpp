#include "kiv_native_driver.h"

#include <pybind11/stl.h>

#include <optional>
#include <string>

#include "aipu_adapter.h"
#include "data_type_names.h"
#include "kiv_context.h"
#include "py_npu.h"

namespace py = pybind11;

namespace aipudrv {
namespace {

// (status, None) once the context is open or the driver refused it; (status,
// (library tried, the loader's text, entry points it lacks)) when the library
// itself could not serve, as the runtime found when it tried.
py::tuple init_context(NPU& npu, const std::optional<std::string>& driver) {
    DriverLoadFailure failure;
    const kiv_status_t status = npu.open_context(driver ? driver->c_str() : nullptr, &failure);
    // A failed load always has the loader's text; the library's name may be
    // empty (an empty AIPU_LIB_PATH).
    if (failure.loader_error.empty()) return py::make_tuple(status, py::none());
    return py::make_tuple(status,
                          py::make_tuple(py::bytes(failure.library), py::str(failure.loader_error), failure.missing));
}

// The file of the driver library that serves the open context, and whether it
// exports `symbol`; None without an open context.
py::object driver_library(NPU& npu, const std::string& symbol) {
    HandleUse use(npu);
    kiv_context* ctx = use.ctx();
    if (ctx == nullptr || !ctx->impl) return py::none();
    const auto* adapter = dynamic_cast<const AipuAdapter*>(ctx->impl->backend.get());
    if (adapter == nullptr) return py::none();
    return py::make_tuple(py::bytes(adapter->library_file()), adapter->exports(symbol.c_str()));
}

// The runtime's names and texts for its own codes, which no driver describes
// and libkiv's kiv_status_t has no member for.
py::dict runtime_statuses() {
    py::dict statuses;
#define KIV_RUNTIME_STATUS(name, code, text) statuses[py::int_(code)] = py::make_tuple("KIV_STATUS_" #name, text);
    AIPU_RUNTIME_STATUS_LIST(KIV_RUNTIME_STATUS)
#undef KIV_RUNTIME_STATUS
    return statuses;
}

// The element types of the driver's list, as kiv names and sizes them.
py::dict data_types() {
    py::dict types;
    for (const kiv::DataTypeName& type : kiv::data_type_names()) {
        types[py::int_(type.code)] = py::make_tuple(type.label, type.bytes, type.numpy_name);
    }
    return types;
}

}  // namespace

void register_kiv_driver(py::module_& m) {
    m.def("init_context", &init_context, py::arg("npu"), py::arg("driver"),
          "Opens the NPU object's context on the driver library `driver` (a path or library name as bytes; None: "
          "AIPU_LIB_PATH, else libaipudrv.so), closing one that is open: (status, None), or (status, (library "
          "tried as bytes, the loader's text, the entry points it lacks)) when the library could not serve.");
    m.def("driver_library", &driver_library, py::arg("npu"), py::arg("symbol"),
          "(file as bytes, whether it exports `symbol`) of the driver library that serves the NPU object's open "
          "context, as the loader found it; None without an open context.");
    m.def("runtime_statuses", &runtime_statuses,
          "{code: (name, text)} for the runtime's own status codes, which no driver describes and libkiv's "
          "kiv_status_t names no member for.");
    m.def("data_types", &data_types,
          "{code: (name, bytes per element, numpy's name)} for every element type the runtime knows: the name kiv "
          "and zor print (numpy's where numpy has the type, else the runtime's in lower case), 0 bytes where the "
          "layout is the device's own, numpy's name empty where numpy has no such type.");
}

}  // namespace aipudrv
