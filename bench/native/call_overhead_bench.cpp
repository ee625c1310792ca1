// What one small inference, a job's life and an asynchronous completion cost
// through the runtime API, against the same calls made on the driver directly.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>

#include "bench_support.h"

namespace kiv_bench {
namespace {

constexpr uint32_t kTinyBytes = 1024;

// A loaded tiny model and one job on it, through the runtime.
struct RuntimeJob : CopyModelJob {
    RuntimeJob() : CopyModelJob(kTinyBytes) {}
};

// The same on the driver's entry points, with the executable already in memory.
struct DriverJob {
    DriverJob() {
        const auto program = copy_program(kTinyBytes);
        check(aipu_load_graph_helper(ctx.get(), reinterpret_cast<const char*>(program.data()),
                                     static_cast<uint32_t>(program.size()), &graph, nullptr),
              "aipu_load_graph_helper");
        check(aipu_create_job(ctx.get(), graph, &job, nullptr), "aipu_create_job");
    }
    ~DriverJob() {
        aipu_clean_job(ctx.get(), job);
        aipu_unload_graph(ctx.get(), graph);
    }
    DriverContext ctx;
    uint64_t graph = 0;
    uint64_t job = 0;
};

void BM_Infer_Driver(benchmark::State& state) {
    DriverJob d;
    std::vector<uint8_t> in(kTinyBytes, 7), out(kTinyBytes);
    for (auto _ : state) {
        check(aipu_load_tensor(d.ctx.get(), d.job, 0, in.data()), "aipu_load_tensor");
        check(aipu_finish_job(d.ctx.get(), d.job, -1), "aipu_finish_job");
        check(aipu_get_tensor(d.ctx.get(), d.job, KIV_TENSOR_TYPE_OUTPUT, 0, out.data()), "aipu_get_tensor");
    }
    benchmark::DoNotOptimize(out.data());
}
BENCHMARK(BM_Infer_Driver)->UseRealTime();

void BM_Infer_Runtime(benchmark::State& state) {
    RuntimeJob r;
    std::vector<uint8_t> in(kTinyBytes, 7), out(kTinyBytes);
    for (auto _ : state) {
        check(kiv_load_tensor(r.ctx.get(), r.job, 0, in.data()), "kiv_load_tensor");
        check(kiv_job_infer_sync(r.ctx.get(), r.job, -1), "kiv_job_infer_sync");
        check(kiv_get_tensor(r.ctx.get(), r.job, KIV_TENSOR_TYPE_OUTPUT, 0, out.data()), "kiv_get_tensor");
    }
    if (out[kTinyBytes - 1] != 7) check(1, "tiny model output");
}
BENCHMARK(BM_Infer_Runtime)->UseRealTime();

void BM_JobCreateClean_Driver(benchmark::State& state) {
    DriverJob d;
    for (auto _ : state) {
        uint64_t job = 0;
        check(aipu_create_job(d.ctx.get(), d.graph, &job, nullptr), "aipu_create_job");
        check(aipu_clean_job(d.ctx.get(), job), "aipu_clean_job");
    }
}
BENCHMARK(BM_JobCreateClean_Driver)->UseRealTime();

void BM_JobCreateClean_Runtime(benchmark::State& state) {
    RuntimeJob r;
    for (auto _ : state) {
        uint64_t job = 0;
        check(kiv_create_job(r.ctx.get(), r.graph, &job, nullptr), "kiv_create_job");
        check(kiv_clean_job(r.ctx.get(), job), "kiv_clean_job");
    }
}
BENCHMARK(BM_JobCreateClean_Runtime)->UseRealTime();

// Counts completions delivered on the driver's thread so the submitting
// thread can wait for each one.
class Completions {
public:
    int32_t deliver() {
        std::lock_guard<std::mutex> lock(mu_);
        ++delivered_;
        cv_.notify_one();
        return 0;
    }
    void wait_for(uint64_t count) {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [&] { return delivered_ >= count; });
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    uint64_t delivered_ = 0;
};

void BM_AsyncToCallback_Driver(benchmark::State& state) {
    DriverJob d;
    Completions done;
    uint64_t submitted = 0;
    for (auto _ : state) {
        check(aipu_flush_job(d.ctx.get(), d.job, [&](uint64_t, aipu_job_status_t) { return done.deliver(); }),
              "aipu_flush_job");
        done.wait_for(++submitted);
    }
}
BENCHMARK(BM_AsyncToCallback_Driver)->UseRealTime();

void BM_AsyncToCallback_Runtime(benchmark::State& state) {
    RuntimeJob r;
    Completions done;
    uint64_t submitted = 0;
    for (auto _ : state) {
        check(kiv_job_infer_async(r.ctx.get(), r.job, [&](uint64_t, job_status_t) { return done.deliver(); }),
              "kiv_job_infer_async");
        done.wait_for(++submitted);
    }
}
BENCHMARK(BM_AsyncToCallback_Runtime)->UseRealTime();

}  // namespace
}  // namespace kiv_bench
