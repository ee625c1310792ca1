// The graph loader's container reader must answer exactly as the exported
// reader does: same result code, same message, same first executable.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "container_diagnosis.h"
#include "container_file.h"
#include "container_result.h"
#include "model_container.h"
#include "serialization_handler.h"
#include "temp_files.h"

namespace {

struct Reading {
    int result = -1;
    std::string printed;
    bool has_subgraph = false;
    std::vector<uint8_t> executable;
};

Reading read_with_handler(const char* path) {
    kiv::SerializationHandler handler;
    Reading r;
    testing::internal::CaptureStdout();
    r.result = handler.DeSerialization(path);
    std::fflush(stdout);
    r.printed = testing::internal::GetCapturedStdout();
    r.has_subgraph = !handler.GetSubgraphs().empty();
    if (r.has_subgraph) {
        const kiv::Subgraph& first = *handler.GetSubgraphs()[0];
        r.executable.assign(first.GetData(), first.GetData() + first.GetSize());
    }
    return r;
}

Reading read_with_container_file(const char* path) {
    kiv::ContainerFile file;
    Reading r;
    testing::internal::CaptureStdout();
    const kiv::ContainerResult result = file.Read(path);
    std::fflush(stdout);
    // The lines come back with the result; nothing is printed.
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    r.result = result.code;
    for (const std::string& line : result.lines) r.printed += line + "\n";
    r.has_subgraph = file.HasSubgraph();
    if (r.has_subgraph && file.ExecutableSize() > 0) {
        r.executable.assign(file.ExecutableData(), file.ExecutableData() + file.ExecutableSize());
    }
    if (r.has_subgraph && file.ExecutableSize() == 0) {
        EXPECT_EQ(file.ExecutableData(), nullptr);
    }
    return r;
}

void expect_same_reading(const char* path) {
    const Reading expected = read_with_handler(path);
    const Reading actual = read_with_container_file(path);
    EXPECT_EQ(actual.result, expected.result);
    EXPECT_EQ(actual.printed, expected.printed);
    EXPECT_EQ(actual.has_subgraph, expected.has_subgraph);
    EXPECT_EQ(actual.executable, expected.executable);
}

// The description of a container is everything the whole read gives but
// the executables, which stay empty.
void expect_same_description(const char* path) {
    kiv::SerializationHandler whole;
    kiv::SerializationHandler described;
    const kiv::ContainerResult read = kiv::read_container(whole, path);
    const kiv::ContainerResult description = kiv::read_description(described, path);
    EXPECT_EQ(description.code, read.code);
    EXPECT_EQ(description.lines, read.lines);
    EXPECT_EQ(description.problem, read.problem);
    EXPECT_EQ(described.GetName(), whole.GetName());
    EXPECT_EQ(described.GetVersion(), whole.GetVersion());
    EXPECT_EQ(described.GetIoJson(), whole.GetIoJson());
    EXPECT_EQ(described.GetInputs(), whole.GetInputs());
    EXPECT_EQ(described.GetOutputs(), whole.GetOutputs());
    ASSERT_EQ(described.GetTensors().size(), whole.GetTensors().size());
    for (size_t i = 0; i < whole.GetTensors().size(); ++i) {
        EXPECT_EQ(described.GetTensors()[i]->GetName(), whole.GetTensors()[i]->GetName());
        EXPECT_EQ(described.GetTensors()[i]->GetShape(), whole.GetTensors()[i]->GetShape());
    }
    ASSERT_EQ(described.GetSubgraphs().size(), whole.GetSubgraphs().size());
    for (size_t i = 0; i < whole.GetSubgraphs().size(); ++i) {
        EXPECT_EQ(described.GetSubgraphs()[i]->GetName(), whole.GetSubgraphs()[i]->GetName());
        EXPECT_EQ(described.GetSubgraphs()[i]->GetInputs(), whole.GetSubgraphs()[i]->GetInputs());
        EXPECT_EQ(described.GetSubgraphs()[i]->GetSize(), 0u);
    }
}

std::vector<uint8_t> pattern(size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

TEST(ContainerFile, ReadsWellFormedContainersLikeTheHandler) {
    const std::vector<ContainerSpec> specs = {
        {{pattern(100, 1)}, {{"x", {1, 4}}}, {{"y", {1, 4}}}},
        {{pattern(64, 2), pattern(32, 3)}, {{"x", {2}}}, {{"y", {2}}}},
        {{}, {{"x", {1}}}, {{"y", {1}}}},
        {{std::vector<uint8_t>()}, {}, {}},
        // Large enough for the buffer to be faulted in at once.
        {{pattern((size_t{5} << 20) + 3, 4)}, {{"x", {8}}}, {{"y", {8}}}},
    };
    for (const ContainerSpec& spec : specs) {
        TempFile file(".zor");
        write_container(file.path(), spec);
        SCOPED_TRACE(file.path());
        expect_same_reading(file.path().c_str());
        const Reading r = read_with_container_file(file.path().c_str());
        EXPECT_EQ(r.result, 0);
        if (!spec.executables.empty()) {
            EXPECT_EQ(r.executable, spec.executables.front());
        }
        expect_same_description(file.path().c_str());
    }
}

TEST(ContainerFile, RefusesWhatTheHandlerRefuses) {
    TempFile empty(".zor");
    TempFile junk(".zor");
    const std::vector<uint8_t> noise = pattern(4096, 9);
    junk.write(noise.data(), noise.size());
    TempFile whole(".zor");
    write_container(whole.path(), {{pattern(2000, 5)}, {{"x", {1}}}, {{"y", {1}}}});
    std::FILE* in = std::fopen(whole.path().c_str(), "rb");
    ASSERT_NE(in, nullptr);
    std::vector<uint8_t> bytes(1200);
    ASSERT_EQ(std::fread(bytes.data(), 1, bytes.size(), in), bytes.size());
    std::fclose(in);
    TempFile truncated(".zor");
    truncated.write(bytes.data(), bytes.size());
    const std::string directory = ::testing::TempDir();

    for (const std::string& path :
         {empty.path(), junk.path(), truncated.path(), directory, std::string("/nonexistent/model.zor")}) {
        SCOPED_TRACE(path);
        expect_same_reading(path.c_str());
        EXPECT_NE(read_with_container_file(path.c_str()).result, 0);

        // Both readers say what is wrong, as the diagnosis of the file does,
        // and print nothing themselves.
        std::string expected = kiv::container_file_problem(path, false);
        if (expected.empty()) expected = "is not a well-formed zor model container";
        kiv::SerializationHandler handler;
        kiv::ContainerFile file;
        testing::internal::CaptureStdout();
        const kiv::ContainerResult read = kiv::read_container(handler, path.c_str());
        const kiv::ContainerResult loaded = file.Read(path.c_str());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(read.problem, expected);
        EXPECT_EQ(loaded.problem, expected);
        expect_same_description(path.c_str());
    }
    expect_same_reading(nullptr);
}

// The packers give back the lines that the public methods print, instead of
// printing them; the public methods print exactly those.
TEST(ContainerFile, PackersReturnTheLinesThePublicMethodsPrint) {
    const std::string missing = "/nonexistent/program.bin";
    kiv::SerializationHandler handler;
    testing::internal::CaptureStdout();
    const kiv::ContainerResult bare = kiv::pack_bare_executable(handler, missing.c_str());
    const kiv::ContainerResult with_io = kiv::pack_executable_with_io(handler, missing.c_str(), missing.c_str());
    kiv::ContainerResult graph;
    kiv::pack_graph_description(handler, missing.c_str(), graph);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(bare.code, KIV_SERIALIZATION_FILE_ERROR);
    EXPECT_EQ(bare.lines, std::vector<std::string>{"Error loading origin model: " + missing});
    EXPECT_EQ(with_io.lines, std::vector<std::string>{"Error loading io json file: " + missing});
    EXPECT_EQ(graph.lines, std::vector<std::string>{"Error loading json file: " + missing});

    TempFile program(".bin");
    const std::vector<uint8_t> code = pattern(40, 3);
    program.write(code.data(), code.size());
    const kiv::ContainerResult packed = kiv::pack_bare_executable(handler, program.path().c_str());
    EXPECT_TRUE(packed.ok());
    EXPECT_TRUE(packed.lines.empty());
    EXPECT_GT(handler.GetBufferSize(), code.size());

    testing::internal::CaptureStdout();
    EXPECT_EQ(handler.Serialization(missing.c_str(), "/nonexistent/out.zor", false), KIV_SERIALIZATION_FILE_ERROR);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error loading origin model: " + missing + "\n");
}

TEST(ContainerFile, UnreadableFileGivesTheLoadMessage) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads files whatever their mode";
    TempFile file(".zor");
    write_container(file.path(), {{pattern(10, 1)}, {}, {}});
    ASSERT_EQ(::chmod(file.path().c_str(), 0), 0);
    expect_same_reading(file.path().c_str());
    EXPECT_EQ(read_with_container_file(file.path().c_str()).result, 1);
}

}  // namespace
