// kiv._native: the kiv package's own native module, carried by libkiv.so
// beside the libkiv module (kiv loads it from this file by name; libkiv's
// attributes are untouched; python/kiv/_native.pyi describes it). It opens
// contexts and says which driver serves them or why none could (its driver
// source), runs jobs, moves their tensors and completes them without the
// interpreter lock (its run, tensors and completions sources), closes the
// contexts left open at exit in bounded time (its exit source), counts the
// users of kiv's objects (its lifetime source), queries the device (its
// device source), switches an NPU object's error lines for
// kiv.Runtime(error_lines=...), and gives kiv what the container code knows
// about a file: what is wrong with it, and the container's name, version and
// tensors.
// Paths come as bytes, as the file system has them.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <utility>
#include <vector>

#include "container_diagnosis.h"
#include "container_file.h"
#include "container_result.h"
#include "kiv_native_completions.h"
#include "kiv_native_device.h"
#include "kiv_native_driver.h"
#include "kiv_native_exit.h"
#include "kiv_native_lifetime.h"
#include "kiv_native_run.h"
#include "kiv_native_tensors.h"
#include "model_tensors.h"
#include "py_npu.h"
#include "serialization_handler.h"

namespace py = pybind11;

namespace aipudrv {
namespace {

// A container's texts, decoded as UTF-8 with any other bytes replaced: a
// stored name is shown, never refused.
py::str text_of(const std::string& bytes) {
    PyObject* text = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace");
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

// What the runtime's own reading of a container (the whole file, checked as
// the runtime loads it) finds wrong where a look at its layout found
// nothing: bytes that only a full check rejects, or a first subgraph
// without an executable.
std::string reading_problem(const std::string& path) {
    kiv::ContainerFile reader;
    const kiv::ContainerResult result = reader.Read(path.c_str());
    if (!result.ok()) return result.problem.empty() ? "is not a well-formed zor model container" : result.problem;
    if (reader.HasSubgraph() && reader.ExecutableSize() == 0) {
        return "has no NPU executable: its first subgraph holds none";
    }
    return "";
}

py::object diagnose(const std::string& path) {
    std::string problem = kiv::container_file_problem(path, true);
    if (problem.empty()) problem = reading_problem(path);
    if (problem.empty()) return py::none();
    return py::str(problem);
}

// The container's description without its executables, or a ValueError
// saying why it cannot be read.
void read_description(kiv::SerializationHandler& model, const std::string& path) {
    const kiv::ContainerResult result = kiv::read_description(model, path.c_str());
    if (!result.ok()) throw py::value_error(result.problem);
}

py::tuple identity(const std::string& path) {
    kiv::SerializationHandler model;
    read_description(model, path);
    return py::make_tuple(text_of(model.GetName()), model.GetVersion());
}

// ([(name, shape, dtype, scale, zero point)...], named by the subgraph) for
// one list of tensors; a tensor the container does not describe has no
// shape, dtype 0 and no quantisation.
py::tuple tensors_of(const kiv::TensorList& list) {
    py::list tensors;
    for (const kiv::NamedTensor& tensor : list.tensors) {
        const kiv::Tensor* described = tensor.described;
        if (described == nullptr) {
            tensors.append(py::make_tuple(text_of(tensor.name), py::list(), 0, py::list(), py::list()));
            continue;
        }
        tensors.append(py::make_tuple(text_of(tensor.name), described->GetShape(),
                                      static_cast<uint32_t>(described->GetDtype()), described->GetScale(),
                                      described->GetZeroPoint()));
    }
    return py::make_tuple(tensors, list.named_by_subgraph != nullptr);
}

py::tuple describe(const std::string& path) {
    kiv::SerializationHandler model;
    read_description(model, path);
    return py::make_tuple(text_of(model.GetName()), model.GetVersion(), tensors_of(kiv::model_inputs(model)),
                          tensors_of(kiv::model_outputs(model)));
}

}  // namespace
}  // namespace aipudrv

PYBIND11_MODULE(_native, m) {
    using namespace aipudrv;
    m.doc() = "The kiv package's native parts (carried by libkiv.so)";
    register_kiv_driver(m);
    register_kiv_run(m);
    register_kiv_tensors(m);
    register_kiv_completions(m);
    register_kiv_exit(m);
    register_kiv_lifetime(m);
    register_kiv_device(m);
    m.def(
        "set_error_lines", [](NPU& npu, bool on) { npu.error_lines = on; }, py::arg("npu"), py::arg("on"),
        "Whether the NPU object's failing calls print their \"[PY UMD ERROR]\" line, and opening a context or "
        "reading a model file what the runtime prints about them (on by default).");
    m.def("diagnose", &diagnose, py::arg("path"),
          "Why the file cannot be loaded as a model container (missing, a directory, empty, not a container, "
          "truncated, not well-formed, no subgraph, no executable), or None when nothing is wrong with it.");
    m.def("identity", &identity, py::arg("path"),
          "(name, version text) of a container, the version as \"1.2.3\" with \"d\" for a draft; ValueError "
          "saying why when the file cannot be read as one.");
    m.def("describe", &describe, py::arg("path"),
          "(name, version text, inputs, outputs) of a container, read in one pass without its executables; inputs "
          "and outputs are each ([(name, shape, dtype code, scale, zero point)...], named by the first subgraph), "
          "named by the rule the zor tool follows. ValueError saying why when the file cannot be read as one.");
}
