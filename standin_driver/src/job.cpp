#include "job.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "aipu_driver.h"
#include "page_advice.h"
#include "profile.h"
#include "standin_controls.h"

namespace standin {

Job::Job(uint64_t id, uint64_t graph_id, std::shared_ptr<const Program> program, Placement placement)
    : id_(id), graph_id_(graph_id), program_(std::move(program)), placement_(placement) {
    for (uint32_t idx : program_->inputs) inputs_.emplace_back(program_->tensors[idx].bytes, 0);
    outputs_ = fresh_outputs();
    input_bindings_.resize(inputs_.size());
    output_bindings_.resize(outputs_.size());
}

// Large outputs live on huge pages, as a device's buffers sit in large
// mappings: reading one back then costs what reading a numpy array of that
// size costs, and a caller's copy of it is measured against that.
std::vector<std::vector<uint8_t>> Job::fresh_outputs() const {
    std::vector<std::vector<uint8_t>> out;
    for (uint32_t idx : program_->outputs) {
        const uint32_t bytes = program_->tensors[idx].bytes;
        std::vector<uint8_t>& tensor = out.emplace_back();
        tensor.reserve(bytes);
        kiv::advise_huge_pages(tensor.data(), bytes);
        tensor.resize(bytes);
    }
    return out;
}

uint32_t Job::load_tensor(uint32_t index, const void* data) {
    if (data == nullptr) return AIPU_STATUS_ERROR_NULL_PTR;
    std::lock_guard<std::mutex> lock(mu_);
    if (index >= inputs_.size()) return AIPU_STATUS_ERROR_INVALID_TENSOR_ID;
    std::memcpy(inputs_[index].data(), data, inputs_[index].size());
    return 0;
}

uint32_t Job::get_tensor(uint32_t type, uint32_t index, void* data) {
    if (type > AIPU_TENSOR_TYPE_OUT_TENSOR_SHAPE) return AIPU_STATUS_ERROR_INVALID_TENSOR_TYPE;
    if (data == nullptr) return AIPU_STATUS_ERROR_NULL_PTR;
    std::lock_guard<std::mutex> lock(mu_);
    const std::vector<uint8_t>* tensor = nullptr;
    if (type == AIPU_TENSOR_TYPE_INPUT && index < inputs_.size()) tensor = &inputs_[index];
    if (type == AIPU_TENSOR_TYPE_OUTPUT && index < outputs_.size()) tensor = &outputs_[index];
    if (type == AIPU_TENSOR_TYPE_PROFILER && index == 0) {
        // Zero until a run was profiled.
        if (profile_.empty()) profile_.assign(profile_size(*program_), 0);
        tensor = &profile_;
    }
    // The other tensor kinds exist as types but this device has none of them.
    if (tensor == nullptr) return AIPU_STATUS_ERROR_INVALID_TENSOR_ID;
    std::memcpy(data, tensor->data(), std::min<size_t>(tensor->size(), tensor_write_limit()));
    return 0;
}

uint32_t Job::bind(uint32_t type, uint32_t index, std::unique_ptr<BoundRegion> region) {
    std::lock_guard<std::mutex> lock(mu_);
    auto& list = type == AIPU_TENSOR_TYPE_INPUT ? input_bindings_ : output_bindings_;
    if (index >= list.size()) return AIPU_STATUS_ERROR_INVALID_TENSOR_ID;
    list[index] = std::move(region);
    return 0;
}

void Job::set_dump(DumpConfig cfg) {
    std::lock_guard<std::mutex> lock(mu_);
    dump_ = std::move(cfg);
}

bool Job::prepare_finish() {
    std::lock_guard<std::mutex> lock(mu_);
    if (state_ == State::kQueued || state_ == State::kRunning) return false;
    if (state_ == State::kEnded && result_pending_) return false;
    state_ = State::kQueued;
    flushed_ = false;
    return true;
}

bool Job::prepare_flush(aipu_job_callback_func_t cb) {
    std::unique_lock<std::mutex> lock(mu_);
    if (state_ == State::kQueued || state_ == State::kRunning) {
        lock.unlock();
        return false;  // `cb` is destroyed here, on the caller's thread
    }
    state_ = State::kQueued;
    flushed_ = true;
    result_pending_ = false;
    callback_ = std::move(cb);
    return true;
}

bool Job::wait_ended(std::unique_lock<std::mutex>& lock, int32_t timeout_ms) {
    auto ended = [this] { return state_ == State::kEnded || state_ == State::kIdle; };
    if (timeout_ms < 0) {
        ended_cv_.wait(lock, ended);
        return true;
    }
    return ended_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), ended);
}

bool Job::wait_result(int32_t timeout_ms, uint32_t* job_status) {
    std::unique_lock<std::mutex> lock(mu_);
    if (!wait_ended(lock, timeout_ms)) return false;
    result_pending_ = false;
    *job_status = last_status_;
    return true;
}

aipu_job_status_t Job::peek_status(int32_t timeout_ms) {
    std::unique_lock<std::mutex> lock(mu_);
    if (state_ == State::kIdle) return AIPU_JOB_STATUS_NO_STATUS;
    if (!wait_ended(lock, timeout_ms)) return AIPU_JOB_STATUS_NO_STATUS;
    return static_cast<aipu_job_status_t>(last_status_);
}

void Job::wait_idle() {
    std::unique_lock<std::mutex> lock(mu_);
    wait_ended(lock, -1);
}

RunInput Job::start_run() {
    std::lock_guard<std::mutex> lock(mu_);
    state_ = State::kRunning;
    RunInput run;
    run.inputs = inputs_;
    run.dump = dump_;
    for (size_t i = 0; i < input_bindings_.size(); ++i) {
        if (input_bindings_[i] && !input_bindings_[i]->read(run.inputs[i].data(), run.inputs[i].size())) {
            run.inputs_ok = false;
        }
    }
    return run;
}

aipu_job_callback_func_t Job::end_run(uint32_t job_status, std::vector<std::vector<uint8_t>>&& outputs,
                                      std::vector<uint8_t>&& profile) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!profile.empty()) profile_ = std::move(profile);
    if (job_status == AIPU_JOB_STATUS_DONE) {
        for (size_t i = 0; i < output_bindings_.size(); ++i) {
            if (output_bindings_[i] && !output_bindings_[i]->write(outputs[i].data(), outputs[i].size())) {
                job_status = AIPU_JOB_STATUS_EXCEPTION;
            }
        }
        outputs_ = std::move(outputs);
    }
    last_status_ = job_status;
    state_ = State::kEnded;
    result_pending_ = flushed_;
    ended_cv_.notify_all();
    aipu_job_callback_func_t cb;
    cb.swap(callback_);
    return cb;
}

}  // namespace standin
