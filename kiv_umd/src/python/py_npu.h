// The Python class NPU: one runtime context and the methods that drive it.
// Each method converts its Python arguments, calls one runtime API function
// and reports failures with a "[PY UMD ERROR] " line on standard error.
#ifndef KIV_PY_NPU_H
#define KIV_PY_NPU_H

#include <pybind11/pybind11.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "aipu_adapter.h"
#include "fork_safety.h"
#include "kiv_api.h"
#include "use_gate.h"

namespace py = pybind11;

namespace aipudrv {

// Kind of the object last given to kiv_load_tensor; decides what
// kiv_get_tensor returns.
enum InputKind : uint32_t { INPUT_KIND_BYTES = 0, INPUT_KIND_BYTEARRAY = 1, INPUT_KIND_NUMPY = 2 };

class NPU {
public:
    NPU();
    // Closes a context left open, so that its driver context is not leaked;
    // completions of its jobs that arrive after the object is gone no longer
    // reach Python.
    virtual ~NPU();
    NPU(const NPU&) = delete;
    NPU& operator=(const NPU&) = delete;

    kiv_context* ctx = nullptr;
    uint32_t input_kind = INPUT_KIND_BYTES;

    // Opens a context on the driver library `library` (null: $AIPU_LIB_PATH,
    // else libaipudrv.so), closing one that is still open first; a library
    // that cannot serve is described in `failure`, when given. The object
    // holds one context at a time: one that another thread opened meanwhile
    // is closed too.
    kiv_status_t open_context(const char* library, DriverLoadFailure* failure = nullptr);

    // Gives up the context without closing it: the object holds none
    // afterwards, and the caller closes the handle returned.
    kiv_context* release_context();

    // Context, graph and job methods.
    kiv_status_t kiv_init_context();
    kiv_status_t kiv_deinit_context();
    std::string kiv_get_error_message(uint64_t status);
    py::tuple kiv_load_graph(const std::string& graph_bin, py::object cfg);
    kiv_status_t kiv_unload_graph(uint64_t graph_id);
    py::tuple kiv_create_job(uint64_t graph_id, py::object cfg);
    kiv_status_t kiv_config_job(uint64_t job_id, uint64_t types, py::object cfg);
    kiv_status_t kiv_job_infer_sync(uint64_t job_id, int32_t time_out);
    kiv_status_t kiv_job_infer_async(uint64_t job_id, py::object py_cb);
    py::tuple kiv_get_job_status(uint64_t job_id, int32_t timeout);
    kiv_status_t kiv_clean_job(uint64_t job_id);
    py::tuple kiv_get_tensor_count(uint64_t graph_id, tensor_type_t type);
    tensor_desc_t kiv_get_tensor_descriptor(uint64_t graph_id, tensor_type_t type, uint32_t tensor);

    // Tensor data.
    py::tuple kiv_get_tensor_shape(const std::string& zor_model, tensor_type_t type, uint32_t index);
    kiv_status_t kiv_load_tensor_from_file(uint64_t job_id, uint32_t tensor, const std::string& filename);
    kiv_status_t kiv_load_tensor(uint64_t job_id, uint32_t tensor, py::object hdl);
    py::tuple kiv_get_tensor(uint64_t job_id, tensor_type_t type, uint32_t tensor);

    // ioctl.
    py::tuple kiv_ioctl(device_type_t device, uint32_t cmd, py::kwargs kwargs);
    kiv_status_t kiv_ioctl_data(device_type_t device, uint32_t cmd, const std::map<std::string, uint64_t>& py_arg,
                                py::object data);

    // Batch queues.
    py::tuple kiv_create_batch_queue(uint64_t graph_id);
    kiv_status_t kiv_clean_batch_queue(uint64_t graph_id, uint32_t queue_id);
    kiv_status_t kiv_config_batch_dump(uint64_t graph_id, uint32_t queue_id, uint64_t types, py::object dump_cfg);
    kiv_status_t kiv_add_batch(uint64_t graph_id, uint32_t queue_id, py::sequence inputs, py::sequence outputs);
    kiv_status_t kiv_finish_batch(uint64_t graph_id, uint32_t queue_id, py::object cfg);

    // Prints "[PY UMD ERROR] <api_name>: <status text>\n" on standard error,
    // unless error lines are switched off.
    void print_error_line(const char* api_name, kiv_status_t status);

    // Prints "[PY UMD ERROR] " and the formatted text (its line end
    // included) on standard error, unless error lines are switched off:
    // every error line of the module goes through here.
    void error_line(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Threads that use the context handle without the GIL. Closing the
    // context first makes the handle unreachable (under the GIL), then waits
    // here for the uses already under way before the runtime frees it.
    // Shared, so that a close left to run on at exit outlives the object.
    const std::shared_ptr<UseGate> handle_gate = std::make_shared<UseGate>();

    // Whether failing calls print their error line. A caller that turns every
    // failing status into a message of its own (kiv.Runtime with
    // error_lines=False, as the kiv command opens it) switches them off, so
    // that a failure is reported once; opening a context and reading a model
    // file then also hold back what the runtime prints about them
    // (kiv::QuietFailures).
    std::atomic<bool> error_lines{true};

private:
    // Buffers handed to the runtime by kiv_add_batch, kept alive until the
    // runtime can no longer use them: until the queue is finished or cleaned,
    // its graph unloaded or the context closed. Keyed by (graph id, queue id).
    std::map<std::pair<uint64_t, uint32_t>, std::vector<py::object>> batch_buffers_;
    // Python completions of this object's jobs; closed when the object goes.
    std::shared_ptr<UseGate> completion_gate_ = std::make_shared<UseGate>();

    void release_batch_buffers_of(uint64_t graph_id);
    void close_on_destruction() noexcept;

    // A forked child does not own the parent's context: it forgets the
    // handle, so that calls fail as without a context and nothing of the
    // parent's is closed.
    ForkHandlers fork_{[] {},
                       [this](bool in_child) {
                           if (in_child) ctx = nullptr;
                       }};
};

// The handle of an NPU object, held for a driver call made without the GIL.
// Taken with the GIL held: a context being closed gives the null handle, on
// which the runtime answers with the invalid-handle status.
class HandleUse {
public:
    explicit HandleUse(NPU& npu) : pass_(*npu.handle_gate), ctx_(npu.ctx) {}
    HandleUse(const HandleUse&) = delete;
    HandleUse& operator=(const HandleUse&) = delete;
    kiv_context* ctx() const { return ctx_; }

private:
    UsePass pass_;
    kiv_context* ctx_;
};

// Closes a context that is no longer reachable through its NPU object, once
// the calls that use it without the GIL (`handle_gate`) have left. Call it
// without the GIL: the driver may wait for its completion thread, which may
// be waiting for the GIL to run a Python completion.
kiv_status_t close_unreachable(UseGate& handle_gate, kiv_context* open);

// Registers the NPU class and its method table; the module entry calls it
// last, after the enumerations and records the methods take and return.
void register_npu(py::module_& m);

}  // namespace aipudrv

#endif  // KIV_PY_NPU_H
