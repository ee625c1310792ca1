// kiv_load_graph of containers with large executables against reading the
// same file once, and the driver's own share (parsing an executable already
// in memory). Arguments are executable sizes in MiB.
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <string>

#include "bench_registry.h"
#include "bench_support.h"
#include "serialization_handler.h"

namespace kiv_bench {
namespace {

constexpr uint32_t kTensorBytes = 1024;

// One container per executable size, written on first use and kept for the
// whole run so that every benchmark reads the same file.
class ModelFiles {
public:
    const std::string& container(size_t mib) {
        auto it = paths_.find(mib);
        if (it != paths_.end()) return it->second;
        const std::string path = dir_.file("exe_" + std::to_string(mib) + "mib.zor");
        write_model(path, program(mib), kTensorBytes);
        return paths_.emplace(mib, path).first->second;
    }
    static std::vector<uint8_t> program(size_t mib) {
        // The header, the tensors and the copy take a few dozen bytes; the
        // constant makes up the rest of the executable.
        return copy_program(kTensorBytes, static_cast<uint32_t>((mib << 20) - 256));
    }

private:
    TempDir dir_;
    std::map<size_t, std::string> paths_;
};

ModelFiles& model_files() {
    static ModelFiles files;
    return files;
}

size_t mib(const benchmark::State& state) {
    return static_cast<size_t>(state.range(0));
}

void BM_ReadFile(benchmark::State& state) {
    const std::string& path = model_files().container(mib(state));
    size_t size = 0;
    for (auto _ : state) {
        auto bytes = read_file(path, &size);
        benchmark::DoNotOptimize(bytes.get());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

// The exported reader's full read (file bytes plus a copy of every
// executable): what graph loading cost before it lent the file's bytes.
void BM_HandlerRead(benchmark::State& state) {
    const std::string& path = model_files().container(mib(state));
    for (auto _ : state) {
        kiv::SerializationHandler reader;
        check(static_cast<uint32_t>(reader.DeSerialization(path.c_str())), "DeSerialization");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (mib(state) << 20)));
}

void BM_LoadGraph_Runtime(benchmark::State& state) {
    const std::string& path = model_files().container(mib(state));
    RuntimeContext ctx;
    for (auto _ : state) {
        uint64_t graph = 0;
        check(kiv_load_graph(ctx.get(), path.c_str(), &graph, nullptr), "kiv_load_graph");
        state.PauseTiming();
        check(kiv_unload_graph(ctx.get(), graph), "kiv_unload_graph");
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (mib(state) << 20)));
}

void BM_LoadGraph_Driver(benchmark::State& state) {
    const auto program = ModelFiles::program(mib(state));
    DriverContext ctx;
    for (auto _ : state) {
        uint64_t graph = 0;
        check(aipu_load_graph_helper(ctx.get(), reinterpret_cast<const char*>(program.data()),
                                     static_cast<uint32_t>(program.size()), &graph, nullptr),
              "aipu_load_graph_helper");
        state.PauseTiming();
        check(aipu_unload_graph(ctx.get(), graph), "aipu_unload_graph");
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * program.size()));
}

}  // namespace

void register_model_loading_benchmarks(const std::vector<int64_t>& sizes_mib) {
    register_sized({{"BM_ReadFile", BM_ReadFile},
                    {"BM_HandlerRead", BM_HandlerRead},
                    {"BM_LoadGraph_Runtime", BM_LoadGraph_Runtime},
                    {"BM_LoadGraph_Driver", BM_LoadGraph_Driver}},
                   sizes_mib);
}

}  // namespace kiv_bench
