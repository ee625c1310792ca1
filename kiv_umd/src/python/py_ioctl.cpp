// kiv_ioctl from Python: the keyword form builds the driver's record for one
// control command from keyword arguments and returns its outputs as a tuple;
// the data form writes a block of bytes into a DMA buffer.
#include <pybind11/numpy.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "py_error_line.h"
#include "py_npu.h"

namespace aipudrv {

namespace {

// Prints the missing-keyword line for the first of `names` absent from
// `kwargs`; returns false then.
bool has_keywords(NPU& npu, const py::kwargs& kwargs, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        if (!kwargs.contains(name)) {
            npu.error_line("please provide kwargs %s\n", name);
            return false;
        }
    }
    return true;
}

// A keyword's value converted to the record field's type; a value that does
// not fit raises the binding library's cast error.
template <typename T>
T keyword(const py::kwargs& kwargs, const char* name) {
    return kwargs[name].template cast<T>();
}

kiv_status_t call_ioctl(kiv_context* ctx, device_type_t device, uint32_t cmd, void* record) {
    return ::kiv_ioctl(ctx, device, static_cast<ioctl_cmd_t>(cmd), record);
}

// A character field filled by the driver, read up to its first zero and never
// beyond its end.
template <size_t N>
py::str field_text(const char (&field)[N]) {
    return py::str(field, strnlen(field, N));
}

// A writable uint8 array over the shared buffer itself. The capsule keeps
// nothing alive and frees nothing: the buffer belongs to the driver until it
// is freed with KIV_IOCTL_FREE_SHARE_BUF.
py::array share_buffer_view(const aipu_share_buf_t& buf) {
    py::capsule base(reinterpret_cast<void*>(static_cast<uintptr_t>(buf.va)), [](void*) {});
    return py::array(py::dtype::of<uint8_t>(), {static_cast<py::ssize_t>(buf.size)}, {py::ssize_t{1}},
                     reinterpret_cast<void*>(static_cast<uintptr_t>(buf.va)), base);
}

// The contents of the `data` argument of the data form; null for types
// that carry no bytes.
struct DataBytes {
    const char* data = nullptr;
    size_t size = 0;
};

DataBytes data_bytes(py::handle data, std::string& utf8) {
    if (PyBytes_Check(data.ptr())) {
        return DataBytes{PyBytes_AS_STRING(data.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(data.ptr()))};
    }
    if (PyByteArray_Check(data.ptr())) {
        return DataBytes{PyByteArray_AS_STRING(data.ptr()), static_cast<size_t>(PyByteArray_GET_SIZE(data.ptr()))};
    }
    if (PyUnicode_Check(data.ptr())) {
        utf8 = py::cast<std::string>(data);
        return DataBytes{utf8.data(), utf8.size()};
    }
    throw py::type_error("kiv_ioctl: data must be str, bytes or bytearray");
}

}  // namespace

py::tuple NPU::kiv_ioctl(device_type_t device, uint32_t cmd, py::kwargs kwargs) {
    const auto invalid_config = KIV_STATUS_ERROR_INVALID_CONFIG;
    switch (cmd) {
        case KIV_IOCTL_SET_PROFILE: {
            if (!has_keywords(*this, kwargs, {"set_profile"})) return py::make_tuple(invalid_config);
            uint32_t value = keyword<uint32_t>(kwargs, "set_profile");
            return py::make_tuple(call_ioctl(ctx, device, cmd, &value));
        }
        case KIV_IOCTL_GET_KIVBIN_BUILDVERSION: {
            if (!has_keywords(*this, kwargs, {"graph_id"})) return py::make_tuple(invalid_config, 0);
            aipu_bin_buildversion record{};
            record.graph_id = keyword<uint64_t>(kwargs, "graph_id");
            kiv_status_t status = call_ioctl(ctx, device, cmd, &record);
            return py::make_tuple(status, record.aipubin_buildversion);
        }
        case KIV_IOCTL_ALLOC_SHARE_BUF: {
            if (!has_keywords(*this, kwargs, {"size"})) return py::make_tuple(invalid_config, 0, 0);
            aipu_share_buf_t record{};
            record.size = keyword<uint32_t>(kwargs, "size");
            // The driver's memory type travels only when the caller names it.
            if (kwargs.contains("mem_type")) record.mem_type = keyword<uint32_t>(kwargs, "mem_type");
            kiv_status_t status = call_ioctl(ctx, device, cmd, &record);
            // No buffer (a size of 0, a refusal): nothing to view; the
            // driver's status tells why.
            if (record.va == 0) return py::make_tuple(status, record.pa, py::none());
            return py::make_tuple(status, record.pa, share_buffer_view(record));
        }
        case KIV_IOCTL_FREE_SHARE_BUF: {
            if (!has_keywords(*this, kwargs, {"pa", "size"})) return py::make_tuple(invalid_config);
            aipu_share_buf_t record{};
            record.pa = keyword<uint64_t>(kwargs, "pa");
            record.size = keyword<uint32_t>(kwargs, "size");
            return py::make_tuple(call_ioctl(ctx, device, cmd, &record));
        }
        case KIV_IOCTL_ALLOC_DMABUF: {
            if (!has_keywords(*this, kwargs, {"bytes"})) return py::make_tuple(invalid_config, 0);
            aipu_dma_buf_req_t record{};
            record.bytes = keyword<uint32_t>(kwargs, "bytes");
            kiv_status_t status = call_ioctl(ctx, device, cmd, &record);
            return py::make_tuple(status, record.fd);
        }
        case KIV_IOCTL_FREE_DMABUF:
        case KIV_IOCTL_DETACH_DMABUF: {
            if (!has_keywords(*this, kwargs, {"dmabuf_fd"})) return py::make_tuple(invalid_config);
            int32_t fd = keyword<int32_t>(kwargs, "dmabuf_fd");
            return py::make_tuple(call_ioctl(ctx, device, cmd, &fd));
        }
        case AIPU_IOCTL_ATTACH_DMABUF_PRIVATE:
        case KIV_IOCTL_ATTACH_DMABUF: {
            if (!has_keywords(*this, kwargs, {"dmabuf_fd"})) return py::make_tuple(invalid_config, 0, 0);
            // Zeroed so that a driver failure returns zeros, not stack contents.
            aipu_dma_buf_t record{};
            record.fd = keyword<int32_t>(kwargs, "dmabuf_fd");
            kiv_status_t status = call_ioctl(ctx, device, cmd, &record);
            return py::make_tuple(status, record.pa, record.bytes);
        }
        case KIV_IOCTL_GET_VERSION: {
            aipu_driver_version_t record{};
            kiv_status_t status = call_ioctl(ctx, device, cmd, &record);
            return py::make_tuple(status, field_text(record.umd_version), field_text(record.kmd_version));
        }
        default:
            // The driver's commands beside the named ioctl_cmd_t values that take
            // no record.
            if (cmd >= AIPU_IOCTL_ENABLE_TICK_COUNTER && cmd <= AIPU_IOCTL_CONFIG_CLUSTERS) {
                return py::make_tuple(call_ioctl(ctx, device, cmd, nullptr));
            }
            error_line("kiv_ioctl invalid cmd %u\n", cmd);
            return py::make_tuple(KIV_STATUS_ERROR_INVALID_OP);
    }
}

kiv_status_t NPU::kiv_ioctl_data(device_type_t device, uint32_t cmd, const std::map<std::string, uint64_t>& py_arg,
                                 py::object data) {
    // A str, bytes or bytearray is required: None or another object has no
    // bytes to copy from.
    std::string utf8;
    DataBytes source = data_bytes(data, utf8);
    if (cmd != KIV_IOCTL_WRITE_DMABUF) {
        error_line("kiv_ioctl with 3 args must use cmd: AIPU_IOCTL_WRITE_DMABUF\n");
        return KIV_STATUS_ERROR_INVALID_OP;
    }
    aipu_dmabuf_op_t record{};
    auto field = [&py_arg](const char* name) -> uint32_t {
        auto it = py_arg.find(name);
        return it == py_arg.end() ? 0 : static_cast<uint32_t>(it->second);
    };
    record.fd = static_cast<int32_t>(field("dmabuf_fd"));
    record.offset_in_dmabuf = field("offset_in_dmabuf");
    record.size = field("size");
    // Copying `size` bytes from a shorter object would read past its end.
    if (record.size > source.size) {
        error_line("kiv_ioctl: data is %zu bytes, size is %u\n", source.size, record.size);
        return KIV_STATUS_ERROR_INVALID_SIZE;
    }
    std::vector<char> copy(source.data, source.data + record.size);
    record.data = copy.data();
    kiv_status_t status = call_ioctl(ctx, device, cmd, &record);
    return reported(*this, "kiv_ioctl", status);
}

}  // namespace aipudrv
