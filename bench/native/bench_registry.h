// Registration of the size-dependent benchmarks, whose sizes depend on the
// mode (full or --quick) chosen on the command line.
#ifndef KIV_BENCH_REGISTRY_H
#define KIV_BENCH_REGISTRY_H

#include <benchmark/benchmark.h>

#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

namespace kiv_bench {

using SizedBenchmark = std::pair<const char*, void (*)(benchmark::State&)>;

// Registered size by size, so that a figure and its floor run close together
// in time and share the machine's load of the moment.
inline void register_sized(std::initializer_list<SizedBenchmark> benchmarks, const std::vector<int64_t>& args) {
    for (int64_t arg : args) {
        for (const auto& [name, fn] : benchmarks) {
            benchmark::RegisterBenchmark(name, fn)->Arg(arg)->Unit(benchmark::kMillisecond)->UseRealTime();
        }
    }
}

// Sizes in MiB (tensors, executables) or counts (batches).
void register_transfer_benchmarks(const std::vector<int64_t>& sizes_mib);
void register_model_loading_benchmarks(const std::vector<int64_t>& sizes_mib);
void register_batch_benchmarks(const std::vector<int64_t>& counts);

}  // namespace kiv_bench

#endif  // KIV_BENCH_REGISTRY_H
