#include "program.h"

#include <cmath>

#include "aipu_driver.h"
#include "byte_reader.h"
#include "npu_program_format.h"
#include "page_advice.h"

namespace standin {
namespace {

using namespace npu_program;

constexpr uint32_t kBad = AIPU_STATUS_ERROR_INVALID_GBIN;

bool is_compute_type(uint32_t dtype) {
    return dtype == kU8 || dtype == kS8 || dtype == kU16 || dtype == kS16 || dtype == kS32 || dtype == kF32;
}

bool is_int8_type(uint32_t dtype) {
    return dtype == kU8 || dtype == kS8;
}

uint32_t read_tensor(ByteReader& in, uint64_t& total_bytes, TensorSpec& t) {
    uint8_t rank = 0, reserved = 0;
    uint8_t dtype = 0;
    if (!in.read_u8(t.kind) || !in.read_u8(dtype) || !in.read_u8(rank) || !in.read_u8(reserved)) return kBad;
    t.dtype = dtype;
    if (t.kind > kKindTemp || reserved != 0 || rank == 0 || rank > kMaxRank) return kBad;
    const uint32_t esize = element_size(t.dtype);
    if (esize == 0) return kBad;
    if (!in.read_f32(t.scale) || !in.read_i32(t.zero_point)) return kBad;
    if (!std::isfinite(t.scale) || !(t.scale > 0.0f)) return kBad;
    uint64_t elements = 1;
    for (uint8_t i = 0; i < rank; ++i) {
        uint32_t dim = 0;
        if (!in.read_u32(dim) || dim == 0) return kBad;
        elements *= dim;
        // Checked per dimension so that the product can never overflow.
        if (elements * esize > kMaxTensorBytes) return kBad;
        t.shape.push_back(dim);
    }
    t.elements = elements;
    t.bytes = static_cast<uint32_t>(elements * esize);
    total_bytes += t.bytes;
    if (total_bytes > kMaxTensorBytes) return kBad;
    uint32_t data_size = 0;
    if (!in.read_u32(data_size)) return kBad;
    if (t.kind == kKindConstant) {
        if (data_size != t.bytes) return kBad;
        // Constants can be most of a large program: copied once, not zeroed first.
        const uint8_t* bytes = in.take(data_size);
        if (bytes == nullptr) return kBad;
        t.data.reserve(data_size);
        kiv::prefault_pages(t.data.data(), data_size);
        t.data.assign(bytes, bytes + data_size);
    } else if (data_size != 0) {
        return kBad;
    }
    return 0;
}

bool writable(const Program& p, uint32_t idx) {
    const uint8_t kind = p.tensors[idx].kind;
    return kind == kKindOutput || kind == kKindTemp;
}

bool check_elementwise(const Program& p, const std::vector<uint32_t>& args) {
    const uint64_t elements = p.tensors[args[0]].elements;
    for (uint32_t idx : args) {
        const TensorSpec& t = p.tensors[idx];
        if (!is_compute_type(t.dtype) || t.elements != elements) return false;
    }
    return true;
}

bool check_fully_connected(const Program& p, const std::vector<uint32_t>& args) {
    const TensorSpec& dst = p.tensors[args[0]];
    const TensorSpec& x = p.tensors[args[1]];
    const TensorSpec& w = p.tensors[args[2]];
    const TensorSpec& bias = p.tensors[args[3]];
    if (args[0] == args[1] || args[0] == args[2] || args[0] == args[3]) return false;
    if (x.shape.size() != 2 || w.shape.size() != 2 || x.shape[1] != w.shape[0]) return false;
    const uint64_t n = x.shape[0], m = w.shape[1];
    if (bias.elements != m || dst.elements != n * m) return false;
    const bool all_float = x.dtype == kF32 && w.dtype == kF32 && bias.dtype == kF32 && dst.dtype == kF32;
    const bool quantised =
        is_int8_type(x.dtype) && is_int8_type(w.dtype) && bias.dtype == kS32 && is_int8_type(dst.dtype);
    return all_float || quantised;
}

bool check_op(const Program& p, const OpSpec& op) {
    if (op.code == kOpWaitMs) return true;
    if (op.code == kOpRaise) return op.args[0] >= AIPU_JOB_STATUS_EXCEPTION;
    for (uint32_t idx : op.args) {
        if (idx >= p.tensors.size()) return false;
    }
    if (!writable(p, op.args[0])) return false;
    switch (op.code) {
        case kOpCopy:
            return p.tensors[op.args[0]].bytes == p.tensors[op.args[1]].bytes;
        case kOpAdd:
        case kOpMul:
        case kOpRelu:
            return check_elementwise(p, op.args);
        case kOpFullyConnected:
            return check_fully_connected(p, op.args);
        default:
            return false;
    }
}

uint32_t read_op(ByteReader& in, OpSpec& op) {
    uint32_t argc = 0;
    if (!in.read_u32(op.code) || !in.read_u32(argc)) return kBad;
    const int expected = op_arg_count(op.code);
    if (expected < 0 || argc != static_cast<uint32_t>(expected)) return kBad;
    op.args.resize(argc);
    for (uint32_t& a : op.args) {
        if (!in.read_u32(a)) return kBad;
    }
    return 0;
}

uint32_t read_header(ByteReader& in, const uint8_t* data, size_t size, uint32_t& tensors, uint32_t& ops,
                     uint32_t& build_version) {
    // A foreign magic is recognisable from however many bytes there are.
    for (size_t i = 0; i < sizeof(kMagic) && i < size; ++i) {
        if (data[i] != kMagic[i]) return AIPU_STATUS_ERROR_UNKNOWN_BIN;
    }
    if (size < kHeaderSize) return kBad;
    uint8_t magic[4];
    uint32_t version = 0, flags = 0;
    in.read_bytes(magic, 4);
    in.read_u32(version);
    if (version != kFormatVersion) return AIPU_STATUS_ERROR_UNKNOWN_BIN;
    in.read_u32(build_version);
    in.read_u32(tensors);
    in.read_u32(ops);
    in.read_u32(flags);
    if (flags != 0 || tensors > kMaxTensors || ops > kMaxOps) return kBad;
    return 0;
}

}  // namespace

aipu_tensor_desc_t Program::descriptor(const std::vector<uint32_t>& list, uint32_t index) const {
    const TensorSpec& t = tensors[list[index]];
    aipu_tensor_desc_t d{};
    d.id = index;
    d.size = t.bytes;
    d.scale = t.scale;
    d.zero_point = t.zero_point;
    d.data_type = t.dtype;
    return d;
}

uint32_t parse_program(const uint8_t* data, size_t size, Program& out) {
    if (data == nullptr) return AIPU_STATUS_ERROR_NULL_PTR;
    ByteReader in(data, size);
    uint32_t tensor_count = 0, op_count = 0;
    Program p;
    if (uint32_t s = read_header(in, data, size, tensor_count, op_count, p.build_version)) return s;
    uint64_t total_bytes = 0;
    for (uint32_t i = 0; i < tensor_count; ++i) {
        TensorSpec t;
        if (uint32_t s = read_tensor(in, total_bytes, t)) return s;
        if (t.kind == kKindInput) p.inputs.push_back(i);
        if (t.kind == kKindOutput) p.outputs.push_back(i);
        p.tensors.push_back(std::move(t));
    }
    for (uint32_t i = 0; i < op_count; ++i) {
        OpSpec op;
        if (uint32_t s = read_op(in, op)) return s;
        if (!check_op(p, op)) return kBad;
        p.ops.push_back(std::move(op));
    }
    if (in.remaining() != 0) return kBad;
    out = std::move(p);
    return 0;
}

}  // namespace standin
