// Batch queues from Python. kiv_add_batch hands the runtime bare addresses
// into the caller's objects, so the objects (and any contiguous copies) are
// kept here until the queue is finished or cleaned.
#include <cstdio>
#include <vector>

#include "py_error_line.h"
#include "py_npu.h"
#include "py_object_data.h"
#include "py_records.h"

namespace aipudrv {

namespace {

enum class IoType { Input, Output };

const char* io_name(IoType io) {
    return io == IoType::Input ? "input" : "output";
}

// Prints the refusal line and returns false when `obj` cannot serve as
// buffer `index` of the `io` side.
bool to_batch_buffer(NPU& npu, py::handle obj, IoType io, size_t index, ObjectBytes& out) {
    switch (classify_data_object(obj)) {
        case DataClass::Bytes:
            if (io == IoType::Output) {
                npu.error_line(
                    "kiv_add_batch cannot accept `bytes` object for output, provide bytearray or numpy "
                    "array\n");
                return false;
            }
            out = ObjectBytes{PyBytes_AS_STRING(obj.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(obj.ptr())),
                              py::reinterpret_borrow<py::object>(obj)};
            return true;
        case DataClass::ByteArray:
            out = exported_bytes(obj);
            return true;
        case DataClass::NumpyArray: {
            // An input may travel as a contiguous copy; an output must be the
            // caller's own memory, or the results would land in a copy.
            py::object array = io == IoType::Input ? contiguous_array(obj) : ensure_array(obj);
            if (!array) {
                npu.error_line("numpy array is invalid\n");
                return false;
            }
            if (io == IoType::Output && !array_is_c_contiguous(array)) {
                npu.error_line("kiv_add_batch output %zu is not a C-contiguous numpy array\n", index);
                return false;
            }
            if (io == IoType::Output && !array_is_writeable(array)) {
                npu.error_line("kiv_add_batch output %zu is a read-only numpy array\n", index);
                return false;
            }
            out = exported_bytes(array);
            return true;
        }
        case DataClass::Other:
            break;
    }
    npu.error_line("kiv_add_batch only accepts bytes, bytearray or numpy array\n");
    return false;
}

bool to_batch_buffers(NPU& npu, const py::sequence& objects, IoType io, std::vector<ObjectBytes>& out) {
    size_t count = objects.size();
    out.resize(count);
    for (size_t i = 0; i < count; ++i) {
        if (!to_batch_buffer(npu, objects[i], io, i, out[i])) return false;
    }
    return true;
}

std::vector<char*> addresses_of(const std::vector<ObjectBytes>& buffers) {
    std::vector<char*> addresses;
    addresses.reserve(buffers.size());
    for (const ObjectBytes& buffer : buffers) addresses.push_back(buffer.address);
    return addresses;
}

}  // namespace

// The runtime takes no counts and no sizes with the address arrays: it reads
// and writes one full tensor per graph input and output. Both are checked
// against the graph here so that nothing is touched past an object's end.
static kiv_status_t check_batch_side(NPU& npu, uint64_t graph_id, tensor_type_t type, IoType io,
                                     const std::vector<ObjectBytes>& buffers) {
    uint32_t count = 0;
    kiv_status_t status = ::kiv_get_tensor_count(npu.ctx, graph_id, type, &count);
    if (reported(npu, "kiv_get_tensor_count", status) != KIV_STATUS_SUCCESS) return status;
    if (buffers.size() != count) {
        npu.error_line("kiv_add_batch: %zu %ss given, graph has %u\n", buffers.size(), io_name(io), count);
        return KIV_STATUS_ERROR_INVALID_TENSOR_CNT;
    }
    for (uint32_t i = 0; i < count; ++i) {
        tensor_desc_t desc{};
        status = ::kiv_get_tensor_descriptor(npu.ctx, graph_id, type, i, &desc);
        if (reported(npu, "kiv_get_tensor_descriptor", status) != KIV_STATUS_SUCCESS) return status;
        if (buffers[i].size < desc.size) {
            npu.error_line("kiv_add_batch: %s %u is %zu bytes, tensor needs %u\n", io_name(io), i, buffers[i].size,
                           desc.size);
            return KIV_STATUS_ERROR_INVALID_SIZE;
        }
    }
    return KIV_STATUS_SUCCESS;
}

py::tuple NPU::kiv_create_batch_queue(uint64_t graph_id) {
    uint32_t queue_id = 0;
    kiv_status_t status = ::kiv_create_batch_queue(ctx, graph_id, &queue_id);
    return py::make_tuple(reported(*this, "kiv_create_batch_queue", status), queue_id);
}

kiv_status_t NPU::kiv_clean_batch_queue(uint64_t graph_id, uint32_t queue_id) {
    kiv_status_t status = ::kiv_clean_batch_queue(ctx, graph_id, queue_id);
    // The queue may still hold the addresses; keep their objects.
    if (reported(*this, "kiv_clean_batch_queue", status) != KIV_STATUS_SUCCESS) return status;
    batch_buffers_.erase({graph_id, queue_id});
    return status;
}

kiv_status_t NPU::kiv_config_batch_dump(uint64_t graph_id, uint32_t queue_id, uint64_t types, py::object dump_cfg) {
    DumpConfig dump(wrapper_from<kiv_job_config_dump_wrapper_t>(dump_cfg));
    kiv_status_t status = ::kiv_config_batch_dump(ctx, graph_id, queue_id, types, dump.get());
    return reported(*this, "kiv_config_batch_dump", status);
}

kiv_status_t NPU::kiv_add_batch(uint64_t graph_id, uint32_t queue_id, py::sequence inputs, py::sequence outputs) {
    std::vector<ObjectBytes> in_buffers;
    std::vector<ObjectBytes> out_buffers;
    if (!to_batch_buffers(*this, inputs, IoType::Input, in_buffers)) return KIV_STATUS_ERROR_NULL_PTR;
    if (!to_batch_buffers(*this, outputs, IoType::Output, out_buffers)) return KIV_STATUS_ERROR_NULL_PTR;

    kiv_status_t status = check_batch_side(*this, graph_id, KIV_TENSOR_TYPE_INPUT, IoType::Input, in_buffers);
    if (status != KIV_STATUS_SUCCESS) return status;
    status = check_batch_side(*this, graph_id, KIV_TENSOR_TYPE_OUTPUT, IoType::Output, out_buffers);
    if (status != KIV_STATUS_SUCCESS) return status;

    std::vector<char*> in_addresses = addresses_of(in_buffers);
    std::vector<char*> out_addresses = addresses_of(out_buffers);
    status = ::kiv_add_batch(ctx, graph_id, queue_id, in_addresses.empty() ? nullptr : in_addresses.data(),
                             out_addresses.empty() ? nullptr : out_addresses.data());
    if (reported(*this, "kiv_add_batch", status) != KIV_STATUS_SUCCESS) return status;
    std::vector<py::object>& kept = batch_buffers_[{graph_id, queue_id}];
    for (ObjectBytes& buffer : in_buffers) kept.push_back(std::move(buffer.keeper));
    for (ObjectBytes& buffer : out_buffers) kept.push_back(std::move(buffer.keeper));
    return status;
}

kiv_status_t NPU::kiv_finish_batch(uint64_t graph_id, uint32_t queue_id, py::object cfg) {
    kiv_status_t status;
    if (cfg.is_none()) {
        status = ::kiv_finish_batch(ctx, graph_id, queue_id, nullptr);
    } else {
        CreateJobConfig config(wrapper_from<kiv_create_job_cfg_wrapper_t>(cfg), /*with_dynshape=*/false);
        status = ::kiv_finish_batch(ctx, graph_id, queue_id, config.get());
    }
    // Work may still be pending on the queue; its buffers stay alive until
    // the queue is finished or cleaned.
    if (reported(*this, "kiv_finish_batch", status) != KIV_STATUS_SUCCESS) return status;
    batch_buffers_.erase({graph_id, queue_id});
    return status;
}

}  // namespace aipudrv
