// The IO description: loading, shape queries by name, and the JSON text
// given back.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "serialization_handler.h"
#include "serialization_test_util.h"

using kiv_test::capture_stdout;
using kiv_test::TempDir;

namespace {

class IoJsonTest : public testing::Test {
protected:
    // Loads `text` as an IO description into `handler_`; returns the result.
    int load(const std::string& text) {
        path_ = dir_.file("io.json");
        kiv_test::write_file(path_, text);
        return handler_.LoadIoJson(path_.c_str());
    }

    std::vector<std::string> tensor_names() const {
        std::vector<std::string> names;
        for (const kiv::Tensor* tensor : handler_.GetTensors()) names.push_back(tensor->GetName());
        return names;
    }

    TempDir dir_;
    std::string path_;
    kiv::SerializationHandler handler_;
};

TEST_F(IoJsonTest, EmptyObjectGivesDraftModelAndDumpsItsOwnText) {
    kiv_test::fill_model(handler_);
    ASSERT_EQ(load("{ }\n"), 0);
    EXPECT_EQ(handler_.GetName(), "model");
    EXPECT_EQ(handler_.GetVersion(), "0.0.0d");
    EXPECT_TRUE(handler_.GetInputs().empty());
    EXPECT_TRUE(handler_.GetOutputs().empty());
    EXPECT_TRUE(handler_.GetTensors().empty());
    EXPECT_TRUE(handler_.GetSubgraphs().empty());
    EXPECT_EQ(handler_.DumpIoJson(), "{ }\n");
}

TEST_F(IoJsonTest, VersionNeedsThreeElements) {
    ASSERT_EQ(load(R"({"version": [1, 2]})"), 0);
    EXPECT_EQ(handler_.GetVersion(), "0.0.0d");
    ASSERT_EQ(load(R"({"version": [1, 2, 3, 4]})"), 0);
    EXPECT_EQ(handler_.GetVersion(), "1.2.3");
    ASSERT_EQ(load(R"({"version": "1.2.3"})"), 0);
    EXPECT_EQ(handler_.GetVersion(), "0.0.0d");
}

TEST_F(IoJsonTest, StringAndObjectEntries) {
    ASSERT_EQ(load(R"({"name": "net", "input_tensors": ["a", {"name": "b", "shape": [1, 3]}]})"), 0);
    EXPECT_EQ(handler_.GetName(), "net");
    EXPECT_EQ(handler_.GetInputs(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(tensor_names(), (std::vector<std::string>{"b", "a"}));
    const kiv::Tensor& b = *handler_.GetTensors()[0];
    EXPECT_EQ(b.GetShape(), (std::vector<int>{1, 3}));
    EXPECT_EQ(b.GetDtype(), 0u);
    EXPECT_EQ(b.GetQType(), 3u);
    const kiv::Tensor& a = *handler_.GetTensors()[1];
    EXPECT_TRUE(a.GetShape().empty());
    EXPECT_EQ(a.GetQType(), 3u);
    EXPECT_TRUE(a.GetScale().empty());
}

TEST_F(IoJsonTest, ObjectEntryFieldsAreRead) {
    ASSERT_EQ(load(R"({"outputs": [{"name": "o", "shape": [2.7, 4], "dtype": 6, "qtype": 1,
                                    "scale": [0.5, 2], "zero_point": [-1, 3]}]})"),
              0);
    ASSERT_EQ(handler_.GetTensors().size(), 1u);
    const kiv::Tensor& o = *handler_.GetTensors()[0];
    EXPECT_EQ(handler_.GetOutputs(), std::vector<std::string>{"o"});
    EXPECT_EQ(o.GetShape(), (std::vector<int>{2, 4}));
    EXPECT_EQ(o.GetDtype(), 6u);
    EXPECT_EQ(o.GetQType(), 1u);
    EXPECT_EQ(o.GetScale(), (std::vector<float>{0.5f, 2.0f}));
    EXPECT_EQ(o.GetZeroPoint(), (std::vector<int>{-1, 3}));
}

TEST_F(IoJsonTest, PreferredListsAndSkippedEntries) {
    ASSERT_EQ(load(R"({"input_tensors": ["x"], "inputs": ["ignored"],
                      "output_tensors": 5, "outputs": ["also ignored"]})"),
              0);
    EXPECT_EQ(handler_.GetInputs(), std::vector<std::string>{"x"});
    EXPECT_TRUE(handler_.GetOutputs().empty());

    ASSERT_EQ(load(R"({"inputs": [3, null, ["nested"], {"shape": [1]}, {"name": "kept", "shape": "wide"}]})"), 0);
    EXPECT_EQ(handler_.GetInputs(), std::vector<std::string>{"kept"});
    ASSERT_EQ(handler_.GetTensors().size(), 1u);
    EXPECT_TRUE(handler_.GetTensors()[0]->GetShape().empty());
}

TEST_F(IoJsonTest, TensorsAreNotMergedAndDefaultsComeLast) {
    ASSERT_EQ(load(R"({"inputs": ["p", {"name": "same", "shape": [1]}, "q"],
                      "outputs": [{"name": "same", "shape": [2]}, "p", "r"]})"),
              0);
    EXPECT_EQ(tensor_names(), (std::vector<std::string>{"same", "same", "p", "q", "r"}));
    // The first tensor of a name decides its shape.
    EXPECT_EQ(handler_.GetOutputInfos()[0].shape, std::vector<int32_t>{1});
}

TEST_F(IoJsonTest, FailuresLeaveTheirMarks) {
    kiv_test::fill_model(handler_);
    const std::string missing = dir_.file("absent.json");
    std::string out = capture_stdout([&] { EXPECT_EQ(handler_.LoadIoJson(missing.c_str()), 1); });
    EXPECT_EQ(out, "Error loading io json file: " + missing + "\n");
    EXPECT_EQ(handler_.GetSubgraphs().size(), 2u);

    EXPECT_THROW(load("{\"inputs\": [}"), nlohmann::json::parse_error);
    EXPECT_EQ(handler_.GetSubgraphs().size(), 2u);
    EXPECT_EQ(handler_.GetName(), "mobilenet");

    EXPECT_THROW(load(R"({"name": ["n"]})"), nlohmann::json::type_error);
    EXPECT_TRUE(handler_.GetSubgraphs().empty());  // cleared before the bad value
    EXPECT_THROW(load(R"({"inputs": [{"name": "a", "dtype": "int8"}]})"), nlohmann::json::type_error);
    EXPECT_THROW(load(R"({"inputs": [{"name": "a", "qtype": null}]})"), nlohmann::json::type_error);
    EXPECT_THROW(load(R"({"inputs": [{"name": "a", "shape": [1, "2"]}]})"), nlohmann::json::type_error);
    EXPECT_THROW(load(R"({"version": [1, {}, 3]})"), nlohmann::json::type_error);
}

TEST_F(IoJsonTest, InfosFollowTheNames) {
    std::vector<kiv::Tensor*> tensors;
    kiv::Tensor first("t", {1, 2}, static_cast<kiv::DType>(0), static_cast<kiv::QType>(0), {}, {});
    kiv::Tensor second("t", {9}, static_cast<kiv::DType>(0), static_cast<kiv::QType>(0), {}, {});
    kiv::Tensor other("T", {5}, static_cast<kiv::DType>(0), static_cast<kiv::QType>(0), {}, {});
    tensors = {nullptr, &other, &first, &second};
    auto infos = kiv::SerializationHandler::BuildIoInfosByNames({"t", "missing", "T", "t"}, tensors);
    ASSERT_EQ(infos.size(), 4u);
    EXPECT_EQ(infos[0].name, "t");
    EXPECT_EQ(infos[0].shape, (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(infos[1].name, "missing");
    EXPECT_TRUE(infos[1].shape.empty());
    EXPECT_EQ(infos[2].shape, std::vector<int32_t>{5});
    EXPECT_EQ(infos[3].shape, (std::vector<int32_t>{1, 2}));

    handler_.GetInputs() = {"nowhere"};
    auto inputs = handler_.GetInputInfos();
    ASSERT_EQ(inputs.size(), 1u);
    EXPECT_EQ(inputs[0].name, "nowhere");
    EXPECT_TRUE(inputs[0].shape.empty());
}

TEST_F(IoJsonTest, GeneratedDocumentFromAContainerWithoutIoJson) {
    kiv::SerializationHandler source;
    source.SetName("n\xc3\xa9t");
    source.SetVersion(1, 2, 3, true);
    source.GetInputs() = {"a"};
    source.GetOutputs() = {"b"};
    source.GetTensors().push_back(
        new kiv::Tensor("a", {1, 2}, static_cast<kiv::DType>(1), static_cast<kiv::QType>(1), {}, {}));
    source.serialize();
    const std::string image = kiv_test::image_of(source);
    ASSERT_EQ(handler_.deserialize(kiv_test::as_bytes(image), image.size()), 0);
    EXPECT_EQ(handler_.DumpIoJson(),
              "{\n"
              "  \"input_tensors\": [\n"
              "    {\n"
              "      \"name\": \"a\",\n"
              "      \"shape\": [\n"
              "        1,\n"
              "        2\n"
              "      ]\n"
              "    }\n"
              "  ],\n"
              "  \"name\": \"n\xc3\xa9t\",\n"
              "  \"output_tensors\": [\n"
              "    {\n"
              "      \"name\": \"b\",\n"
              "      \"shape\": []\n"
              "    }\n"
              "  ],\n"
              "  \"version\": [\n"
              "    1,\n"
              "    2,\n"
              "    3\n"
              "  ]\n"
              "}");
}

TEST_F(IoJsonTest, GeneratedDocumentRejectsInvalidUtf8) {
    handler_.SetName("bad\xff");
    EXPECT_THROW(handler_.DumpIoJson(), nlohmann::json::type_error);
    kiv::SerializationHandler empty;
    EXPECT_EQ(empty.DumpIoJson(),
              "{\n  \"input_tensors\": [],\n  \"name\": \"\",\n  \"output_tensors\": [],\n  \"version\": [\n"
              "    0,\n    0,\n    0\n  ]\n}");
}

}  // namespace
