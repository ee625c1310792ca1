#include "callback_dispatcher.h"

namespace standin {

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
    shared_->cv.notify_one();
}

void CallbackDispatcher::deliver_loop(std::shared_ptr<Shared> shared) {
    std::unique_lock<std::mutex> lock(shared->mu);
    for (;;) {
        shared->cv.wait(lock, [&] { return !shared->items.empty() || shared->closing; });
        if (shared->items.empty()) return;
        Item item = std::move(shared->items.front());
        shared->items.pop_front();
        lock.unlock();
        try {
            item.cb(item.job_id, static_cast<aipu_job_status_t>(item.job_status));
        } catch (...) {
            // A throwing callable must not take the process down with it.
        }
        // The callable is destroyed here, on this thread, after its call.
        item = Item{};
        lock.lock();
    }
}

}  // namespace standin
