#include "kiv_native_tensors.h"

#include <vector>

#include "kiv_native_waits.h"
#include "page_advice.h"

namespace py = pybind11;

namespace aipudrv {
namespace {

// Tensors of fewer bytes in all are moved with the GIL held: the copy takes
// less than letting another thread take the GIL would, and with many jobs
// in flight another thread (the completion thread, or the submitting one)
// always waits for it, so that each release would cost a switch between
// threads per job. Larger ones are moved without it, so that other threads
// run meanwhile.
constexpr Py_ssize_t kMoveWithTheGil = 64 * 1024;

// The objects' buffers, taken in index order and given back by hand: plain
// Py_buffers, so that a thread the exiting interpreter ends, unwinding
// through a frame that holds them, runs no destructor that touches Python.
class Buffers {
public:
    Buffers(py::handle objects, int flags) {
        views_.resize(static_cast<size_t>(PyList_GET_SIZE(objects.ptr())));
        for (; taken_ < views_.size(); ++taken_) {
            if (PyObject_GetBuffer(PyList_GET_ITEM(objects.ptr(), static_cast<Py_ssize_t>(taken_)), &views_[taken_],
                                   flags) != 0) {
                give_back();
                throw py::error_already_set();
            }
        }
    }
    Buffers(const Buffers&) = delete;
    Buffers& operator=(const Buffers&) = delete;

    void give_back() {
        for (size_t i = 0; i < taken_; ++i) PyBuffer_Release(&views_[i]);
        taken_ = 0;
    }

    size_t size() const { return views_.size(); }
    Py_buffer& operator[](size_t i) { return views_[i]; }

private:
    std::vector<Py_buffer> views_;
    size_t taken_ = 0;
};

// The tensors' sizes from `sizes`, a list with one per object of `objects`.
std::vector<Py_ssize_t> sizes_of(py::handle sizes, py::handle objects) {
    if (!PyList_Check(sizes.ptr()) || !PyList_Check(objects.ptr()) ||
        PyList_GET_SIZE(sizes.ptr()) != PyList_GET_SIZE(objects.ptr())) {
        throw py::type_error("a list of buffers and a list of their sizes are expected");
    }
    std::vector<Py_ssize_t> result(static_cast<size_t>(PyList_GET_SIZE(sizes.ptr())));
    for (size_t i = 0; i < result.size(); ++i) {
        result[i] = PyLong_AsSsize_t(PyList_GET_ITEM(sizes.ptr(), static_cast<Py_ssize_t>(i)));
        if (result[i] == -1 && PyErr_Occurred()) throw py::error_already_set();
    }
    return result;
}

// The first buffer whose length is not its tensor's size, or -1. Checked at
// the moment of the move: an array resized since it was checked must not be
// read or written past its end.
int first_misfit(Buffers& buffers, const std::vector<Py_ssize_t>& sizes) {
    for (size_t i = 0; i < buffers.size(); ++i) {
        if (buffers[i].len != sizes[i]) return static_cast<int>(i);
    }
    return -1;
}

// Moves a job's tensors of one kind between the job and the buffers of the
// objects in `objects` (a list, in index order): the first
// index that failed and its status, (-1, success) when all moved; the
// status is None for a buffer whose length is not its tensor's size.
//
// Reading into new arrays (`zero_first`), each is zero-filled first, at the
// least cost (fresh zero pages for a large one not in memory yet), so that
// what a driver does not write holds nothing of the heap's earlier contents.
py::tuple move_tensors(NPU& npu, uint64_t job_id, py::handle objects, py::handle sizes, bool into_job,
                       bool zero_first = false) {
    const std::vector<Py_ssize_t> expected = sizes_of(sizes, objects);
    Buffers views(objects, into_job ? PyBUF_C_CONTIGUOUS : PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
    const int misfit = first_misfit(views, expected);
    if (misfit >= 0) {
        views.give_back();
        return py::make_tuple(misfit, py::none());
    }
    int failed = -1;
    Py_ssize_t total = 0;
    for (size_t i = 0; i < views.size(); ++i) total += views[i].len;
    auto move_all = [&](kiv_context* ctx) {
        for (size_t i = 0; i < views.size() && zero_first; ++i) kiv::zero_fill(views[i].buf, views[i].len);
        for (size_t i = 0; i < views.size(); ++i) {
            const uint32_t index = static_cast<uint32_t>(i);
            const kiv_status_t moved = into_job
                                           ? ::kiv_load_tensor(ctx, job_id, index, views[i].buf)
                                           : ::kiv_get_tensor(ctx, job_id, KIV_TENSOR_TYPE_OUTPUT, index, views[i].buf);
            if (moved != KIV_STATUS_SUCCESS) {
                failed = static_cast<int>(i);
                return moved;
            }
        }
        return KIV_STATUS_SUCCESS;
    };
    kiv_status_t status;
    if (total < kMoveWithTheGil) {
        HandleUse use(npu);
        status = move_all(use.ctx());
    } else {
        status = call_on_handle(npu, move_all);
    }
    views.give_back();
    return py::make_tuple(failed, status);
}

}  // namespace

void register_kiv_tensors(py::module_& m) {
    m.def(
        "load_inputs",
        [](NPU& npu, uint64_t job_id, py::handle inputs, py::handle sizes) {
            return move_tensors(npu, job_id, inputs, sizes, true);
        },
        py::arg("npu"), py::arg("job_id"), py::arg("inputs"), py::arg("sizes"),
        "Loads the job's inputs from `inputs`, a list of C-contiguous buffers in index order (without the "
        "interpreter lock from 64 KiB in all on): (index of the input that failed, its status), (-1, success) "
        "when all were loaded. "
        "A buffer whose length is not the input's size in `sizes` fails with status None, and nothing is "
        "loaded.");
    m.def(
        "read_outputs",
        [](NPU& npu, uint64_t job_id, py::handle outputs, py::handle sizes, bool zero_first) {
            return move_tensors(npu, job_id, outputs, sizes, false, zero_first);
        },
        py::arg("npu"), py::arg("job_id"), py::arg("outputs"), py::arg("sizes"), py::arg("zero_first") = false,
        "Has the runtime write the job's outputs straight into `outputs`, a list of writable C-contiguous buffers "
        "in index order (without the interpreter lock from 64 KiB in all on): (index of the output that failed, "
        "its status), (-1, success) when all were read. A buffer whose length is not the output's size in `sizes` "
        "fails with "
        "status None, and nothing is written. With `zero_first` (new arrays) each is zero-filled first.");
}

}  // namespace aipudrv
