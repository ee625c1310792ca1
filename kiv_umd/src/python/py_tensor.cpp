// Tensor data between Python objects and the runtime: loading inputs from
// bytes, bytearray, numpy arrays or files, reading tensors back, and tensor
// shapes straight from a model container.
#include <fcntl.h>
#include <pybind11/numpy.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "page_advice.h"
#include "py_error_line.h"
#include "py_npu.h"
#include "py_object_data.h"
#include "quiet_failures.h"
#include "unique_fd.h"

namespace aipudrv {

namespace {

const char kUnsupportedInput[] = "input tensor only supports bytes,bytearray or numpy array\n";

// A private read-only mapping of the start of a file, unmapped when the owner goes.
class FileMapping {
public:
    FileMapping(int fd, size_t length)
        : length_(length), address_(::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0)) {}
    ~FileMapping() {
        if (mapped()) ::munmap(address_, length_);
    }
    FileMapping(const FileMapping&) = delete;
    FileMapping& operator=(const FileMapping&) = delete;
    bool mapped() const { return address_ != MAP_FAILED; }
    const void* get() const { return address_; }

private:
    size_t length_;
    void* address_;
};

// A new, zero-filled Python object of the kind chosen by `input_kind`,
// `size` bytes long, plus the address to fill it through. Zero-filled,
// because a driver may write fewer bytes than the descriptor's size: nothing
// of the heap's earlier contents may reach the caller.
// Large results get the huge-page advice that numpy gives its own large
// arrays, before the runtime fills them.
std::pair<py::object, void*> new_tensor_object(uint32_t input_kind, uint32_t size) {
    py::object object;
    void* data = nullptr;
    if (input_kind == INPUT_KIND_BYTEARRAY) {
        object = py::reinterpret_steal<py::object>(PyByteArray_FromStringAndSize(nullptr, size));
        if (!object) throw py::error_already_set();
        data = PyByteArray_AS_STRING(object.ptr());
    } else if (input_kind == INPUT_KIND_NUMPY) {
        py::array_t<uint8_t> array(static_cast<py::ssize_t>(size));
        data = array.mutable_data();
        object = std::move(array);
    } else {
        object = py::reinterpret_steal<py::object>(PyBytes_FromStringAndSize(nullptr, size));
        if (!object) throw py::error_already_set();
        data = PyBytes_AS_STRING(object.ptr());
    }
    kiv::zero_fill(data, size);
    if (input_kind != INPUT_KIND_NUMPY) kiv::advise_huge_pages(data, size);
    return {std::move(object), data};
}

py::tuple empty_shape_result(kiv_status_t status) {
    return py::make_tuple(status, py::str(""), py::list());
}

}  // namespace

kiv_status_t NPU::kiv_load_tensor(uint64_t job_id, uint32_t tensor, py::object hdl) {
    if (!hdl) {
        error_line("%s", kUnsupportedInput);
        return KIV_STATUS_ERROR_READ_FILE_FAIL;
    }
    ObjectBytes input;
    switch (classify_data_object(hdl)) {
        case DataClass::Bytes:
            input_kind = INPUT_KIND_BYTES;
            input = ObjectBytes{PyBytes_AS_STRING(hdl.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(hdl.ptr())), hdl};
            break;
        case DataClass::ByteArray:
            input_kind = INPUT_KIND_BYTEARRAY;
            input = exported_bytes(hdl);
            break;
        case DataClass::NumpyArray: {
            input_kind = INPUT_KIND_NUMPY;
            py::object array = contiguous_array(hdl);
            if (!array) {
                error_line("numpy array is invalid\n");
                return KIV_STATUS_ERROR_NULL_PTR;
            }
            auto [data, size] = array_bytes(array);
            // The runtime only reads it.
            input = ObjectBytes{static_cast<char*>(const_cast<void*>(data)), size, std::move(array)};
            break;
        }
        case DataClass::Other:
            error_line("%s", kUnsupportedInput);
            return KIV_STATUS_ERROR_READ_FILE_FAIL;
    }

    tensor_desc_t desc{};
    kiv_status_t status = ::kiv_get_tensor_descriptor(ctx, job_id, KIV_TENSOR_TYPE_INPUT, tensor, &desc);
    if (reported(*this, "kiv_get_tensor_descriptor", status) != KIV_STATUS_SUCCESS) return status;
    // The runtime reads `size` bytes from the address; a shorter object would
    // be read past its end.
    if (input.size < desc.size) {
        error_line("kiv_load_tensor: input is %zu bytes, tensor %u needs %u\n", input.size, tensor, desc.size);
        return KIV_STATUS_ERROR_INVALID_SIZE;
    }
    status = ::kiv_load_tensor(ctx, job_id, tensor, input.address);
    return reported(*this, "kiv_load_tensor", status);
}

kiv_status_t NPU::kiv_load_tensor_from_file(uint64_t job_id, uint32_t tensor, const std::string& filename) {
    tensor_desc_t desc{};
    kiv_status_t status = ::kiv_get_tensor_descriptor(ctx, job_id, KIV_TENSOR_TYPE_INPUT, tensor, &desc);
    if (reported(*this, "kiv_get_tensor_descriptor", status) != KIV_STATUS_SUCCESS) return status;
    kiv::UniqueFd file(::open(filename.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        error_line("open file failed: %s! \n", filename.c_str());
        return KIV_STATUS_ERROR_OPEN_FILE_FAIL;
    }
    // Pages of a mapping beyond the end of the file cannot be read, so a short
    // file is refused before mapping.
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) {
        error_line("open file failed: %s! \n", filename.c_str());
        return KIV_STATUS_ERROR_OPEN_FILE_FAIL;
    }
    if (info.st_size < static_cast<off_t>(desc.size)) {
        error_line("kiv_load_tensor_from_file: %s is %lld bytes, tensor %u needs %u\n", filename.c_str(),
                   static_cast<long long>(info.st_size), tensor, desc.size);
        return KIV_STATUS_ERROR_INVALID_SIZE;
    }
    FileMapping mapping(file.get(), desc.size);
    if (!mapping.mapped()) {
        error_line("RT failed in mapping graph file: %s! (errno = %d)\n", filename.c_str(), errno);
        return KIV_STATUS_ERROR_MAP_FILE_FAIL;
    }
    status = ::kiv_load_tensor(ctx, job_id, tensor, mapping.get());
    return reported(*this, "kiv_load_tensor", status);
}

py::tuple NPU::kiv_get_tensor(uint64_t job_id, tensor_type_t type, uint32_t tensor) {
    tensor_desc_t desc{};
    kiv_status_t status = ::kiv_get_tensor_descriptor(ctx, job_id, type, tensor, &desc);
    if (reported(*this, "kiv_get_tensor_descriptor", status) != KIV_STATUS_SUCCESS)
        return py::make_tuple(status, py::none());
    // The runtime writes straight into the object that is returned.
    auto [data, address] = new_tensor_object(input_kind, desc.size);
    status = ::kiv_get_tensor(ctx, job_id, type, tensor, desc.size == 0 ? nullptr : address);
    if (reported(*this, "kiv_get_tensor", status) != KIV_STATUS_SUCCESS) return py::make_tuple(status, py::none());
    return py::make_tuple(status, std::move(data));
}

py::tuple NPU::kiv_get_tensor_shape(const std::string& zor_model, tensor_type_t type, uint32_t index) {
    kiv::QuietFailures quiet(!error_lines);
    uint32_t name_len = 0;
    uint32_t shape_len = 0;
    kiv_status_t status =
        ::kiv_get_tensor_shape(zor_model.c_str(), type, index, nullptr, &name_len, nullptr, &shape_len);
    if (status != KIV_STATUS_SUCCESS) return empty_shape_result(status);

    std::vector<char> name(static_cast<size_t>(name_len) + 1, '\0');
    std::vector<int32_t> shape(shape_len, 0);
    uint32_t name_capacity = static_cast<uint32_t>(name.size());
    uint32_t shape_capacity = shape_len;
    status = ::kiv_get_tensor_shape(zor_model.c_str(), type, index, name.data(), &name_capacity,
                                    shape.empty() ? nullptr : shape.data(), &shape_capacity);
    if (status != KIV_STATUS_SUCCESS) return empty_shape_result(status);

    // The container is read anew by the second call; never trust a reported
    // length beyond what was allocated.
    name.resize(std::min<size_t>(name_capacity, name.size() - 1));
    shape.resize(std::min<size_t>(shape_capacity, shape.size()));
    py::list dims;
    for (int32_t dim : shape) dims.append(dim);
    return py::make_tuple(status, py::str(name.data(), name.size()), std::move(dims));
}

}  // namespace aipudrv
