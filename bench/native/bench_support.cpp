#include "bench_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "npu_program_builder.h"
#include "serialization_handler.h"

namespace kiv_bench {

std::vector<uint8_t> copy_program(uint32_t tensor_bytes, uint32_t constant_bytes) {
    npu_program::ProgramBuilder builder;
    const uint32_t x = builder.input({tensor_bytes}, npu_program::kU8);
    const uint32_t y = builder.output({tensor_bytes}, npu_program::kU8);
    if (constant_bytes > 0) {
        std::vector<uint8_t> values(constant_bytes);
        for (uint32_t i = 0; i < constant_bytes; ++i) values[i] = static_cast<uint8_t>(i * 131u);
        builder.constant({constant_bytes}, npu_program::kU8, values);
    }
    builder.copy(y, x);
    return builder.build();
}

void write_model(const std::string& path, const std::vector<uint8_t>& program, uint32_t tensor_bytes) {
    kiv::SerializationHandler handler;
    handler.SetName("bench_copy");
    handler.SetVersion(1, 0, 0, false);
    handler.GetInputs() = {"x"};
    handler.GetOutputs() = {"y"};
    const int dims = static_cast<int>(tensor_bytes);
    handler.GetTensors().push_back(
        new kiv::Tensor("x", {dims}, static_cast<kiv::DType>(2), kiv::QType_QT_UNSPECIFIED, {1.0f}, {0}));
    handler.GetTensors().push_back(
        new kiv::Tensor("y", {dims}, static_cast<kiv::DType>(2), kiv::QType_QT_UNSPECIFIED, {1.0f}, {0}));
    handler.GetSubgraphs().push_back(new kiv::Subgraph("main", program, {"x"}, {"y"}, kiv::Backend_BACKEND_AIPU));
    if (handler.serialize() != 0) throw std::runtime_error("cannot serialise " + path);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(handler.GetBufferPointer()),
              static_cast<std::streamsize>(handler.GetBufferSize()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kiv_bench.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("cannot create a temporary directory");
    path_ = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void check(uint32_t status, const char* what) {
    if (status == 0) return;
    std::fprintf(stderr, "kiv_bench: %s failed with status %u\n", what, status);
    std::exit(1);
}

RuntimeContext::RuntimeContext() {
    // The stand-in, by name, unless the caller chose a driver.
    ::setenv("AIPU_LIB_PATH", KIV_STANDIN_LIBRARY, 0);
    check(kiv_init_context(&ctx_, 0), "kiv_init_context");
}

RuntimeContext::~RuntimeContext() {
    if (ctx_ != nullptr) kiv_deinit_context(ctx_);
}

DriverContext::DriverContext() {
    check(aipu_init_context(&ctx_), "aipu_init_context");
}

DriverContext::~DriverContext() {
    if (ctx_ != nullptr) aipu_deinit_context(ctx_);
}

CopyModel::CopyModel(uint32_t tensor_bytes) {
    write_model(dir.file("copy.zor"), copy_program(tensor_bytes), tensor_bytes);
    check(kiv_load_graph(ctx.get(), dir.file("copy.zor").c_str(), &graph, nullptr), "kiv_load_graph");
}

CopyModel::~CopyModel() {
    kiv_unload_graph(ctx.get(), graph);
}

CopyModelJob::CopyModelJob(uint32_t tensor_bytes) : CopyModel(tensor_bytes) {
    check(kiv_create_job(ctx.get(), graph, &job, nullptr), "kiv_create_job");
}

CopyModelJob::~CopyModelJob() {
    kiv_clean_job(ctx.get(), job);
}

std::unique_ptr<uint8_t[]> read_file(const std::string& path, size_t* size) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) throw std::runtime_error("cannot open " + path);
    struct stat info {};
    ::fstat(fd, &info);
    const auto length = static_cast<size_t>(info.st_size);
    // A fresh buffer each time, as a loader that reads the file once would
    // have: the page faults of the destination are part of reading.
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[length]);
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::read(fd, buffer.get() + done, length - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    *size = done;
    return buffer;
}

namespace {

size_t status_field_bytes(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0) return std::strtoull(line.c_str() + length, nullptr, 10) * 1024;
    }
    return 0;
}

}  // namespace

void reset_peak_resident() {
    // "5" restarts VmHWM from the current resident size (Linux 4.0 and later).
    std::ofstream("/proc/self/clear_refs") << "5";
}

size_t resident_bytes() {
    return status_field_bytes("VmRSS:");
}

size_t peak_resident_bytes() {
    return status_field_bytes("VmHWM:");
}

}  // namespace kiv_bench
