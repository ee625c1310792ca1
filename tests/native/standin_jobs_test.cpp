// Job execution in the stand-in driver: synchronous and asynchronous runs,
// time-outs, exceptions, callbacks and their threads, cleaning, dumps and
// shutting down with work in flight.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "aipu_standin_loader.h"
#include "driver_context_test.h"
#include "kiv_api.h"
#include "npu_program_builder.h"

namespace {

using npu_program::ProgramBuilder;
constexpr auto kGenerous = std::chrono::seconds(120);

// y = x + 1 on int32, optionally preceded by a wait and ended by a raise.
std::vector<uint8_t> add_one_program(uint32_t wait_ms = 0, uint32_t raise = 0) {
    ProgramBuilder b;
    const uint32_t x = b.input({4}, KIV_DATA_TYPE_S32);
    const uint32_t one = b.constant<int32_t>({4}, KIV_DATA_TYPE_S32, {1, 1, 1, 1});
    const uint32_t y = b.output({4}, KIV_DATA_TYPE_S32);
    if (wait_ms) b.wait_ms(wait_ms);
    b.add(y, x, one);
    if (raise) b.raise_exception(raise);
    return b.build();
}

class JobsTest : public DriverContextTest {
protected:
    uint64_t job_on(uint64_t graph) {
        uint64_t job = 0;
        EXPECT_EQ(drv.aipu_create_job(ctx, graph, &job, nullptr), 0u);
        return job;
    }
};

// Counts completions and lets a test wait for a number of them.
struct CompletionLog {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::pair<uint64_t, uint32_t>> calls;

    aipu_job_callback_func_t callback(int result = 0) {
        return [this, result](uint64_t id, aipu_job_status_t st) {
            std::lock_guard<std::mutex> lock(mu);
            calls.emplace_back(id, st);
            cv.notify_all();
            return result;
        };
    }
    bool wait_for(size_t n) {
        std::unique_lock<std::mutex> lock(mu);
        return cv.wait_for(lock, kGenerous, [&] { return calls.size() >= n; });
    }
};

TEST_F(JobsTest, SynchronousRunFromSeveralThreads) {
    const uint64_t graph = load(add_one_program());
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                uint64_t job = 0;
                if (drv.aipu_create_job(ctx, graph, &job, nullptr) != 0) ++failures;
                const int32_t in[4] = {t, i, -t, -i};
                int32_t out[4] = {};
                if (drv.aipu_load_tensor(ctx, job, 0, in) != 0) ++failures;
                if (drv.aipu_finish_job(ctx, job, -1) != 0) ++failures;
                if (drv.aipu_get_tensor(ctx, job, KIV_TENSOR_TYPE_OUTPUT, 0, out) != 0) ++failures;
                for (int k = 0; k < 4; ++k) failures += out[k] != in[k] + 1;
                if (drv.aipu_clean_job(ctx, job) != 0) ++failures;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST_F(JobsTest, TimeoutLeavesTheJobRunning) {
    const uint64_t job = job_on(load(add_one_program(300)));
    const int32_t in[4] = {1, 2, 3, 4};
    ASSERT_EQ(drv.aipu_load_tensor(ctx, job, 0, in), 0u);
    // The run takes at least 300 ms, so a zero wait always expires.
    EXPECT_EQ(drv.aipu_finish_job(ctx, job, 0), uint32_t(KIV_STATUS_ERROR_JOB_TIMEOUT));
    aipu_job_status_t st = AIPU_JOB_STATUS_DONE;
    ASSERT_EQ(drv.aipu_get_job_status(ctx, job, &st, 0), 0u);
    EXPECT_EQ(st, AIPU_JOB_STATUS_NO_STATUS);
    uint32_t dev = 0;
    ASSERT_EQ(drv.aipu_get_device_status(ctx, &dev), 0u);
    EXPECT_EQ(dev, uint32_t(KIV_DEV_BUSY));
    EXPECT_EQ(drv.aipu_finish_job(ctx, job, -1), 0u);
    ASSERT_EQ(drv.aipu_get_job_status(ctx, job, &st, 0), 0u);
    EXPECT_EQ(st, AIPU_JOB_STATUS_DONE);
    ASSERT_EQ(drv.aipu_get_device_status(ctx, &dev), 0u);
    EXPECT_EQ(dev, uint32_t(KIV_DEV_IDLE));
    int32_t out[4] = {};
    ASSERT_EQ(drv.aipu_get_tensor(ctx, job, KIV_TENSOR_TYPE_OUTPUT, 0, out), 0u);
    EXPECT_EQ(out[3], 5);
    // Finishing again runs the job again.
    const int32_t in2[4] = {10, 20, 30, 40};
    ASSERT_EQ(drv.aipu_load_tensor(ctx, job, 0, in2), 0u);
    EXPECT_EQ(drv.aipu_finish_job(ctx, job, -1), 0u);
    ASSERT_EQ(drv.aipu_get_tensor(ctx, job, KIV_TENSOR_TYPE_OUTPUT, 0, out), 0u);
    EXPECT_EQ(out[0], 11);
}

TEST_F(JobsTest, UnknownIdsAreRefused) {
    const uint64_t graph = load(add_one_program());
    const uint64_t job = job_on(graph);
    const uint64_t bogus = job + 100000;
    int32_t buf[4] = {};
    aipu_job_status_t st;
    EXPECT_EQ(drv.aipu_finish_job(ctx, bogus, 0), uint32_t(KIV_STATUS_ERROR_INVALID_JOB_ID));
    EXPECT_EQ(drv.aipu_flush_job(ctx, bogus, nullptr), uint32_t(KIV_STATUS_ERROR_INVALID_JOB_ID));
    EXPECT_EQ(drv.aipu_get_job_status(ctx, bogus, &st, 0), uint32_t(KIV_STATUS_ERROR_INVALID_JOB_ID));
    EXPECT_EQ(drv.aipu_load_tensor(ctx, bogus, 0, buf), uint32_t(KIV_STATUS_ERROR_INVALID_JOB_ID));
    EXPECT_EQ(drv.aipu_clean_job(ctx, bogus), uint32_t(KIV_STATUS_ERROR_INVALID_JOB_ID));
    uint64_t bogus_out = 0;
    EXPECT_EQ(drv.aipu_create_job(ctx, bogus, &bogus_out, nullptr), uint32_t(KIV_STATUS_ERROR_INVALID_GRAPH_ID));
    // A job id is not a graph id and the other way round.
    EXPECT_EQ(drv.aipu_create_job(ctx, job, &bogus_out, nullptr), uint32_t(KIV_STATUS_ERROR_INVALID_GRAPH_ID));
    EXPECT_EQ(drv.aipu_finish_job(ctx, graph, 0), uint32_t(KIV_STATUS_ERROR_INVALID_JOB_ID));
    EXPECT_EQ(drv.aipu_load_tensor(ctx, job, 1, buf), uint32_t(KIV_STATUS_ERROR_INVALID_TENSOR_ID));
    EXPECT_EQ(drv.aipu_get_tensor(ctx, job, KIV_TENSOR_TYPE_OUTPUT, 1, buf),
              uint32_t(KIV_STATUS_ERROR_INVALID_TENSOR_ID));
    EXPECT_EQ(drv.aipu_get_tensor(ctx, job, 9, 0, buf), uint32_t(KIV_STATUS_ERROR_INVALID_TENSOR_TYPE));
    // Unloading the graph leaves its jobs usable until cleaned.
    ASSERT_EQ(drv.aipu_unload_graph(ctx, graph), 0u);
    EXPECT_EQ(drv.aipu_unload_graph(ctx, graph), uint32_t(KIV_STATUS_ERROR_INVALID_GRAPH_ID));
    ASSERT_EQ(drv.aipu_load_tensor(ctx, job, 0, buf), 0u);
    EXPECT_EQ(drv.aipu_finish_job(ctx, job, -1), 0u);
    EXPECT_EQ(drv.aipu_clean_job(ctx, job), 0u);
    EXPECT_EQ(drv.aipu_clean_job(ctx, job), uint32_t(KIV_STATUS_ERROR_INVALID_JOB_ID));
}

TEST_F(JobsTest, HundredsOfAsyncJobsCallBackExactlyOnce) {
    const uint64_t graph = load(add_one_program());
    constexpr int kThreads = 4, kPerThread = 100;
    CompletionLog log;
    std::vector<std::vector<uint64_t>> ids(kThreads);
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                uint64_t job = 0;
                failures += drv.aipu_create_job(ctx, graph, &job, nullptr) != 0;
                ids[t].push_back(job);
                failures += drv.aipu_flush_job(ctx, job, log.callback()) != 0;
            }
        });
    }
    for (auto& th : threads) th.join();
    ASSERT_EQ(failures.load(), 0);
    ASSERT_TRUE(log.wait_for(kThreads * kPerThread));
    // Everything is delivered; clean the jobs (which waits for nothing now)
    // and check nobody was called twice or left out.
    std::map<uint64_t, int> seen;
    {
        std::lock_guard<std::mutex> lock(log.mu);
        for (auto& c : log.calls) {
            ++seen[c.first];
            EXPECT_EQ(c.second, uint32_t(AIPU_JOB_STATUS_DONE));
        }
    }
    for (auto& list : ids) {
        for (uint64_t id : list) {
            EXPECT_EQ(seen[id], 1) << id;
            EXPECT_EQ(drv.aipu_clean_job(ctx, id), 0u);
        }
    }
    std::lock_guard<std::mutex> lock(log.mu);
    EXPECT_EQ(log.calls.size(), size_t(kThreads * kPerThread));
}

TEST_F(JobsTest, BlockedCallbackDoesNotStopOtherJobs) {
    const uint64_t graph = load(add_one_program());
    const uint64_t first = job_on(graph);
    const uint64_t second = job_on(graph);
    std::mutex held;
    std::unique_lock<std::mutex> hold(held);  // like an interpreter lock held by this thread
    std::atomic<bool> entered{false}, done{false};
    ASSERT_EQ(drv.aipu_flush_job(ctx, first,
                                 [&](uint64_t, aipu_job_status_t) {
                                     entered = true;
                                     std::lock_guard<std::mutex> lock(held);
                                     done = true;
                                     return 0;
                                 }),
              0u);
    // Once the first callback is stuck on `held`, the second job still runs
    // and finishes, synchronously and asynchronously.
    const auto deadline = std::chrono::steady_clock::now() + kGenerous;
    while (!entered.load()) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::this_thread::yield();
    }
    EXPECT_EQ(drv.aipu_finish_job(ctx, second, -1), 0u);
    CompletionLog log;
    ASSERT_EQ(drv.aipu_flush_job(ctx, second, log.callback()), 0u);
    aipu_job_status_t st = AIPU_JOB_STATUS_NO_STATUS;
    ASSERT_EQ(drv.aipu_get_job_status(ctx, second, &st, -1), 0u);
    EXPECT_EQ(st, AIPU_JOB_STATUS_DONE);
    EXPECT_FALSE(done.load());
    hold.unlock();
    ASSERT_TRUE(log.wait_for(1));
    EXPECT_TRUE(done.load());  // callbacks are delivered in completion order
}

TEST_F(JobsTest, CallbackRunsAndDiesOffTheCallingThread) {
    const uint64_t job = job_on(load(add_one_program(0, 3)));
    // Built in place: a temporary Token would record its own death on this
    // thread before the real one dies on the callback thread.
    struct Token {
        Token(std::mutex* m, std::thread::id* d) : mu(m), died_on(d) {}
        std::mutex* mu;
        std::thread::id* died_on;
        ~Token() {
            std::lock_guard<std::mutex> lock(*mu);
            *died_on = std::this_thread::get_id();
        }
    };
    std::mutex mu;
    std::thread::id called_on, died_on;
    CompletionLog log;
    {
        auto token = std::make_shared<Token>(&mu, &died_on);
        aipu_job_callback_func_t cb = [token, &mu, &called_on, &log](uint64_t id, aipu_job_status_t st) {
            {
                std::lock_guard<std::mutex> lock(mu);
                called_on = std::this_thread::get_id();
            }
            return log.callback(17)(id, st);
        };
        token.reset();
        ASSERT_EQ(drv.aipu_flush_job(ctx, job, std::move(cb)), 0u);
    }
    ASSERT_TRUE(log.wait_for(1));
    EXPECT_EQ(log.calls[0].first, job);
    EXPECT_EQ(log.calls[0].second, 3u);  // the raised status, passed on raw
    // The exception outcome is collected once, by whoever asks first.
    EXPECT_EQ(drv.aipu_finish_job(ctx, job, -1), uint32_t(KIV_STATUS_ERROR_JOB_EXCEPTION));
    EXPECT_EQ(drv.aipu_clean_job(ctx, job), 0u);
    ASSERT_EQ(drv.aipu_deinit_context(ctx), 0u);
    ctx = nullptr;
    // The token dies with the last copy of the callable: on the callback
    // thread, after the call. Wait for that without sleeping blindly.
    const auto deadline = std::chrono::steady_clock::now() + kGenerous;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mu);
            if (died_on != std::thread::id()) break;
        }
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::this_thread::yield();
    }
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_NE(called_on, std::this_thread::get_id());
    EXPECT_EQ(died_on, called_on);
}

TEST_F(JobsTest, EmptyCallbackAndDoubleSubmission) {
    const uint64_t job = job_on(load(add_one_program(200)));
    ASSERT_EQ(drv.aipu_flush_job(ctx, job, aipu_job_callback_func_t()), 0u);
    // Already queued or running: a second submission is refused.
    EXPECT_EQ(drv.aipu_flush_job(ctx, job, nullptr), uint32_t(KIV_STATUS_ERROR_JOB_DISPATCH_FAIL));
    // Cleaning a running job waits for it.
    EXPECT_EQ(drv.aipu_clean_job(ctx, job), 0u);
    aipu_job_status_t st;
    EXPECT_EQ(drv.aipu_get_job_status(ctx, job, &st, 0), uint32_t(KIV_STATUS_ERROR_INVALID_JOB_ID));
}

TEST_F(JobsTest, DeinitWithJobsInFlightEndsThemAsExceptions) {
    const uint64_t graph = load(add_one_program(600000));
    CompletionLog log;
    std::vector<uint64_t> jobs;
    for (int i = 0; i < 8; ++i) {  // more than the cores: some stay queued
        jobs.push_back(job_on(graph));
        ASSERT_EQ(drv.aipu_flush_job(ctx, jobs.back(), log.callback()), 0u);
    }
    // A thread waiting for a job when the context closes is woken, not left
    // hanging. It may or may not have entered the wait before the close.
    std::thread waiter([&] {
        const uint32_t s = drv.aipu_finish_job(ctx, jobs[0], -1);
        EXPECT_TRUE(s == KIV_STATUS_ERROR_JOB_EXCEPTION || s == KIV_STATUS_ERROR_INVALID_CTX) << s;
    });
    while (drv.describe_last_call("aipu_finish_job").empty()) std::this_thread::yield();
    EXPECT_EQ(drv.aipu_standin_open_context_count(), 1u);
    ASSERT_EQ(drv.aipu_deinit_context(ctx), 0u);
    waiter.join();
    EXPECT_EQ(drv.aipu_standin_open_context_count(), 0u);
    ASSERT_TRUE(log.wait_for(jobs.size()));
    for (auto& c : log.calls) EXPECT_EQ(c.second, uint32_t(AIPU_JOB_STATUS_EXCEPTION));
    EXPECT_EQ(drv.aipu_finish_job(ctx, jobs[1], 0), uint32_t(KIV_STATUS_ERROR_INVALID_CTX));
    ctx = nullptr;
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

TEST_F(JobsTest, DumpWritesInputsAndOutputs) {
    char dir_template[] = "/tmp/standin_dumpXXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template;
    const uint64_t job = job_on(load(add_one_program()));
    EXPECT_EQ(drv.aipu_config_job(ctx, job, KIV_JOB_CONFIG_TYPE_DUMP_INPUT, nullptr),
              uint32_t(KIV_STATUS_ERROR_INVALID_CONFIG));
    aipu_job_config_dump_t missing{"/nonexistent/dir", nullptr, nullptr, nullptr};
    EXPECT_EQ(drv.aipu_config_job(ctx, job, KIV_JOB_CONFIG_TYPE_DUMP_INPUT, &missing),
              uint32_t(KIV_STATUS_ERROR_INVALID_CONFIG));
    EXPECT_EQ(drv.aipu_config_job(ctx, job, KIV_JOB_CONFIG_TYPE_DUMP_TEXT, nullptr), 0u);
    aipu_job_config_dump_t cfg{dir.c_str(), "run", nullptr, nullptr};
    ASSERT_EQ(drv.aipu_config_job(ctx, job, KIV_JOB_CONFIG_TYPE_DUMP_INPUT | KIV_JOB_CONFIG_TYPE_DUMP_OUTPUT, &cfg),
              0u);
    const int32_t in[4] = {5, 6, 7, 8};
    ASSERT_EQ(drv.aipu_load_tensor(ctx, job, 0, in), 0u);
    ASSERT_EQ(drv.aipu_finish_job(ctx, job, -1), 0u);
    const std::string stem = dir + "/run_" + std::to_string(job);
    const auto input = read_file(stem + "_input0.bin");
    const auto output = read_file(stem + "_output0.bin");
    ASSERT_EQ(input.size(), 16u);
    ASSERT_EQ(output.size(), 16u);
    EXPECT_EQ(std::memcmp(input.data(), in, 16), 0);
    int32_t out[4];
    std::memcpy(out, output.data(), 16);
    EXPECT_EQ(out[0], 6);
    EXPECT_EQ(out[3], 9);
    std::remove((stem + "_input0.bin").c_str());
    std::remove((stem + "_output0.bin").c_str());
    std::remove(dir.c_str());
}

}  // namespace
