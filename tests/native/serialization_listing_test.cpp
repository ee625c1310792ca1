// The model listing on standard output.
#include <gtest/gtest.h>

#include <string>

#include "serialization_handler.h"
#include "serialization_test_util.h"

using kiv_test::capture_stdout;

namespace {

TEST(ModelListingTest, FullModel) {
    kiv::SerializationHandler handler;
    kiv_test::fill_model(handler);
    handler.GetSubgraphs().push_back(
        new kiv::Subgraph("lonely", std::vector<uint8_t>{}, {}, {}, static_cast<kiv::Backend>(0)));
    int result = -1;
    std::string out = capture_stdout([&] { result = handler.ShowInformation(); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out,
              "Graph mobilenet\n"
              "Version 2.7.11\n"
              "Inputs Count: 2\n"
              "\timage\n"
              "\tmask\n"
              "Outputs Count: 1\n"
              "\tscores\n"
              "SubGraph Count 3\n"
              "Subgraph main\n"
              "\tData size 7\n"
              "\tBackend 1\n"
              "\tInputs:\n"
              "\t\timage\n"
              "\t\tmask\n"
              "\tOutputs:\n"
              "\t\thidden\n"
              "Subgraph tail\n"
              "\tData size 3\n"
              "\tBackend 7\n"
              "\tInputs:\n"
              "\t\thidden\n"
              "\tOutputs:\n"
              "\t\tscores\n"
              "Subgraph lonely\n"
              "\tData size 0\n"
              "\tBackend 0\n"
              "\tInputs:\n"
              "\tOutputs:\n");
}

TEST(ModelListingTest, EmptyAndDraftModels) {
    kiv::SerializationHandler handler;
    std::string out = capture_stdout([&] { handler.ShowInformation(); });
    EXPECT_EQ(out, "Graph \nVersion 0.0.0\nInputs Count: 0\nOutputs Count: 0\nSubGraph Count 0\n");

    handler.SetVersion(0, 0, 0, true);
    handler.SetName("draft");
    handler.GetOutputs() = {"y"};
    out = capture_stdout([&] { handler.ShowInformation(); });
    EXPECT_EQ(out, "Graph draft\nVersion 0.0.0d\nInputs Count: 0\nOutputs Count: 1\n\ty\nSubGraph Count 0\n");
}

}  // namespace
