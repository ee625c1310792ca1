// The graph loader's container reader must answer exactly as the exported
// reader does: same result code, same message, same first executable.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "container_file.h"
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
    r.result = file.Read(path);
    std::fflush(stdout);
    r.printed = testing::internal::GetCapturedStdout();
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
    }
    expect_same_reading(nullptr);
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
