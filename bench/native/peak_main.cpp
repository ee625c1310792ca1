// kiv_peak: runs one operation in a fresh process and prints, as JSON, the
// resident memory before it and the peak during it, for the benchmark report.
//   kiv_peak write <container> <executable MiB>   writes a benchmark container
//   kiv_peak read <file>                          reads the file once (floor)
//   kiv_peak load_graph <container>               kiv_load_graph
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_support.h"

using namespace kiv_bench;

namespace {

int usage() {
    std::fprintf(stderr, "usage: kiv_peak write <container> <MiB> | read <file> | load_graph <container>\n");
    return 2;
}

void report(size_t before, size_t bytes) {
    std::printf("{\"rss_before\": %zu, \"peak\": %zu, \"bytes\": %zu}\n", before, peak_resident_bytes(), bytes);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    const std::string mode = argv[1];
    const std::string path = argv[2];
    if (mode == "write" && argc == 4) {
        const size_t mib = std::strtoull(argv[3], nullptr, 10);
        write_model(path, copy_program(1024, static_cast<uint32_t>((mib << 20) - 256)), 1024);
        return 0;
    }
    if (mode == "read") {
        reset_peak_resident();
        const size_t before = resident_bytes();
        size_t size = 0;
        auto bytes = read_file(path, &size);
        report(before, size);
        return 0;
    }
    if (mode == "load_graph") {
        RuntimeContext ctx;
        reset_peak_resident();
        const size_t before = resident_bytes();
        uint64_t graph = 0;
        check(kiv_load_graph(ctx.get(), path.c_str(), &graph, nullptr), "kiv_load_graph");
        report(before, 0);
        return 0;
    }
    return usage();
}
