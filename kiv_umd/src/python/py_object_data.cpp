#include "py_object_data.h"

#include <pybind11/numpy.h>

namespace aipudrv {

namespace {

using npy = py::detail::npy_api;

int array_flags(py::handle array) {
    return py::detail::array_proxy(array.ptr())->flags;
}

}  // namespace

py::object ensure_array(py::handle obj) {
    PyObject* result = npy::get().PyArray_FromAny_(obj.ptr(), nullptr, 0, 0, npy::NPY_ARRAY_ENSUREARRAY_, nullptr);
    if (result == nullptr) {
        PyErr_Clear();
        return py::object();
    }
    return py::reinterpret_steal<py::object>(result);
}

DataClass classify_data_object(py::handle obj) {
    if (PyBytes_Check(obj.ptr())) return DataClass::Bytes;
    if (PyByteArray_Check(obj.ptr())) return DataClass::ByteArray;
    if (npy::get().PyArray_Check_(obj.ptr())) return DataClass::NumpyArray;
    return DataClass::Other;
}

bool array_is_c_contiguous(py::handle array) {
    return (array_flags(array) & npy::NPY_ARRAY_C_CONTIGUOUS_) != 0;
}

bool array_is_writeable(py::handle array) {
    return (array_flags(array) & npy::NPY_ARRAY_WRITEABLE_) != 0;
}

std::pair<const void*, size_t> array_bytes(py::handle array) {
    auto view = py::reinterpret_borrow<py::array>(array);
    return {view.data(), static_cast<size_t>(view.nbytes())};
}

ObjectBytes exported_bytes(py::handle obj) {
    py::memoryview view(py::reinterpret_borrow<py::object>(obj));
    const Py_buffer* buffer = PyMemoryView_GET_BUFFER(view.ptr());
    return ObjectBytes{static_cast<char*>(buffer->buf), static_cast<size_t>(buffer->len), std::move(view)};
}

py::object contiguous_array(py::handle obj) {
    py::object array = ensure_array(obj);
    if (!array || array_is_c_contiguous(array)) return array;
    py::object copy = py::module_::import("numpy").attr("ascontiguousarray")(array);
    return ensure_array(copy);
}

}  // namespace aipudrv
