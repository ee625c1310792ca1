// Reading and writing containers: round trips, defaults of absent fields,
// file operations with their result codes and messages.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "serialization_handler.h"
#include "serialization_test_util.h"

using kiv_test::as_bytes;
using kiv_test::capture_stdout;
using kiv_test::image_of;
using kiv_test::TempDir;

namespace {

TEST(KivVersionTest, TextForm) {
    KivVersion version;
    EXPECT_EQ(version.to_string(), "0.0.0");
    EXPECT_FALSE(version.draft);
    version.set_version(1, 2, 3, false);
    EXPECT_EQ(version.to_string(), "1.2.3");
    version.set_version(1, 2, 3, true);
    EXPECT_EQ(version.to_string(), "1.2.3d");
    version.set_version(-1, -1, -1, true);
    EXPECT_EQ(version.to_string(), "-1.-1.-1d");
}

TEST(ModelClassesTest, SubgraphKeepsItsOwnCopy) {
    std::vector<uint8_t> source = {1, 2, 3};
    kiv::Subgraph copied("a", source.data(), 3, {"i"}, {"o"}, static_cast<kiv::Backend>(1));
    source[0] = 99;
    EXPECT_EQ(kiv_test::subgraph_bytes(copied), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(copied.GetSize(), 3u);

    kiv::Subgraph from_null("b", static_cast<const flatbuffers::Vector<uint8_t>*>(nullptr), {}, {},
                            static_cast<kiv::Backend>(0));
    EXPECT_EQ(from_null.GetSize(), 0u);

    std::vector<uint8_t> moved_from = {4, 5};
    kiv::Subgraph moved("c", std::move(moved_from), {"x", "y"}, {}, static_cast<kiv::Backend>(2));
    EXPECT_EQ(kiv_test::subgraph_bytes(moved), (std::vector<uint8_t>{4, 5}));
    EXPECT_EQ(moved.GetInputs(), (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(moved.GetBackend(), 2u);
}

TEST(ContainerRoundTripTest, EveryFieldSurvives) {
    kiv::SerializationHandler written;
    kiv_test::fill_model(written);
    ASSERT_EQ(written.serialize(), 0);
    const std::string image = image_of(written);

    kiv::SerializationHandler unverified;
    ASSERT_EQ(unverified.deserialize(as_bytes(image)), 0);
    kiv_test::expect_same_model(written, unverified);

    kiv::SerializationHandler verified;
    ASSERT_EQ(verified.deserialize(as_bytes(image), image.size()), 0);
    kiv_test::expect_same_model(written, verified);
}

TEST(ContainerRoundTripTest, SerializeIsRepeatable) {
    kiv::SerializationHandler handler;
    kiv_test::fill_model(handler);
    handler.serialize();
    const std::string first = image_of(handler);
    handler.serialize();
    EXPECT_EQ(first, image_of(handler));
}

TEST(ContainerRoundTripTest, EmptyModelWritesEmptyNameAndListsButNoIoJson) {
    kiv::SerializationHandler handler;
    handler.serialize();
    const std::string image = image_of(handler);
    const kiv::ZorGraph* graph = kiv::GetZorGraph(image.data());
    ASSERT_NE(graph->name(), nullptr);
    EXPECT_EQ(graph->name()->str(), "");
    ASSERT_NE(graph->subgraphs(), nullptr);
    EXPECT_EQ(graph->subgraphs()->size(), 0u);
    ASSERT_NE(graph->tensors(), nullptr);
    ASSERT_NE(graph->inputs(), nullptr);
    ASSERT_NE(graph->outputs(), nullptr);
    EXPECT_EQ(graph->io_json(), nullptr);
    // 0.0.0 differs from the schema defaults, so all three numbers are stored.
    EXPECT_EQ(graph->version()->_major(), 0);
    EXPECT_EQ(graph->version()->_patch(), 0);
    EXPECT_FALSE(graph->version()->_draft());

    kiv::SerializationHandler reread;
    reread.SetName("previous");
    ASSERT_EQ(reread.deserialize(as_bytes(image), image.size()), 0);
    EXPECT_EQ(reread.GetName(), "");
    EXPECT_EQ(reread.GetIoJson(), "");
    EXPECT_EQ(reread.GetVersion(), "0.0.0");
    EXPECT_TRUE(reread.GetSubgraphs().empty());
}

TEST(ContainerRoundTripTest, ZeroByteEndsWrittenNames) {
    kiv::SerializationHandler handler;
    handler.SetName(std::string("ab\0cd", 5));
    handler.SetIoJson(std::string("{}\0junk", 7));
    handler.GetInputs() = {std::string("in\0x", 4)};
    handler.GetSubgraphs().push_back(
        new kiv::Subgraph(std::string("s\0t", 3), std::vector<uint8_t>{0, 0, 1}, {}, {}, static_cast<kiv::Backend>(1)));
    handler.GetTensors().push_back(
        new kiv::Tensor(std::string("t\0u", 3), {}, static_cast<kiv::DType>(0), static_cast<kiv::QType>(0), {}, {}));
    handler.serialize();
    const std::string image = image_of(handler);
    kiv::SerializationHandler reread;
    ASSERT_EQ(reread.deserialize(as_bytes(image), image.size()), 0);
    EXPECT_EQ(reread.GetName(), "ab");
    EXPECT_EQ(reread.GetIoJson(), "{}");
    EXPECT_EQ(reread.GetInputs(), std::vector<std::string>{"in"});
    EXPECT_EQ(reread.GetSubgraphs()[0]->GetName(), "s");
    // Executable bytes are binary and keep their zero bytes.
    EXPECT_EQ(kiv_test::subgraph_bytes(*reread.GetSubgraphs()[0]), (std::vector<uint8_t>{0, 0, 1}));
    EXPECT_EQ(reread.GetTensors()[0]->GetName(), "t");
}

TEST(ContainerRoundTripTest, ReadingReplacesTheHeldModel) {
    kiv::SerializationHandler small;
    small.GetInputs() = {"only"};
    small.serialize();
    const std::string image = image_of(small);

    kiv::SerializationHandler handler;
    kiv_test::fill_model(handler);
    ASSERT_EQ(handler.deserialize(as_bytes(image), image.size()), 0);
    EXPECT_EQ(handler.GetInputs(), std::vector<std::string>{"only"});
    EXPECT_TRUE(handler.GetOutputs().empty());
    EXPECT_TRUE(handler.GetSubgraphs().empty());
    EXPECT_TRUE(handler.GetTensors().empty());
    EXPECT_EQ(handler.GetIoJson(), "");
}

TEST(ContainerRoundTripTest, ClearKeepsNameVersionAndImage) {
    kiv::SerializationHandler handler;
    kiv_test::fill_model(handler);
    handler.serialize();
    const std::string image = image_of(handler);
    EXPECT_EQ(handler.clear(), 0);
    EXPECT_TRUE(handler.GetSubgraphs().empty());
    EXPECT_TRUE(handler.GetTensors().empty());
    EXPECT_TRUE(handler.GetInputs().empty());
    EXPECT_TRUE(handler.GetOutputs().empty());
    EXPECT_EQ(handler.GetIoJson(), "");
    EXPECT_EQ(handler.GetName(), "mobilenet");
    EXPECT_EQ(handler.GetVersion(), "2.7.11");
    EXPECT_EQ(image_of(handler), image);
}

// Containers with fields left out, built with the generated builders.
TEST(ContainerDefaultsTest, AbsentFieldsReadAsDefaults) {
    flatbuffers::FlatBufferBuilder builder;
    std::vector<flatbuffers::Offset<kiv::ZorSubgraph>> subgraphs = {kiv::ZorSubgraphBuilder(builder).Finish()};
    auto subgraph_vector = builder.CreateVector(subgraphs);
    std::vector<flatbuffers::Offset<kiv::ZorTensor>> tensors = {kiv::ZorTensorBuilder(builder).Finish()};
    auto tensor_vector = builder.CreateVector(tensors);
    auto version = kiv::VersionBuilder(builder).Finish();
    kiv::ZorGraphBuilder root(builder);
    root.add_version(version);
    root.add_subgraphs(subgraph_vector);
    root.add_tensors(tensor_vector);
    kiv::FinishZorGraphBuffer(builder, root.Finish());
    const std::string image = image_of(builder);

    kiv::SerializationHandler handler;
    handler.SetName("stale");
    ASSERT_EQ(handler.deserialize(as_bytes(image), image.size()), 0);
    EXPECT_EQ(handler.GetVersion(), "-1.-1.-1d");
    EXPECT_EQ(handler.GetName(), "");
    EXPECT_EQ(handler.GetIoJson(), "");
    EXPECT_TRUE(handler.GetInputs().empty());
    EXPECT_TRUE(handler.GetOutputs().empty());
    ASSERT_EQ(handler.GetSubgraphs().size(), 1u);
    const kiv::Subgraph& subgraph = *handler.GetSubgraphs()[0];
    EXPECT_EQ(subgraph.GetName(), "");
    EXPECT_EQ(subgraph.GetSize(), 0u);
    EXPECT_TRUE(subgraph.GetInputs().empty());
    EXPECT_TRUE(subgraph.GetOutputs().empty());
    EXPECT_EQ(subgraph.GetBackend(), 0u);
    ASSERT_EQ(handler.GetTensors().size(), 1u);
    const kiv::Tensor& tensor = *handler.GetTensors()[0];
    EXPECT_EQ(tensor.GetName(), "");
    EXPECT_TRUE(tensor.GetShape().empty());
    EXPECT_TRUE(tensor.GetScale().empty());
    EXPECT_TRUE(tensor.GetZeroPoint().empty());
    EXPECT_EQ(tensor.GetDtype(), 0u);
    EXPECT_EQ(tensor.GetQType(), 0u);
}

TEST(ContainerDefaultsTest, AbsentSubgraphAndTensorListsReadAsEmpty) {
    flatbuffers::FlatBufferBuilder builder;
    auto version = kiv::CreateVersion(builder, 3, 4, 5, true);
    kiv::ZorGraphBuilder root(builder);
    root.add_version(version);
    kiv::FinishZorGraphBuffer(builder, root.Finish());
    const std::string image = image_of(builder);

    kiv::SerializationHandler verified;
    ASSERT_EQ(verified.deserialize(as_bytes(image), image.size()), 0);
    EXPECT_EQ(verified.GetVersion(), "3.4.5d");
    EXPECT_TRUE(verified.GetSubgraphs().empty());
    EXPECT_TRUE(verified.GetTensors().empty());

    kiv::SerializationHandler unverified;
    ASSERT_EQ(unverified.deserialize(as_bytes(image)), 0);
    EXPECT_EQ(unverified.GetVersion(), "3.4.5d");
    EXPECT_TRUE(unverified.GetSubgraphs().empty());
}

TEST(ContainerDefaultsTest, RootWithoutVersionIsRejectedWhenVerified) {
    // Built by hand: the generated root builder insists on the version.
    flatbuffers::FlatBufferBuilder builder;
    auto name = builder.CreateString("nameless");
    auto start = builder.StartTable();
    builder.AddOffset(kiv::ZorGraph::VT_NAME, name);
    kiv::FinishZorGraphBuffer(builder, flatbuffers::Offset<kiv::ZorGraph>(builder.EndTable(start)));
    const std::string image = image_of(builder);

    kiv::SerializationHandler handler;
    EXPECT_NE(handler.deserialize(as_bytes(image), image.size()), 0);
    // Read without checks it still does not fall over: the version reads as defaults.
    ASSERT_EQ(handler.deserialize(as_bytes(image)), 0);
    EXPECT_EQ(handler.GetName(), "nameless");
    EXPECT_EQ(handler.GetVersion(), "-1.-1.-1d");
}

TEST(ContainerDefaultsTest, NullBufferIsRejected) {
    kiv::SerializationHandler handler;
    EXPECT_NE(handler.deserialize(nullptr), 0);
    EXPECT_NE(handler.deserialize(nullptr, 0), 0);
}

class ContainerFileTest : public testing::Test {
protected:
    std::string write_container(const std::string& file_name, kiv::SerializationHandler& model) {
        model.serialize();
        const std::string path = dir_.file(file_name);
        kiv_test::write_file(path, image_of(model));
        return path;
    }

    TempDir dir_;
};

TEST_F(ContainerFileTest, ReadsWhatWasWritten) {
    kiv::SerializationHandler written;
    kiv_test::fill_model(written);
    const std::string path = write_container("model.zor", written);
    kiv::SerializationHandler reread;
    std::string out = capture_stdout([&] { EXPECT_EQ(reread.DeSerialization(path.c_str()), 0); });
    EXPECT_EQ(out, "");
    kiv_test::expect_same_model(written, reread);
}

TEST_F(ContainerFileTest, MissingFileKeepsNameAndVersion) {
    kiv::SerializationHandler handler;
    kiv_test::fill_model(handler);
    const std::string path = dir_.file("absent.zor");
    std::string out = capture_stdout([&] { EXPECT_EQ(handler.DeSerialization(path.c_str()), 1); });
    EXPECT_EQ(out, "Error loading model: " + path + "\n");
    EXPECT_TRUE(handler.GetSubgraphs().empty());
    EXPECT_TRUE(handler.GetTensors().empty());
    EXPECT_TRUE(handler.GetInputs().empty());
    EXPECT_TRUE(handler.GetOutputs().empty());
    EXPECT_EQ(handler.GetName(), "mobilenet");
    EXPECT_EQ(handler.GetVersion(), "2.7.11");
}

TEST_F(ContainerFileTest, DirectoryAndJunkAreReported) {
    kiv::SerializationHandler handler;
    const std::string directory = dir_.path().string();
    std::string out = capture_stdout([&] { EXPECT_EQ(handler.DeSerialization(directory.c_str()), 1); });
    EXPECT_EQ(out, "Error loading model: " + directory + "\n");

    const std::string junk = dir_.file("junk.zor");
    kiv_test::write_file(junk, std::string("this is not a container at all"));
    out = capture_stdout([&] { EXPECT_EQ(handler.DeSerialization(junk.c_str()), 4); });
    EXPECT_EQ(out, "Error deserializing model: " + junk + "\n");

    const std::string empty = dir_.file("empty.zor");
    kiv_test::write_file(empty, std::string());
    out = capture_stdout([&] { EXPECT_EQ(handler.DeSerialization(empty.c_str()), 4); });
    EXPECT_EQ(out, "Error deserializing model: " + empty + "\n");
}

TEST_F(ContainerFileTest, ExtractsTheFirstExecutable) {
    kiv::SerializationHandler written;
    kiv_test::fill_model(written);
    const std::string path = write_container("model.zor", written);
    const std::string out_path = dir_.file("main.bin");
    kiv_test::write_file(out_path, std::string(100, 'x'));  // replaced, not appended to

    kiv::SerializationHandler handler;
    std::string out = capture_stdout([&] { EXPECT_EQ(handler.DeSerialization(path.c_str(), out_path.c_str()), 0); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(kiv_test::read_file(out_path), std::string("\x00\x01\xfe\xff\x41\x00\x7f", 7));
    kiv_test::expect_same_model(written, handler);
}

TEST_F(ContainerFileTest, ExtractFailuresKeepOrReportTheModel) {
    kiv::SerializationHandler handler;
    kiv_test::fill_model(handler);
    const std::string missing = dir_.file("absent.zor");
    const std::string out_path = dir_.file("out.bin");
    std::string out = capture_stdout([&] { EXPECT_EQ(handler.DeSerialization(missing.c_str(), out_path.c_str()), 1); });
    EXPECT_EQ(out, "Error loading origin model: " + missing + "\n");
    EXPECT_EQ(handler.GetSubgraphs().size(), 2u);
    EXPECT_EQ(handler.GetInputs().size(), 2u);

    const std::string path = write_container("model.zor", handler);
    const std::string unwritable = dir_.file("no/such/dir/out.bin");
    out = capture_stdout([&] { EXPECT_EQ(handler.DeSerialization(path.c_str(), unwritable.c_str()), 1); });
    EXPECT_EQ(out, "Error saving file: " + unwritable + "\n");

    const std::string junk = dir_.file("junk.zor");
    kiv_test::write_file(junk, std::string("\x10\x00\x00\x00garbage", 11));
    out = capture_stdout([&] { EXPECT_EQ(handler.DeSerialization(junk.c_str(), out_path.c_str()), 4); });
    EXPECT_EQ(out, "Error deserializing model: " + junk + "\n");
    EXPECT_FALSE(std::filesystem::exists(out_path));
}

TEST_F(ContainerFileTest, ExtractWithoutSubgraphsWritesNothing) {
    kiv::SerializationHandler empty;
    empty.SetName("hollow");
    const std::string path = write_container("hollow.zor", empty);
    const std::string out_path = dir_.file("out.bin");
    kiv::SerializationHandler handler;
    std::string out = capture_stdout([&] { EXPECT_EQ(handler.DeSerialization(path.c_str(), out_path.c_str()), 4); });
    EXPECT_EQ(out, "Error model has no subgraph: " + path + "\n");
    EXPECT_FALSE(std::filesystem::exists(out_path));
}

}  // namespace
