// N inferences of the tiny model as one batch queue against N synchronous
// runs of one job, both through the runtime API. Arguments are N.
#include <benchmark/benchmark.h>

#include "bench_registry.h"
#include "bench_support.h"

namespace kiv_bench {
namespace {

constexpr uint32_t kTinyBytes = 1024;

struct TinyGraph : CopyModel {
    TinyGraph() : CopyModel(kTinyBytes) {}
};

void BM_Batch_Queue(benchmark::State& state) {
    TinyGraph g;
    const auto n = static_cast<size_t>(state.range(0));
    std::vector<std::vector<char>> in(n, std::vector<char>(kTinyBytes, 5)), out(n, std::vector<char>(kTinyBytes));
    for (auto _ : state) {
        uint32_t queue = 0;
        check(kiv_create_batch_queue(g.ctx.get(), g.graph, &queue), "kiv_create_batch_queue");
        for (size_t i = 0; i < n; ++i) {
            char* inputs[] = {in[i].data()};
            char* outputs[] = {out[i].data()};
            check(kiv_add_batch(g.ctx.get(), g.graph, queue, inputs, outputs), "kiv_add_batch");
        }
        check(kiv_finish_batch(g.ctx.get(), g.graph, queue, nullptr), "kiv_finish_batch");
        check(kiv_clean_batch_queue(g.ctx.get(), g.graph, queue), "kiv_clean_batch_queue");
    }
    if (out[n - 1][0] != 5) check(1, "batch output");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

void BM_Batch_SyncJobs(benchmark::State& state) {
    TinyGraph g;
    const auto n = static_cast<size_t>(state.range(0));
    uint64_t job = 0;
    check(kiv_create_job(g.ctx.get(), g.graph, &job, nullptr), "kiv_create_job");
    std::vector<char> in(kTinyBytes, 5), out(kTinyBytes);
    for (auto _ : state) {
        for (size_t i = 0; i < n; ++i) {
            check(kiv_load_tensor(g.ctx.get(), job, 0, in.data()), "kiv_load_tensor");
            check(kiv_job_infer_sync(g.ctx.get(), job, -1), "kiv_job_infer_sync");
            check(kiv_get_tensor(g.ctx.get(), job, KIV_TENSOR_TYPE_OUTPUT, 0, out.data()), "kiv_get_tensor");
        }
    }
    kiv_clean_job(g.ctx.get(), job);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

}  // namespace

void register_batch_benchmarks(const std::vector<int64_t>& counts) {
    register_sized({{"BM_Batch_Queue", BM_Batch_Queue}, {"BM_Batch_SyncJobs", BM_Batch_SyncJobs}}, counts);
}

}  // namespace kiv_bench
