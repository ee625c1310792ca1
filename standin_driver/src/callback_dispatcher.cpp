#include "callback_dispatcher.h"

#include <nlohmann/json.hpp>

#include <chrono>

#include "aipu_standin.h"
#include "call_recorder.h"
#include "standin_controls.h"

namespace standin {

namespace {

// What the callable handed back, so that tests can see the runtime's value
// arrive; null when the callable threw instead.
void record_completion(uint64_t job_id, uint32_t job_status, const nlohmann::json& result) {
    CallRecorder& recorder = CallRecorder::instance();
    if (!recorder.enabled()) return;
    recorder.record("completion", {{"job_id", job_id}, {"status", job_status}, {"result", result}});
}

}  // namespace

CallbackDispatcher::CallbackDispatcher() : shared_(std::make_shared<Shared>()) {}

CallbackDispatcher::~CallbackDispatcher() {
    {
        std::lock_guard<std::mutex> lock(shared_->mu);
        shared_->closing = true;
    }
    shared_->cv.notify_all();
    if (thread_.joinable()) thread_.detach();
}

void CallbackDispatcher::post(uint64_t job_id, uint32_t job_status, aipu_job_callback_func_t cb) {
    if (!cb) return;
    {
        std::lock_guard<std::mutex> lock(start_mu_);
        if (!thread_.joinable()) thread_ = std::thread(deliver_loop, shared_);
    }
    {
        std::lock_guard<std::mutex> lock(shared_->mu);
        shared_->items.push_back(Item{job_id, job_status, std::move(cb)});
    }
    shared_->cv.notify_all();
}

void CallbackDispatcher::drain() {
    std::unique_lock<std::mutex> lock(shared_->mu);
    if (shared_->deliverer == std::this_thread::get_id()) return;
    shared_->cv.wait(lock, [&] { return shared_->items.empty() && !shared_->delivering; });
}

// Calls the item's callable as the completion fault in force says: held
// back while completions are late, twice, or not at all.
void CallbackDispatcher::deliver(Item& item) {
    while (completion_fault() == AIPU_STANDIN_COMPLETION_LATE) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const uint32_t fault = completion_fault();
    const int calls = fault == AIPU_STANDIN_COMPLETION_NEVER ? 0 : fault == AIPU_STANDIN_COMPLETION_TWICE ? 2 : 1;
    for (int i = 0; i < calls; ++i) {
        nlohmann::json result;
        try {
            result = item.cb(item.job_id, static_cast<aipu_job_status_t>(item.job_status));
        } catch (...) {
            // A throwing callable must not take the process down with it.
        }
        try {
            record_completion(item.job_id, item.job_status, result);
        } catch (...) {
            // Nor may a failed record end the delivery thread.
        }
    }
}

void CallbackDispatcher::deliver_loop(std::shared_ptr<Shared> shared) {
    std::unique_lock<std::mutex> lock(shared->mu);
    shared->deliverer = std::this_thread::get_id();
    for (;;) {
        shared->cv.wait(lock, [&] { return !shared->items.empty() || shared->closing; });
        if (shared->items.empty()) return;
        Item item = std::move(shared->items.front());
        shared->items.pop_front();
        shared->delivering = true;
        lock.unlock();
        deliver(item);
        // The callable is destroyed here, on this thread, after its call.
        item = Item{};
        lock.lock();
        shared->delivering = false;
        shared->cv.notify_all();
    }
}

}  // namespace standin
