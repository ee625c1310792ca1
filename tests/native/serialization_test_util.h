// Helpers shared by the container tests: scratch directories, whole-file
// reads and writes, stdout capture, and a model with every field filled.
#ifndef KIV_SERIALIZATION_TEST_UTIL_H
#define KIV_SERIALIZATION_TEST_UTIL_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "serialization_handler.h"

namespace kiv_test {

// A fresh directory under the system temp dir, removed with its content.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kiv_serial_XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string file(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

inline void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    write_file(path, std::string(bytes.begin(), bytes.end()));
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs `action` with standard output captured; returns what it printed.
template <typename Action>
std::string capture_stdout(Action&& action) {
    testing::internal::CaptureStdout();
    try {
        action();
    } catch (...) {
        testing::internal::GetCapturedStdout();
        throw;
    }
    return testing::internal::GetCapturedStdout();
}

inline std::vector<uint8_t> bytes_of(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

// Two subgraphs and three tensors with distinct values in every field.
inline void fill_model(kiv::SerializationHandler& handler) {
    handler.SetName("mobilenet");
    handler.SetVersion(2, 7, 11, false);
    handler.SetIoJson("{\"name\": \"mobilenet\"}");
    handler.GetInputs() = {"image", "mask"};
    handler.GetOutputs() = {"scores"};
    std::vector<uint8_t> code = {0x00, 0x01, 0xfe, 0xff, 0x41, 0x00, 0x7f};
    handler.GetSubgraphs().push_back(
        new kiv::Subgraph("main", code, {"image", "mask"}, {"hidden"}, static_cast<kiv::Backend>(1)));
    handler.GetSubgraphs().push_back(
        new kiv::Subgraph("tail", std::vector<uint8_t>{9, 8, 7}, {"hidden"}, {"scores"}, static_cast<kiv::Backend>(7)));
    handler.GetTensors().push_back(new kiv::Tensor("image", {1, 224, 224, 3}, static_cast<kiv::DType>(3),
                                                   static_cast<kiv::QType>(2), {0.5f, 0.25f}, {128, -3}));
    handler.GetTensors().push_back(
        new kiv::Tensor("mask", {}, static_cast<kiv::DType>(0), static_cast<kiv::QType>(0), {}, {}));
    handler.GetTensors().push_back(new kiv::Tensor("scores", {1, 1000}, static_cast<kiv::DType>(4294967295u),
                                                   static_cast<kiv::QType>(9), {1e-3f}, {0}));
}

inline std::vector<uint8_t> subgraph_bytes(const kiv::Subgraph& subgraph) {
    return std::vector<uint8_t>(subgraph.GetData(), subgraph.GetData() + subgraph.GetSize());
}

// Compares every field of two models, in order.
inline void expect_same_model(const kiv::SerializationHandler& expected, const kiv::SerializationHandler& actual) {
    EXPECT_EQ(expected.GetName(), actual.GetName());
    EXPECT_EQ(expected.GetVersion(), actual.GetVersion());
    EXPECT_EQ(expected.GetKivVersion().draft, actual.GetKivVersion().draft);
    EXPECT_EQ(expected.GetIoJson(), actual.GetIoJson());
    EXPECT_EQ(expected.GetInputs(), actual.GetInputs());
    EXPECT_EQ(expected.GetOutputs(), actual.GetOutputs());
    ASSERT_EQ(expected.GetSubgraphs().size(), actual.GetSubgraphs().size());
    for (size_t i = 0; i < expected.GetSubgraphs().size(); ++i) {
        const kiv::Subgraph& want = *expected.GetSubgraphs()[i];
        const kiv::Subgraph& got = *actual.GetSubgraphs()[i];
        EXPECT_EQ(want.GetName(), got.GetName()) << "subgraph " << i;
        EXPECT_EQ(subgraph_bytes(want), subgraph_bytes(got)) << "subgraph " << i;
        EXPECT_EQ(want.GetInputs(), got.GetInputs()) << "subgraph " << i;
        EXPECT_EQ(want.GetOutputs(), got.GetOutputs()) << "subgraph " << i;
        EXPECT_EQ(want.GetBackend(), got.GetBackend()) << "subgraph " << i;
    }
    ASSERT_EQ(expected.GetTensors().size(), actual.GetTensors().size());
    for (size_t i = 0; i < expected.GetTensors().size(); ++i) {
        const kiv::Tensor& want = *expected.GetTensors()[i];
        const kiv::Tensor& got = *actual.GetTensors()[i];
        EXPECT_EQ(want.GetName(), got.GetName()) << "tensor " << i;
        EXPECT_EQ(want.GetShape(), got.GetShape()) << "tensor " << i;
        EXPECT_EQ(want.GetDtype(), got.GetDtype()) << "tensor " << i;
        EXPECT_EQ(want.GetQType(), got.GetQType()) << "tensor " << i;
        EXPECT_EQ(want.GetScale(), got.GetScale()) << "tensor " << i;
        EXPECT_EQ(want.GetZeroPoint(), got.GetZeroPoint()) << "tensor " << i;
    }
}

// The builder's current image as a byte string.
inline std::string image_of(const kiv::SerializationHandler& handler) {
    return std::string(reinterpret_cast<const char*>(handler.GetBufferPointer()), handler.GetBufferSize());
}

inline std::string image_of(flatbuffers::FlatBufferBuilder& builder) {
    return std::string(reinterpret_cast<const char*>(builder.GetBufferPointer()), builder.GetSize());
}

inline const unsigned char* as_bytes(const std::string& image) {
    return reinterpret_cast<const unsigned char*>(image.data());
}

}  // namespace kiv_test

#endif  // KIV_SERIALIZATION_TEST_UTIL_H
