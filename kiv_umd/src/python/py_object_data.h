// Python data objects (bytes, bytearray, numpy arrays) as plain memory for the
// runtime: how an object is classified, and how a numpy array is brought into
// one C-ordered block.
#ifndef KIV_PY_OBJECT_DATA_H
#define KIV_PY_OBJECT_DATA_H

#include <pybind11/pybind11.h>

#include <cstddef>
#include <utility>

namespace py = pybind11;

namespace aipudrv {

// The data classes in the order they are tested; Other is everything else.
enum class DataClass { Bytes, ByteArray, NumpyArray, Other };

DataClass classify_data_object(py::handle obj);

// numpy's conversion from any object with only the ensure-array requirement:
// a base-class ndarray sharing the object's data. Returns a null object, with
// the Python error indicator cleared, when numpy yields no array.
py::object ensure_array(py::handle obj);

// Turns a numpy array (or subclass) into a base-class array whose elements are
// C-contiguous, copying only when the layout requires it. Returns a null object,
// with the Python error indicator cleared, when numpy yields no array. Errors of
// importing numpy or of ascontiguousarray propagate as exceptions.
py::object contiguous_array(py::handle obj);

// Whether a (base-class) numpy array's C-contiguous / writeable flags are set.
bool array_is_c_contiguous(py::handle array);
bool array_is_writeable(py::handle array);

// Address and length in bytes of a (base-class) numpy array's data.
std::pair<const void*, size_t> array_bytes(py::handle array);

// The memory of an object for the runtime: where it is, how many bytes are
// there, and the object that keeps that memory in place while the runtime
// uses it (the object itself, a buffer export, or numpy's contiguous copy).
struct ObjectBytes {
    char* address = nullptr;
    size_t size = 0;
    py::object keeper;
};

// The memory of an object that exports a buffer. The keeper is a memoryview,
// whose export stops a bytearray from being resized and an array's memory
// from moving while it lives.
ObjectBytes exported_bytes(py::handle obj);

}  // namespace aipudrv

#endif  // KIV_PY_OBJECT_DATA_H
