#include "interpreter.h"

#include <algorithm>
#include <cstring>

#include "npu_program_format.h"
#include "tensor_math.h"

namespace standin {
namespace {

using namespace npu_program;

// Where every tensor of the table lives during one run.
class Workspace {
public:
    Workspace(const Program& p, const std::vector<std::vector<uint8_t>>& inputs,
              std::vector<std::vector<uint8_t>>& outputs)
        : read_(p.tensors.size(), nullptr), write_(p.tensors.size(), nullptr) {
        size_t in = 0, out = 0;
        for (size_t i = 0; i < p.tensors.size(); ++i) {
            const TensorSpec& t = p.tensors[i];
            switch (t.kind) {
                case kKindInput:
                    read_[i] = inputs[in++].data();
                    break;
                case kKindOutput:
                    write_[i] = outputs[out++].data();
                    read_[i] = write_[i];
                    break;
                case kKindConstant:
                    read_[i] = t.data.data();
                    break;
                default:
                    temps_.emplace_back(t.bytes, 0);
                    write_[i] = temps_.back().data();
                    read_[i] = write_[i];
                    break;
            }
        }
    }
    const uint8_t* read(uint32_t i) const { return read_[i]; }
    uint8_t* write(uint32_t i) const { return write_[i]; }

private:
    std::vector<const uint8_t*> read_;
    std::vector<uint8_t*> write_;
    std::vector<std::vector<uint8_t>> temps_;
};

void run_copy(const Program& p, const Workspace& ws, const OpSpec& op) {
    std::memmove(ws.write(op.args[0]), ws.read(op.args[1]), p.tensors[op.args[0]].bytes);
}

template <typename Combine>
void run_elementwise(const Program& p, const Workspace& ws, const OpSpec& op, Combine combine) {
    const TensorSpec& d = p.tensors[op.args[0]];
    const TensorSpec& a = p.tensors[op.args[1]];
    const TensorSpec& b = p.tensors[op.args[2]];
    for (uint64_t i = 0; i < d.elements; ++i) {
        const double ra = load_real(a.dtype, ws.read(op.args[1]), i, a.scale, a.zero_point);
        const double rb = load_real(b.dtype, ws.read(op.args[2]), i, b.scale, b.zero_point);
        store_real(d.dtype, ws.write(op.args[0]), i, combine(ra, rb), d.scale, d.zero_point);
    }
}

void run_relu(const Program& p, const Workspace& ws, const OpSpec& op) {
    const TensorSpec& d = p.tensors[op.args[0]];
    const TensorSpec& s = p.tensors[op.args[1]];
    for (uint64_t i = 0; i < d.elements; ++i) {
        const double r = load_real(s.dtype, ws.read(op.args[1]), i, s.scale, s.zero_point);
        store_real(d.dtype, ws.write(op.args[0]), i, std::max(r, 0.0), d.scale, d.zero_point);
    }
}

// The operands of a fully connected op: d[n,m] = x[n,k] * w[k,m] + b[m].
struct FcOperands {
    FcOperands(const Program& p, const Workspace& ws, const OpSpec& op)
        : d(p.tensors[op.args[0]]),
          x(p.tensors[op.args[1]]),
          w(p.tensors[op.args[2]]),
          n(x.shape[0]),
          k(x.shape[1]),
          m(w.shape[1]),
          xb(ws.read(op.args[1])),
          wb(ws.read(op.args[2])),
          bb(ws.read(op.args[3])),
          db(ws.write(op.args[0])) {}

    const TensorSpec& d;
    const TensorSpec& x;
    const TensorSpec& w;
    const uint64_t n, k, m;
    const uint8_t* xb;
    const uint8_t* wb;
    const uint8_t* bb;
    uint8_t* db;
};

void run_fc_float(const Program& p, const Workspace& ws, const OpSpec& op) {
    const FcOperands fc(p, ws, op);
    for (uint64_t r = 0; r < fc.n; ++r) {
        for (uint64_t c = 0; c < fc.m; ++c) {
            double acc = load_real(kF32, fc.bb, c, 1.0f, 0);
            for (uint64_t j = 0; j < fc.k; ++j) {
                acc += load_real(kF32, fc.xb, r * fc.k + j, 1.0f, 0) * load_real(kF32, fc.wb, j * fc.m + c, 1.0f, 0);
            }
            store_real(kF32, fc.db, r * fc.m + c, acc, 1.0f, 0);
        }
    }
}

// int8/uint8 operands, int32 bias in scale sx*sw, output requantised with
// multiplier sx*sw/sy.
void run_fc_quantised(const Program& p, const Workspace& ws, const OpSpec& op) {
    const FcOperands fc(p, ws, op);
    const TensorSpec &d = fc.d, &x = fc.x, &w = fc.w;
    const double multiplier =
        static_cast<double>(x.scale) * static_cast<double>(w.scale) / static_cast<double>(d.scale);
    for (uint64_t r = 0; r < fc.n; ++r) {
        for (uint64_t c = 0; c < fc.m; ++c) {
            int64_t acc = load_int(kS32, fc.bb, c);
            for (uint64_t j = 0; j < fc.k; ++j) {
                acc += (load_int(x.dtype, fc.xb, r * fc.k + j) - x.zero_point) *
                       (load_int(w.dtype, fc.wb, j * fc.m + c) - w.zero_point);
            }
            const double q = round_half_away(static_cast<double>(acc) * multiplier) + d.zero_point;
            store_int_saturated(d.dtype, fc.db, r * fc.m + c, q);
        }
    }
}

// Runs one operation: true to go on, false with `status` set to end the run.
bool run_operation(const Program& program, const Workspace& ws, const OpSpec& op, const SleepFn& sleep,
                   uint32_t& status) {
    switch (op.code) {
        case kOpCopy:
            run_copy(program, ws, op);
            return true;
        case kOpAdd:
            run_elementwise(program, ws, op, [](double a, double b) { return a + b; });
            return true;
        case kOpMul:
            run_elementwise(program, ws, op, [](double a, double b) { return a * b; });
            return true;
        case kOpRelu:
            run_relu(program, ws, op);
            return true;
        case kOpFullyConnected:
            if (program.tensors[op.args[0]].dtype == kF32) {
                run_fc_float(program, ws, op);
            } else {
                run_fc_quantised(program, ws, op);
            }
            return true;
        case kOpWaitMs:
            if (sleep(op.args[0])) return true;
            status = AIPU_JOB_STATUS_EXCEPTION;
            return false;
        case kOpRaise:
            status = op.args[0];
            return false;
        default:
            status = AIPU_JOB_STATUS_EXCEPTION;
            return false;
    }
}

}  // namespace

uint32_t run_program(const Program& program, const std::vector<std::vector<uint8_t>>& inputs,
                     std::vector<std::vector<uint8_t>>& outputs, const SleepFn& sleep, std::vector<OpTiming>* timings) {
    Workspace ws(program, inputs, outputs);
    const uint64_t job_start = timings != nullptr ? monotonic_ns() : 0;
    uint32_t status = AIPU_JOB_STATUS_DONE;
    for (size_t i = 0; i < program.ops.size(); ++i) {
        const OpSpec& op = program.ops[i];
        const uint64_t start = timings != nullptr ? monotonic_ns() : 0;
        const bool go_on = run_operation(program, ws, op, sleep, status);
        if (timings != nullptr) {
            const uint64_t end = monotonic_ns();
            timings->push_back(OpTiming{static_cast<uint32_t>(i), op.code, start - job_start, end - start});
        }
        if (!go_on) break;
    }
    return status;
}

}  // namespace standin
