// The simulated NPU cores: a small pool of threads per context that run
// queued jobs, started on first use.
#ifndef STANDIN_EXECUTOR_H
#define STANDIN_EXECUTOR_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "callback_dispatcher.h"
#include "job.h"

namespace standin {

class Executor {
public:
    explicit Executor(uint32_t cores);
    ~Executor();  // shuts down if not done yet
    Executor(const Executor&) = delete;
    Executor& operator=(const Executor&) = delete;

    // Queues a job whose state was already set to queued. After shutdown the
    // job is ended as an exception at once and false is returned.
    bool submit(std::shared_ptr<Job> job);

    // Cuts waits short, ends queued jobs as exceptions without running them,
    // and joins the cores.
    void shutdown();

    // Jobs queued or running (batches included).
    bool busy() const { return active_.load() != 0; }
    void add_active(int delta) { active_ += delta; }

    // Sleeps `ms` unless shut down first; false when cut short.
    bool sleep_ms(uint32_t ms);

    CallbackDispatcher& callbacks() { return callbacks_; }

private:
    void core_loop();
    void run_job(const std::shared_ptr<Job>& job);
    void start_cores_locked();

    const uint32_t cores_;
    std::mutex mu_;
    std::condition_variable work_cv_;
    std::condition_variable stop_cv_;
    std::deque<std::shared_ptr<Job>> queue_;
    std::vector<std::thread> threads_;
    bool stopping_ = false;
    std::atomic<int> active_{0};
    CallbackDispatcher callbacks_;
};

}  // namespace standin

#endif  // STANDIN_EXECUTOR_H
