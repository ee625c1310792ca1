// Asynchronous inference through the runtime and the stand-in's completion
// thread.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "kiv_api.h"
#include "kiv_log.h"
#include "live_context.h"
#include "standin_controls.h"
#include "stderr_capture.h"
#include "test_paths.h"
#include "test_programs.h"

namespace {

// Deadlock guard only: every wait here normally ends in milliseconds.
constexpr auto kGenerous = std::chrono::seconds(120);

struct Completion {
    uint64_t job_id = 0;
    int status = -1;
};

class AsyncTest : public ::testing::Test {
protected:
    kiv_context* ctx() const { return live_.get(); }

    uint64_t start_job(uint64_t graph_id, const std::vector<uint8_t>& input) {
        uint64_t job_id = 0;
        EXPECT_EQ(kiv_create_job(ctx(), graph_id, &job_id, nullptr), KIV_STATUS_SUCCESS);
        EXPECT_EQ(kiv_load_tensor(ctx(), job_id, 0, input.data()), KIV_STATUS_SUCCESS);
        return job_id;
    }

    // Runs one job of `program` asynchronously and returns what the callback saw.
    Completion complete_once(const std::vector<uint8_t>& program) {
        const uint64_t graph_id = load_program(ctx(), program);
        const uint64_t job_id = start_job(graph_id, {1, 2, 3, 4});
        std::promise<Completion> seen;
        auto future = seen.get_future();
        EXPECT_EQ(kiv_job_infer_async(ctx(), job_id,
                                      [&seen](uint64_t id, job_status_t status) {
                                          seen.set_value({id, static_cast<int>(status)});
                                          return 0;
                                      }),
                  KIV_STATUS_SUCCESS);
        EXPECT_EQ(future.wait_for(kGenerous), std::future_status::ready);
        const Completion result = future.get();
        EXPECT_EQ(result.job_id, job_id);
        EXPECT_EQ(kiv_clean_job(ctx(), job_id), KIV_STATUS_SUCCESS);
        EXPECT_EQ(kiv_unload_graph(ctx(), graph_id), KIV_STATUS_SUCCESS);
        return result;
    }

    // The stand-in's record of the completion of `job_id`, awaited; null if it
    // never came. The record is made after the callable returned.
    nlohmann::json await_completion_record(uint64_t job_id) const {
        const auto deadline = std::chrono::steady_clock::now() + kGenerous;
        for (;;) {
            const std::string text = standin_.describe_last_call("completion");
            if (!text.empty()) {
                nlohmann::json record = nlohmann::json::parse(text);
                if (record["job_id"] == job_id) return record;
            }
            if (std::chrono::steady_clock::now() >= deadline) return nullptr;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    StandinControls standin_{standin_library_path()};
    LiveContext live_;
};

}  // namespace

TEST_F(AsyncTest, CompletionStatusesAreTranslated) {
    EXPECT_EQ(complete_once(copy_program(4)).status, KIV_JOB_STATUS_DONE);
    EXPECT_EQ(complete_once(raising_program(2)).status, KIV_JOB_STATUS_EXCEPTION);
    EXPECT_EQ(complete_once(raising_program(3)).status, 3);
    EXPECT_EQ(complete_once(raising_program(7)).status, 3);
}

TEST_F(AsyncTest, OutputsAreReadyWhenTheCallbackRuns) {
    const uint64_t graph_id = load_program(ctx(), copy_program(4));
    const std::vector<uint8_t> input = {7, 7, 1, 2};
    const uint64_t job_id = start_job(graph_id, input);
    std::promise<std::vector<uint8_t>> output;
    auto future = output.get_future();
    ASSERT_EQ(kiv_job_infer_async(ctx(), job_id,
                                  [&](uint64_t id, job_status_t) {
                                      std::vector<uint8_t> data(4);
                                      kiv_get_tensor(ctx(), id, KIV_TENSOR_TYPE_OUTPUT, 0, data.data());
                                      output.set_value(data);
                                      return 0;
                                  }),
              KIV_STATUS_SUCCESS);
    ASSERT_EQ(future.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(future.get(), input);
    EXPECT_EQ(kiv_clean_job(ctx(), job_id), KIV_STATUS_SUCCESS);
    EXPECT_EQ(kiv_unload_graph(ctx(), graph_id), KIV_STATUS_SUCCESS);
}

TEST_F(AsyncTest, EmptyCallableStillCompletesTheJob) {
    const uint64_t graph_id = load_program(ctx(), copy_program(4));
    const uint64_t job_id = start_job(graph_id, {1, 1, 1, 1});
    StderrCapture capture;
    ASSERT_EQ(kiv_job_infer_async(ctx(), job_id, kiv_job_callback_t{}), KIV_STATUS_SUCCESS);
    job_status_t status = KIV_JOB_STATUS_NO_STATUS;
    ASSERT_EQ(kiv_get_job_status(ctx(), job_id, &status, -1), KIV_STATUS_SUCCESS);
    EXPECT_EQ(status, KIV_JOB_STATUS_DONE);
    // Cleaning waits for the job, completion delivery included.
    EXPECT_EQ(kiv_clean_job(ctx(), job_id), KIV_STATUS_SUCCESS);
    EXPECT_EQ(capture.finish(), "");
    EXPECT_EQ(kiv_unload_graph(ctx(), graph_id), KIV_STATUS_SUCCESS);
}

TEST_F(AsyncTest, ThrowingCallableIsReportedAndContained) {
    const int32_t saved = get_logger_config()->load();
    set_log_level(LogLevel::INFO);
    const uint64_t graph_id = load_program(ctx(), copy_program(4));
    const uint64_t job_id = start_job(graph_id, {1, 2, 3, 4});
    const std::string expected = log_record_pattern(
        "aipu_adapter", "ERROR",
        "bridge_job_completion: completion callback of job " + std::to_string(job_id) + " threw: callback failed\n");
    StderrCapture capture;
    ASSERT_EQ(
        kiv_job_infer_async(ctx(), job_id,
                            [](uint64_t, job_status_t) -> int32_t { throw std::runtime_error("callback failed"); }),
        KIV_STATUS_SUCCESS);
    // The record is written on the driver's thread after the throw; await it.
    const auto deadline = std::chrono::steady_clock::now() + kGenerous;
    while (!matches_whole(capture.peek(), expected) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const std::string text = capture.finish();
    get_logger_config()->store(saved);
    EXPECT_TRUE(matches_whole(text, expected)) << text;
    // The process and the context survive it.
    const JobRun run = run_job(ctx(), graph_id, {{5, 6, 7, 8}});
    EXPECT_EQ(run.status, KIV_STATUS_SUCCESS);
    EXPECT_EQ(kiv_clean_job(ctx(), job_id), KIV_STATUS_SUCCESS);
    EXPECT_EQ(kiv_unload_graph(ctx(), graph_id), KIV_STATUS_SUCCESS);
}

// What the driver's completion call returns is the runtime callable's
// integer; with no callable it is 0, and a throw is reported and becomes -1.
TEST_F(AsyncTest, CallableResultReachesTheDriver) {
    const int32_t saved = get_logger_config()->load();
    set_log_level(LogLevel::INFO);
    const uint64_t graph_id = load_program(ctx(), copy_program(4));
    const struct {
        const char* name;
        kiv_job_callback_t cb;
        int result;
        bool reports;
    } cases[] = {
        {"returning", [](uint64_t, job_status_t) { return 1234; }, 1234, false},
        {"empty", kiv_job_callback_t{}, 0, false},
        {"throwing", [](uint64_t, job_status_t) -> int32_t { throw std::runtime_error("callback failed"); }, -1, true},
    };
    for (const auto& c : cases) {
        const uint64_t job_id = start_job(graph_id, {1, 2, 3, 4});
        standin_.reset_calls();
        StderrCapture capture;
        EXPECT_EQ(kiv_job_infer_async(ctx(), job_id, c.cb), KIV_STATUS_SUCCESS) << c.name;
        const nlohmann::json record = await_completion_record(job_id);
        // The bridge logs before it returns, so stderr is complete by now.
        const std::string text = capture.finish();
        if (!record.is_object()) {
            ADD_FAILURE() << c.name << ": no completion recorded";
            continue;
        }
        EXPECT_EQ(record["status"], AIPU_JOB_STATUS_DONE) << c.name;
        EXPECT_EQ(record["result"], c.result) << c.name;
        if (c.reports) {
            EXPECT_TRUE(
                matches_whole(text, log_record_pattern("aipu_adapter", "ERROR",
                                                       "bridge_job_completion: completion callback of job " +
                                                           std::to_string(job_id) + " threw: callback failed\n")))
                << text;
        } else {
            EXPECT_EQ(text, "") << c.name;
        }
        EXPECT_EQ(kiv_clean_job(ctx(), job_id), KIV_STATUS_SUCCESS) << c.name;
    }
    get_logger_config()->store(saved);
    EXPECT_EQ(kiv_unload_graph(ctx(), graph_id), KIV_STATUS_SUCCESS);
}

TEST_F(AsyncTest, RefusedSubmissionsNeverCallBack) {
    std::atomic<int> calls{0};
    auto cb = [&calls](uint64_t, job_status_t) {
        ++calls;
        return 0;
    };
    {
        StderrCapture capture;
        EXPECT_EQ(kiv_job_infer_async(nullptr, 1, cb), KIV_STATUS_ERROR_INVALID_HANDLE);
        EXPECT_TRUE(matches_whole(
            capture.finish(), log_record_pattern("kiv_api", "ERROR", "validate_context: Invalid context structure\n")));
    }
    EXPECT_EQ(kiv_job_infer_async(ctx(), 0xdeadbeef, cb), KIV_STATUS_ERROR_INVALID_JOB_ID);
    // A later job's completion comes through the same delivery path; by then
    // a stray callback for the refused ones would have arrived too.
    complete_once(copy_program(4));
    EXPECT_EQ(calls.load(), 0);
}

TEST_F(AsyncTest, ManyJobsFromManyThreadsCompleteExactlyOnce) {
    constexpr int kThreads = 4;
    constexpr int kJobsPerThread = 75;
    const uint64_t graph_id = load_program(ctx(), copy_program(8));

    std::mutex mu;
    std::condition_variable done_cv;
    std::map<uint64_t, int> completions;
    std::map<uint64_t, std::vector<uint8_t>> expected_outputs;
    std::map<uint64_t, std::vector<uint8_t>> outputs;
    int done = 0;
    std::atomic<int> submit_failures{0};

    auto callback = [&](uint64_t id, job_status_t status) {
        std::vector<uint8_t> data(8);
        const kiv_status_t got = kiv_get_tensor(ctx(), id, KIV_TENSOR_TYPE_OUTPUT, 0, data.data());
        std::lock_guard<std::mutex> lock(mu);
        ++completions[id];
        if (status == KIV_JOB_STATUS_DONE && got == KIV_STATUS_SUCCESS) outputs[id] = data;
        ++done;
        done_cv.notify_all();
        return 0;
    };

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int j = 0; j < kJobsPerThread; ++j) {
                std::vector<uint8_t> input(8);
                for (int i = 0; i < 8; ++i) input[i] = static_cast<uint8_t>(t * 64 + j + i);
                uint64_t job_id = 0;
                if (kiv_create_job(ctx(), graph_id, &job_id, nullptr) != KIV_STATUS_SUCCESS ||
                    kiv_load_tensor(ctx(), job_id, 0, input.data()) != KIV_STATUS_SUCCESS) {
                    ++submit_failures;
                    continue;
                }
                {
                    std::lock_guard<std::mutex> lock(mu);
                    expected_outputs[job_id] = input;
                }
                if (kiv_job_infer_async(ctx(), job_id, callback) != KIV_STATUS_SUCCESS) ++submit_failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    ASSERT_EQ(submit_failures.load(), 0);
    {
        std::unique_lock<std::mutex> lock(mu);
        ASSERT_TRUE(done_cv.wait_for(lock, kGenerous, [&] { return done >= kThreads * kJobsPerThread; }));
    }
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_EQ(completions.size(), static_cast<size_t>(kThreads * kJobsPerThread));
    for (const auto& entry : completions) EXPECT_EQ(entry.second, 1) << "job " << entry.first;
    EXPECT_EQ(outputs, expected_outputs);
    for (const auto& entry : expected_outputs) EXPECT_EQ(kiv_clean_job(ctx(), entry.first), KIV_STATUS_SUCCESS);
    EXPECT_EQ(done, kThreads * kJobsPerThread) << "no callback arrives twice";
    EXPECT_EQ(kiv_unload_graph(ctx(), graph_id), KIV_STATUS_SUCCESS);
}

// A callback that blocks on a lock held by a thread waiting synchronously for
// another job must not stop that wait: the runtime holds no lock of its own
// around either.
TEST_F(AsyncTest, SlowCallbackDoesNotBlockASyncWait) {
    const uint64_t graph_id = load_program(ctx(), copy_program(4));
    const uint64_t async_job = start_job(graph_id, {1, 2, 3, 4});
    const uint64_t sync_job = start_job(graph_id, {5, 6, 7, 8});

    std::mutex held;
    std::promise<void> callback_entered;
    std::promise<void> callback_finished;
    auto finished = callback_finished.get_future();

    auto worker = std::async(std::launch::async, [&] {
        std::unique_lock<std::mutex> lock(held);
        EXPECT_EQ(kiv_job_infer_async(ctx(), async_job,
                                      [&](uint64_t, job_status_t) {
                                          callback_entered.set_value();
                                          { std::lock_guard<std::mutex> wait_for_worker(held); }
                                          callback_finished.set_value();
                                          return 0;
                                      }),
                  KIV_STATUS_SUCCESS);
        // Let the callback block on `held` first, then wait on another job.
        callback_entered.get_future().wait();
        const kiv_status_t status = kiv_job_infer_sync(ctx(), sync_job, -1);
        lock.unlock();
        return status;
    });
    ASSERT_EQ(worker.wait_for(kGenerous), std::future_status::ready) << "sync wait blocked by the callback";
    EXPECT_EQ(worker.get(), KIV_STATUS_SUCCESS);
    ASSERT_EQ(finished.wait_for(kGenerous), std::future_status::ready);
    // The callable uses this test's locals until it returns, which its
    // completion record follows: they must outlive it.
    ASSERT_TRUE(await_completion_record(async_job).is_object());
    EXPECT_EQ(kiv_clean_job(ctx(), async_job), KIV_STATUS_SUCCESS);
    EXPECT_EQ(kiv_clean_job(ctx(), sync_job), KIV_STATUS_SUCCESS);
    EXPECT_EQ(kiv_unload_graph(ctx(), graph_id), KIV_STATUS_SUCCESS);
}
