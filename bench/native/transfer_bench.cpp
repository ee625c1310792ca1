// Tensor transfer through the runtime against one single-threaded memcpy of
// the same size. Arguments are tensor sizes in MiB.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "bench_registry.h"
#include "bench_support.h"

namespace kiv_bench {
namespace {

size_t mib(const benchmark::State& state) {
    return static_cast<size_t>(state.range(0)) << 20;
}

// Both buffers touched before timing: the bandwidth of memory, not of page faults.
void BM_Memcpy(benchmark::State& state) {
    const size_t n = mib(state);
    std::vector<uint8_t> src(n, 1), dst(n, 0);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), n);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

// A copy into newly allocated memory, as every call that returns a new
// object must make: the kernel's first-touch cost is part of this floor.
void BM_MemcpyFresh(benchmark::State& state) {
    const size_t n = mib(state);
    std::vector<uint8_t> src(n, 1);
    for (auto _ : state) {
        std::unique_ptr<uint8_t[]> dst(new uint8_t[n]);
        std::memcpy(dst.get(), src.data(), n);
        benchmark::DoNotOptimize(dst.get());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

struct TensorJob : CopyModelJob {
    explicit TensorJob(size_t bytes) : CopyModelJob(static_cast<uint32_t>(bytes)) {}
};

void BM_LoadTensor_Runtime(benchmark::State& state) {
    const size_t n = mib(state);
    TensorJob t(n);
    std::vector<uint8_t> src(n, 3);
    for (auto _ : state) check(kiv_load_tensor(t.ctx.get(), t.job, 0, src.data()), "kiv_load_tensor");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

void BM_GetTensor_Runtime(benchmark::State& state) {
    const size_t n = mib(state);
    TensorJob t(n);
    std::vector<uint8_t> dst(n, 0);
    for (auto _ : state) {
        check(kiv_get_tensor(t.ctx.get(), t.job, KIV_TENSOR_TYPE_OUTPUT, 0, dst.data()), "kiv_get_tensor");
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

}  // namespace

void register_transfer_benchmarks(const std::vector<int64_t>& sizes_mib) {
    register_sized({{"BM_Memcpy", BM_Memcpy},
                    {"BM_MemcpyFresh", BM_MemcpyFresh},
                    {"BM_LoadTensor_Runtime", BM_LoadTensor_Runtime},
                    {"BM_GetTensor_Runtime", BM_GetTensor_Runtime}},
                   sizes_mib);
}

}  // namespace kiv_bench
