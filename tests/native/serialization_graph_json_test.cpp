// Graph descriptions and the three packers.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "serialization_handler.h"
#include "serialization_test_util.h"

using kiv_test::capture_stdout;
using kiv_test::TempDir;

namespace {

const char kEmptyObjectMessages[] =
    "json error 'name' \njson error 'version' \njson error 'inputs' \njson error 'outputs' \n"
    "json error 'tensors' \njson error 'subgraphs' \n";

class GraphJsonTest : public testing::Test {
protected:
    void SetUp() override {
        kiv_test::write_file(dir_.file("a.bin"), std::string("\x01\x02\x00\x03", 4));
        kiv_test::write_file(dir_.file("b.bin"), std::string("second"));
    }

    // Writes `text` as a description file and returns its path.
    std::string description(const std::string& text, const std::string& name = "graph.json") {
        const std::string path = dir_.file(name);
        kiv_test::write_file(path, text);
        return path;
    }

    std::string full_description() const {
        return R"({
  "name": "detector",
  "version": [1, 2, 3, 4],
  "inputs": ["x"],
  "outputs": ["y", "z"],
  "tensors": [
    {"name": "x", "dtype": 2, "shape": [1, 3, 8, 8], "qtype": 1, "scale": [0.5, 0.125], "zero_point": [0, -4]},
    {"name": "y", "dtype": 7, "shape": 5, "qtype": 0, "scale": [], "zero_point": null}
  ],
  "subgraphs": [
    {"name": "first", "backend": 1, "inputs": ["x"], "outputs": ["h"], "data": ")" +
               dir_.file("a.bin") + R"("},
    {"name": "second", "backend": 3, "inputs": ["h"], "outputs": ["y", "z"], "data": ")" +
               dir_.file("b.bin") + R"("}
  ]
})";
    }

    TempDir dir_;
};

TEST_F(GraphJsonTest, FullDescriptionFillsTheModel) {
    const std::string text = full_description();
    const std::string path = description(text);
    kiv::SerializationHandler handler;
    std::string out = capture_stdout([&] { EXPECT_EQ(handler.LoadJson(path.c_str()), 0); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(handler.GetName(), "detector");
    EXPECT_EQ(handler.GetVersion(), "1.2.3");
    EXPECT_EQ(handler.GetIoJson(), text);
    EXPECT_EQ(handler.GetInputs(), std::vector<std::string>{"x"});
    EXPECT_EQ(handler.GetOutputs(), (std::vector<std::string>{"y", "z"}));

    ASSERT_EQ(handler.GetTensors().size(), 2u);
    const kiv::Tensor& x = *handler.GetTensors()[0];
    EXPECT_EQ(x.GetName(), "x");
    EXPECT_EQ(x.GetDtype(), 2u);
    EXPECT_EQ(x.GetQType(), 1u);
    EXPECT_EQ(x.GetShape(), (std::vector<int>{1, 3, 8, 8}));
    EXPECT_EQ(x.GetScale(), (std::vector<float>{0.5f, 0.125f}));
    EXPECT_EQ(x.GetZeroPoint(), (std::vector<int>{0, -4}));
    const kiv::Tensor& y = *handler.GetTensors()[1];
    EXPECT_EQ(y.GetShape(), std::vector<int>{5});
    EXPECT_TRUE(y.GetZeroPoint().empty());

    ASSERT_EQ(handler.GetSubgraphs().size(), 2u);
    const kiv::Subgraph& first = *handler.GetSubgraphs()[0];
    EXPECT_EQ(first.GetName(), "first");
    EXPECT_EQ(first.GetBackend(), 1u);
    EXPECT_EQ(kiv_test::subgraph_bytes(first), (std::vector<uint8_t>{1, 2, 0, 3}));
    const kiv::Subgraph& second = *handler.GetSubgraphs()[1];
    EXPECT_EQ(second.GetBackend(), 3u);
    EXPECT_EQ(second.GetOutputs(), (std::vector<std::string>{"y", "z"}));
    EXPECT_EQ(kiv_test::subgraph_bytes(second), kiv_test::bytes_of("second"));
}

TEST_F(GraphJsonTest, EmptyObjectReportsEveryKeyAndKeepsNameAndVersion) {
    const std::string path = description("{}");
    kiv::SerializationHandler handler;
    kiv_test::fill_model(handler);
    std::string out = capture_stdout([&] { EXPECT_EQ(handler.LoadJson(path.c_str()), 0); });
    EXPECT_EQ(out, kEmptyObjectMessages);
    EXPECT_EQ(handler.GetName(), "mobilenet");
    EXPECT_EQ(handler.GetVersion(), "2.7.11");
    EXPECT_TRUE(handler.GetSubgraphs().empty());
    EXPECT_TRUE(handler.GetTensors().empty());
    EXPECT_TRUE(handler.GetInputs().empty());
    EXPECT_EQ(handler.GetIoJson(), "{}");
}

TEST_F(GraphJsonTest, ListKeysThatAreNotArraysAreReported) {
    const std::string path =
        description(R"({"name": "n", "version": 3, "inputs": "x", "outputs": {}, "tensors": 1, "subgraphs": null})");
    kiv::SerializationHandler handler;
    std::string out = capture_stdout([&] { EXPECT_EQ(handler.LoadJson(path.c_str()), 0); });
    EXPECT_EQ(out, std::string(kEmptyObjectMessages).substr(std::string("json error 'name' \n").size()));
    EXPECT_EQ(handler.GetName(), "n");
}

TEST_F(GraphJsonTest, ValuesConvertAsTheJsonLibraryDoes) {
    const std::string path = description(R"({"tensors": [
        {"name": "t", "dtype": 2.9, "shape": null, "qtype": 1, "scale": 0.25, "zero_point": [1.7, -1.7]}]})");
    kiv::SerializationHandler handler;
    capture_stdout([&] { EXPECT_EQ(handler.LoadJson(path.c_str()), 0); });
    ASSERT_EQ(handler.GetTensors().size(), 1u);
    const kiv::Tensor& tensor = *handler.GetTensors()[0];
    EXPECT_EQ(tensor.GetDtype(), 2u);
    EXPECT_TRUE(tensor.GetShape().empty());
    EXPECT_EQ(tensor.GetScale(), std::vector<float>{0.25f});
    EXPECT_EQ(tensor.GetZeroPoint(), (std::vector<int>{1, -1}));
}

TEST_F(GraphJsonTest, MissingObjectKeyStopsTheLoad) {
    const std::string tensors = description(R"({"tensors": [
        {"name": "a", "dtype": 0, "shape": [], "qtype": 0, "scale": [], "zero_point": []},
        {"name": "b", "dtype": 0, "shape": [], "scale": [], "zero_point": []}]})");
    kiv::SerializationHandler handler;
    std::string out = capture_stdout([&] { EXPECT_EQ(handler.LoadJson(tensors.c_str()), 1); });
    EXPECT_EQ(out,
              "json error 'name' \njson error 'version' \njson error 'inputs' \njson error 'outputs' \n"
              "Error in json: tensor 1 has no 'qtype'\n");
    EXPECT_EQ(handler.GetTensors().size(), 1u);

    const std::string subgraphs = description(R"({"name": "n", "version": [1, 0, 0], "inputs": [], "outputs": [],
        "tensors": [], "subgraphs": [{"name": "s", "backend": 1, "inputs": [], "outputs": []}]})");
    out = capture_stdout([&] { EXPECT_EQ(handler.LoadJson(subgraphs.c_str()), 1); });
    EXPECT_EQ(out, "Error in json: subgraph 0 has no 'data'\n");
    EXPECT_TRUE(handler.GetSubgraphs().empty());
}

TEST_F(GraphJsonTest, MissingDataFileStopsAfterEarlierSubgraphs) {
    const std::string missing = dir_.file("absent.bin");
    const std::string path =
        description(R"({"subgraphs": [{"name": "ok", "backend": 1, "inputs": [], "outputs": [], "data": ")" +
                    dir_.file("a.bin") + R"("}, {"name": "bad", "backend": 1, "inputs": [], "outputs": [], "data": ")" +
                    missing + R"("}, {"name": "unread"}]})");
    kiv::SerializationHandler handler;
    std::string out = capture_stdout([&] { EXPECT_EQ(handler.LoadJson(path.c_str()), 1); });
    EXPECT_NE(out.find("Error loading origin model: " + missing + "\n"), std::string::npos);
    ASSERT_EQ(handler.GetSubgraphs().size(), 1u);
    EXPECT_EQ(handler.GetSubgraphs()[0]->GetName(), "ok");

    const std::string container = dir_.file("out.zor");
    kiv::SerializationHandler packer;
    capture_stdout([&] { EXPECT_EQ(packer.Serialization(path.c_str(), container.c_str(), true), 1); });
    EXPECT_FALSE(std::filesystem::exists(container));
}

TEST_F(GraphJsonTest, UnreadableAndMalformedDescriptions) {
    kiv::SerializationHandler handler;
    kiv_test::fill_model(handler);
    const std::string missing = dir_.file("absent.json");
    std::string out = capture_stdout([&] { EXPECT_EQ(handler.LoadJson(missing.c_str()), 1); });
    EXPECT_EQ(out, "Error loading json file: " + missing + "\n");
    EXPECT_EQ(handler.GetSubgraphs().size(), 2u);

    const std::string broken = description("{\"name\": ");
    EXPECT_THROW(handler.LoadJson(broken.c_str()), nlohmann::json::parse_error);
    const std::string commented = description("{/* no comments */}");
    EXPECT_THROW(handler.LoadJson(commented.c_str()), nlohmann::json::parse_error);
    EXPECT_EQ(handler.GetSubgraphs().size(), 2u);  // untouched by parse errors

    const std::string short_version = description(R"({"name": "n", "version": [1, 2]})");
    EXPECT_THROW(handler.LoadJson(short_version.c_str()), nlohmann::json::out_of_range);
    const std::string numeric_name = description(R"({"name": 5})");
    EXPECT_THROW(handler.LoadJson(numeric_name.c_str()), nlohmann::json::type_error);
    const std::string not_object = description(R"({"tensors": [7]})");
    EXPECT_THROW(capture_stdout([&] { handler.LoadJson(not_object.c_str()); }), nlohmann::json::type_error);

    // Notes printed before the JSON library's exception stay printed, by the
    // loader and by the packer alike.
    const std::string noted = description(R"({"inputs": [1]})");
    for (bool pack : {false, true}) {
        testing::internal::CaptureStdout();
        if (pack) {
            EXPECT_THROW(handler.Serialization(noted.c_str(), dir_.file("out.zor").c_str(), true),
                         nlohmann::json::type_error);
        } else {
            EXPECT_THROW(handler.LoadJson(noted.c_str()), nlohmann::json::type_error);
        }
        std::fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "json error 'name' \njson error 'version' \n") << pack;
    }
}

TEST_F(GraphJsonTest, PackedDescriptionReadsBackWithItsText) {
    const std::string text = full_description();
    const std::string path = description(text);
    const std::string container = dir_.file("model.zor");
    kiv::SerializationHandler packer;
    EXPECT_EQ(packer.Serialization(path.c_str(), container.c_str(), true), 0);

    kiv::SerializationHandler reread;
    ASSERT_EQ(reread.DeSerialization(container.c_str()), 0);
    kiv_test::expect_same_model(packer, reread);
    EXPECT_EQ(reread.GetIoJson(), text);
    EXPECT_EQ(reread.DumpIoJson(), text);

    kiv::SerializationHandler in_memory;
    EXPECT_EQ(in_memory.Serialization(path.c_str(), true), 0);
    EXPECT_EQ(kiv_test::image_of(in_memory), kiv_test::read_file(container));
}

TEST_F(GraphJsonTest, BareExecutableGetsDefaultNames) {
    const std::string bin = dir_.file("a.bin");
    const std::string container = dir_.file("bare.zor");
    kiv::SerializationHandler packer;
    EXPECT_EQ(packer.Serialization(bin.c_str(), container.c_str(), false), 0);

    kiv::SerializationHandler reread;
    ASSERT_EQ(reread.DeSerialization(container.c_str()), 0);
    EXPECT_EQ(reread.GetName(), "");
    EXPECT_EQ(reread.GetVersion(), "0.0.0");
    EXPECT_TRUE(reread.GetTensors().empty());
    EXPECT_TRUE(reread.GetInputs().empty());
    EXPECT_TRUE(reread.GetOutputs().empty());
    EXPECT_EQ(reread.GetIoJson(), "");
    ASSERT_EQ(reread.GetSubgraphs().size(), 1u);
    const kiv::Subgraph& main = *reread.GetSubgraphs()[0];
    EXPECT_EQ(main.GetName(), "main");
    EXPECT_EQ(main.GetInputs(), std::vector<std::string>{"input"});
    EXPECT_EQ(main.GetOutputs(), std::vector<std::string>{"output"});
    EXPECT_EQ(main.GetBackend(), 1u);
    EXPECT_EQ(kiv_test::subgraph_bytes(main), (std::vector<uint8_t>{1, 2, 0, 3}));

    // A second bare executable joins the first.
    EXPECT_EQ(packer.Serialization(dir_.file("b.bin").c_str(), container.c_str(), false), 0);
    ASSERT_EQ(reread.DeSerialization(container.c_str()), 0);
    ASSERT_EQ(reread.GetSubgraphs().size(), 2u);
    EXPECT_EQ(kiv_test::subgraph_bytes(*reread.GetSubgraphs()[1]), kiv_test::bytes_of("second"));
}

TEST_F(GraphJsonTest, InMemoryPackingNamesTheSubgraphAipu) {
    kiv::SerializationHandler packer;
    EXPECT_EQ(packer.Serialization(dir_.file("b.bin").c_str(), false), 0);
    const std::string image = kiv_test::image_of(packer);
    kiv::SerializationHandler reread;
    ASSERT_EQ(reread.deserialize(kiv_test::as_bytes(image), image.size()), 0);
    ASSERT_EQ(reread.GetSubgraphs().size(), 1u);
    EXPECT_EQ(reread.GetSubgraphs()[0]->GetName(), "aipu");
    EXPECT_EQ(reread.GetSubgraphs()[0]->GetInputs(), std::vector<std::string>{"input"});
    EXPECT_EQ(kiv_test::subgraph_bytes(*reread.GetSubgraphs()[0]), kiv_test::bytes_of("second"));

    const std::string missing = dir_.file("absent.bin");
    std::string out = capture_stdout([&] { EXPECT_EQ(packer.Serialization(missing.c_str(), false), 1); });
    EXPECT_EQ(out, "Error loading origin model: " + missing + "\n");
}

TEST_F(GraphJsonTest, ExecutableWithIoDescription) {
    const std::string io = description(R"({"name": "net", "version": [3, 1, 4],
        "inputs": [{"name": "in", "shape": [1, 4]}], "outputs": ["out"]})",
                                       "io.json");
    const std::string container = dir_.file("io.zor");
    kiv::SerializationHandler packer;
    EXPECT_EQ(packer.Serialization(dir_.file("a.bin").c_str(), io.c_str(), container.c_str()), 0);

    kiv::SerializationHandler reread;
    ASSERT_EQ(reread.DeSerialization(container.c_str()), 0);
    EXPECT_EQ(reread.GetName(), "net");
    EXPECT_EQ(reread.GetVersion(), "3.1.4");
    ASSERT_EQ(reread.GetSubgraphs().size(), 1u);
    const kiv::Subgraph& main = *reread.GetSubgraphs()[0];
    EXPECT_EQ(main.GetName(), "main");
    EXPECT_EQ(main.GetInputs(), std::vector<std::string>{"in"});
    EXPECT_EQ(main.GetOutputs(), std::vector<std::string>{"out"});
    EXPECT_EQ(main.GetBackend(), 1u);
    EXPECT_EQ(reread.GetInputInfos()[0].shape, (std::vector<int32_t>{1, 4}));
    EXPECT_EQ(reread.GetIoJson(), kiv_test::read_file(io));
}

TEST_F(GraphJsonTest, PackingFailuresReportTheirFile) {
    kiv::SerializationHandler packer;
    const std::string io = description(R"({"inputs": ["a"]})", "io.json");
    const std::string missing = dir_.file("absent");
    const std::string container = dir_.file("x.zor");
    std::string out = capture_stdout(
        [&] { EXPECT_EQ(packer.Serialization(dir_.file("a.bin").c_str(), missing.c_str(), container.c_str()), 1); });
    EXPECT_EQ(out, "Error loading io json file: " + missing + "\n");
    out = capture_stdout([&] { EXPECT_EQ(packer.Serialization(missing.c_str(), io.c_str(), container.c_str()), 1); });
    EXPECT_EQ(out, "Error loading model bin: " + missing + "\n");
    EXPECT_FALSE(std::filesystem::exists(container));

    const std::string unwritable = dir_.file("no/dir/x.zor");
    out = capture_stdout(
        [&] { EXPECT_EQ(packer.Serialization(dir_.file("a.bin").c_str(), io.c_str(), unwritable.c_str()), 1); });
    EXPECT_EQ(out, "Error saving floatbuffer file: " + unwritable + "\n");
    out = capture_stdout(
        [&] { EXPECT_EQ(packer.Serialization(dir_.file("a.bin").c_str(), unwritable.c_str(), false), 1); });
    EXPECT_EQ(out, "Error saving floatbuffer file: " + unwritable + "\n");
    out = capture_stdout([&] { EXPECT_EQ(packer.Serialization(missing.c_str(), container.c_str(), false), 1); });
    EXPECT_EQ(out, "Error loading origin model: " + missing + "\n");
}

}  // namespace
