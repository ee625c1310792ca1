// Entry of kiv_bench: Google Benchmark's flags, plus --quick for small sizes
// (used in CI only to prove that every benchmark still runs).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench_registry.h"

int main(int argc, char** argv) {
    bool quick = false;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else {
            args.push_back(argv[i]);
        }
    }
    const std::vector<int64_t> tensors = quick ? std::vector<int64_t>{1} : std::vector<int64_t>{1, 16, 64};
    const std::vector<int64_t> executables = quick ? std::vector<int64_t>{1} : std::vector<int64_t>{1, 64, 256};
    const std::vector<int64_t> batches = quick ? std::vector<int64_t>{4} : std::vector<int64_t>{16, 128};
    kiv_bench::register_transfer_benchmarks(tensors);
    kiv_bench::register_model_loading_benchmarks(executables);
    kiv_bench::register_batch_benchmarks(batches);

    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
