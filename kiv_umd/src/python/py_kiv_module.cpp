// kiv._native: the kiv package's own native module, carried by libkiv.so
// beside the libkiv module (kiv loads it from this file by name; libkiv's
// attributes are untouched; python/kiv/_native.pyi describes it). It runs
// and completes jobs without the interpreter lock (py_kiv_jobs.cpp) and
// gives kiv what the container code knows about a file: what is wrong with
// it, and the container's name, version and first subgraph's tensor names.
// Paths come as bytes, as the file system has them.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <utility>
#include <vector>

#include "container_diagnosis.h"
#include "container_result.h"
#include "py_kiv_driver.h"
#include "py_kiv_jobs.h"
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

py::list texts_of(const std::vector<std::string>& values) {
    py::list texts;
    for (const std::string& value : values) texts.append(text_of(value));
    return texts;
}

py::object diagnose(const std::string& path) {
    const std::string problem = kiv::container_file_problem(path, true);
    if (problem.empty()) return py::none();
    return py::str(problem);
}

// The container read whole, or a ValueError saying why it cannot be.
void read_whole(kiv::SerializationHandler& handler, const std::string& path) {
    const kiv::ContainerResult result = kiv::read_container(handler, path.c_str());
    if (!result.ok()) throw py::value_error(result.problem);
}

py::tuple identity(const std::string& path) {
    kiv::SerializationHandler handler;
    read_whole(handler, path);
    return py::make_tuple(text_of(handler.GetName()), handler.GetVersion());
}

py::tuple first_subgraph_names(const std::string& path) {
    kiv::SerializationHandler handler;
    try {
        read_whole(handler, path);
    } catch (const py::value_error&) {
        return py::make_tuple(py::list(), py::list());
    }
    const std::vector<kiv::Subgraph*>& subgraphs = handler.GetSubgraphs();
    if (subgraphs.empty()) return py::make_tuple(py::list(), py::list());
    return py::make_tuple(texts_of(subgraphs.front()->GetInputs()), texts_of(subgraphs.front()->GetOutputs()));
}

}  // namespace
}  // namespace aipudrv

PYBIND11_MODULE(_native, m) {
    using namespace aipudrv;
    m.doc() = "The kiv package's native parts (carried by libkiv.so)";
    register_kiv_driver(m);
    register_kiv_jobs(m);
    m.def("diagnose", &diagnose, py::arg("path"),
          "Why the file cannot be loaded as a model container (missing, a directory, empty, not a container, "
          "truncated, no subgraph), or None when nothing is visibly wrong with it.");
    m.def("identity", &identity, py::arg("path"),
          "(name, version text) of a container, the version as \"1.2.3\" with \"d\" for a draft; ValueError "
          "saying why when the file cannot be read as one.");
    m.def("first_subgraph_names", &first_subgraph_names, py::arg("path"),
          "(input names, output names) that the container's first subgraph lists; both empty when the file "
          "cannot be read as a container or has no subgraph.");
}
