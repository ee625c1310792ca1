#include "executor.h"

#include <sys/prctl.h>

#include <chrono>

#include "interpreter.h"

namespace standin {

Executor::Executor(uint32_t cores) : cores_(cores) {}

Executor::~Executor() {
    shutdown();
}

void Executor::start_cores_locked() {
    if (!threads_.empty()) return;
    for (uint32_t core = 0; core < cores_; ++core) threads_.emplace_back(&Executor::core_loop, this, core);
}

bool Executor::submit(std::shared_ptr<Job> job) {
    bool pinned = false;
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
        pinned = job->placement().core >= 0;
        queue_.push_back(std::move(job));
    }
    // Any idle core takes a job that is not pinned; a pinned one only its
    // own core, so then every idle core looks.
    if (pinned) {
        work_cv_.notify_all();
    } else {
        work_cv_.notify_one();
    }
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

std::shared_ptr<Job> Executor::take_for_locked(uint32_t core) {
    auto chosen = queue_.end();
    for (auto it = queue_.begin(); it != queue_.end(); ++it) {
        const Placement& placement = (*it)->placement();
        if (placement.core >= 0 && static_cast<uint32_t>(placement.core) != core) continue;
        if (chosen == queue_.end() || placement.qos > (*chosen)->placement().qos) chosen = it;
    }
    if (chosen == queue_.end()) return nullptr;
    std::shared_ptr<Job> job = std::move(*chosen);
    queue_.erase(chosen);
    return job;
}

void Executor::core_loop(uint32_t core) {
    // A core's timed waits are the device time of the operations it runs:
    // they end when due, not up to the default 50 us later that the kernel
    // may add to a sleeping thread's wake-up to batch timers.
    prctl(PR_SET_TIMERSLACK, 1UL);
    for (;;) {
        std::shared_ptr<Job> job;
        {
            std::unique_lock<std::mutex> lock(mu_);
            work_cv_.wait(lock, [&] { return stopping_ || (job = take_for_locked(core)) != nullptr; });
            if (!job) return;
        }
        run_job(job, core);
    }
}

void Executor::run_job(const std::shared_ptr<Job>& job, uint32_t core) {
    RunInput run = job->start_run();
    const std::string stem = (run.dump.prefix.empty() ? "job" : run.dump.prefix) + "_" + std::to_string(job->id());
    if (run.dump.inputs) dump_tensors(run.dump, stem, "input", run.inputs);
    std::vector<std::vector<uint8_t>> outputs = job->fresh_outputs();
    const bool profiled = profiling();
    RunProfile profile{core, monotonic_ns(), 0, {}};
    uint32_t status = AIPU_JOB_STATUS_EXCEPTION;
    if (run.inputs_ok) {
        status = run_program(
            job->program(), run.inputs, outputs, [this](uint32_t ms) { return sleep_ms(ms); },
            profiled ? &profile.ops : nullptr);
    }
    profile.duration_ns = monotonic_ns() - profile.start_ns;
    if (status == AIPU_JOB_STATUS_DONE && run.dump.outputs) dump_tensors(run.dump, stem, "output", outputs);
    // Idle before the waiters wake, so that a caller seeing the job end also
    // sees the device idle.
    --active_;
    std::vector<uint8_t> profile_tensor = profiled ? encode_profile(job->program(), profile) : std::vector<uint8_t>{};
    callbacks_.post(job->id(), status, job->end_run(status, std::move(outputs), std::move(profile_tensor)));
}

}  // namespace standin
