// The simulated NPU cores: one thread per core, started on first use, that
// run queued jobs. A free core takes the queued job of the highest QoS level
// (the earliest among equals) that is not pinned to another core.
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

    // Whether runs record a profile (ioctl 255).
    void set_profiling(bool on) { profiling_ = on; }
    bool profiling() const { return profiling_.load(); }

    CallbackDispatcher& callbacks() { return callbacks_; }

private:
    void core_loop(uint32_t core);
    void run_job(const std::shared_ptr<Job>& job, uint32_t core);
    void start_cores_locked();
    std::shared_ptr<Job> take_for_locked(uint32_t core);

    const uint32_t cores_;
    std::mutex mu_;
    std::condition_variable work_cv_;
    std::condition_variable stop_cv_;
    std::deque<std::shared_ptr<Job>> queue_;
    std::vector<std::thread> threads_;
    bool stopping_ = false;
    std::atomic<int> active_{0};
    std::atomic<bool> profiling_{false};
    CallbackDispatcher callbacks_;
};

}  // namespace standin

#endif  // STANDIN_EXECUTOR_H
