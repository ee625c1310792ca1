#include "executor.h"

#include <chrono>

#include "interpreter.h"

namespace standin {

Executor::Executor(uint32_t cores) : cores_(cores) {}

Executor::~Executor() {
    shutdown();
}

void Executor::start_cores_locked() {
    if (!threads_.empty()) return;
    for (uint32_t i = 0; i < cores_; ++i) threads_.emplace_back(&Executor::core_loop, this);
}

bool Executor::submit(std::shared_ptr<Job> job) {
    {
        std::unique_lock<std::mutex> lock(mu_);
        if (stopping_) {
            lock.unlock();
            // Nobody will run it: end it at once so that no waiter hangs.
            job->start_run();
            callbacks_.post(job->id(), AIPU_JOB_STATUS_EXCEPTION,
                            job->end_run(AIPU_JOB_STATUS_EXCEPTION, job->fresh_outputs()));
            return false;
        }
        start_cores_locked();
        ++active_;
        queue_.push_back(std::move(job));
    }
    work_cv_.notify_one();
    return true;
}

void Executor::shutdown() {
    std::deque<std::shared_ptr<Job>> abandoned;
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (stopping_ && threads_.empty() && queue_.empty()) return;
        stopping_ = true;
        abandoned.swap(queue_);
        threads.swap(threads_);
    }
    work_cv_.notify_all();
    stop_cv_.notify_all();
    for (const auto& job : abandoned) {
        job->start_run();
        --active_;
        callbacks_.post(job->id(), AIPU_JOB_STATUS_EXCEPTION,
                        job->end_run(AIPU_JOB_STATUS_EXCEPTION, job->fresh_outputs()));
    }
    for (auto& t : threads) t.join();
}

bool Executor::sleep_ms(uint32_t ms) {
    std::unique_lock<std::mutex> lock(mu_);
    return !stop_cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

void Executor::core_loop() {
    for (;;) {
        std::shared_ptr<Job> job;
        {
            std::unique_lock<std::mutex> lock(mu_);
            work_cv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            job = std::move(queue_.front());
            queue_.pop_front();
        }
        run_job(job);
    }
}

void Executor::run_job(const std::shared_ptr<Job>& job) {
    RunInput run = job->start_run();
    const std::string stem = (run.dump.prefix.empty() ? "job" : run.dump.prefix) + "_" + std::to_string(job->id());
    if (run.dump.inputs) dump_tensors(run.dump, stem, "input", run.inputs);
    std::vector<std::vector<uint8_t>> outputs = job->fresh_outputs();
    uint32_t status = AIPU_JOB_STATUS_EXCEPTION;
    if (run.inputs_ok) {
        status = run_program(job->program(), run.inputs, outputs, [this](uint32_t ms) { return sleep_ms(ms); });
    }
    if (status == AIPU_JOB_STATUS_DONE && run.dump.outputs) dump_tensors(run.dump, stem, "output", outputs);
    // Idle before the waiters wake, so that a caller seeing the job end also
    // sees the device idle.
    --active_;
    callbacks_.post(job->id(), status, job->end_run(status, std::move(outputs)));
}

}  // namespace standin
