// Numbers in the graph and IO descriptions that do not fit the type they are
// read as: refused with the JSON library's out_of_range error instead of an
// out-of-range float conversion (undefined behaviour, caught by UBSan) or an
// integer that silently wraps.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "serialization_handler.h"
#include "serialization_test_util.h"

using kiv_test::capture_stdout;
using kiv_test::TempDir;

namespace {

std::string graph_with_tensor(const std::string& fields) {
    return R"({"name":"g","version":[1,0,0],"inputs":["x"],"outputs":[],"tensors":[{"name":"x",)" + fields + "}]," +
           R"("subgraphs":[]})";
}

class JsonNumbersTest : public testing::Test {
protected:
    int load_graph(const std::string& text) {
        const std::string path = dir_.file("graph.json");
        kiv_test::write_file(path, text);
        int result = -1;
        capture_stdout([&] { result = handler_.LoadJson(path.c_str()); });
        return result;
    }
    int load_io(const std::string& text) {
        const std::string path = dir_.file("io.json");
        kiv_test::write_file(path, text);
        return handler_.LoadIoJson(path.c_str());
    }

    TempDir dir_;
    kiv::SerializationHandler handler_;
};

TEST_F(JsonNumbersTest, GraphDescriptionRefusesNumbersBeyondTheRange) {
    const std::string tail = R"(,"shape":[1,4],"qtype":0,"scale":[1.0],"zero_point":[0])";
    for (const std::string& fields :
         std::vector<std::string>{R"("dtype":1e107)" + tail, R"("dtype":-1.5e10)" + tail,
                                  R"("dtype":11,"shape":[1e20],"qtype":0,"scale":[],"zero_point":[])",
                                  R"("dtype":11,"shape":[1],"qtype":4294967296.0,"scale":[],"zero_point":[])",
                                  R"("dtype":11,"shape":[1],"qtype":0,"scale":[1e300],"zero_point":[])",
                                  R"("dtype":11,"shape":[1],"qtype":0,"scale":[],"zero_point":[-3e9])",
                                  R"("dtype":-1,"shape":[1],"qtype":0,"scale":[],"zero_point":[])",
                                  R"("dtype":11,"shape":[3000000000],"qtype":0,"scale":[],"zero_point":[])",
                                  R"("dtype":11,"shape":[1],"qtype":4294967296,"scale":[],"zero_point":[])",
                                  R"("dtype":11,"shape":[1],"qtype":0,"scale":[],"zero_point":[-2147483649])"}) {
        EXPECT_THROW(load_graph(graph_with_tensor(fields)), nlohmann::json::out_of_range) << fields;
    }
    EXPECT_THROW(load_graph(R"({"name":"g","version":[1e40,0,0]})"), nlohmann::json::out_of_range);
    EXPECT_THROW(load_graph(R"({"name":"g","version":[4294967297,0,0]})"), nlohmann::json::out_of_range);
    EXPECT_THROW(load_graph(R"({"name":"g","subgraphs":[{"name":"s","backend":-1,"inputs":[],"outputs":[],)"
                            R"("data":"x"}]})"),
                 nlohmann::json::out_of_range);
}

TEST_F(JsonNumbersTest, GraphDescriptionKeepsFloatsThatFit) {
    ASSERT_EQ(load_graph(graph_with_tensor(R"("dtype":11.0,"shape":[1.0,4],"qtype":4294967295.0,)"
                                           R"("scale":[3.4e38, 0.25],"zero_point":[-2147483648.0])")),
              KIV_SERIALIZATION_OK);
    ASSERT_EQ(handler_.GetTensors().size(), 1u);
    const kiv::Tensor& tensor = *handler_.GetTensors()[0];
    EXPECT_EQ(static_cast<uint32_t>(tensor.GetDtype()), 11u);
    EXPECT_EQ(tensor.GetShape(), (std::vector<int>{1, 4}));
    EXPECT_EQ(tensor.GetZeroPoint(), (std::vector<int>{-2147483647 - 1}));
    EXPECT_FLOAT_EQ(tensor.GetScale()[0], 3.4e38f);
}

TEST_F(JsonNumbersTest, IoDescriptionRefusesNumbersBeyondTheRange) {
    for (const char* entry :
         {R"({"name":"x","dtype":1e107})", R"({"name":"x","qtype":-1e12})", R"({"name":"x","shape":[1e20]})",
          R"({"name":"x","scale":[-1e39]})", R"({"name":"x","zero_point":[2147483648.0]})",
          R"({"name":"x","dtype":-1})", R"({"name":"x","qtype":4294967296})", R"({"name":"x","shape":[3000000000]})",
          R"({"name":"x","zero_point":[-9223372036854775808]})"}) {
        EXPECT_THROW(load_io(std::string(R"({"input_tensors":[)") + entry + "]}"), nlohmann::json::out_of_range)
            << entry;
    }
    EXPECT_THROW(load_io(R"({"version":[1,2,9e99]})"), nlohmann::json::out_of_range);
    EXPECT_THROW(load_io(R"({"version":[4294967297,0,0]})"), nlohmann::json::out_of_range);
    ASSERT_EQ(load_io(R"({"input_tensors":[{"name":"x","shape":[2.0,3],"dtype":11.0,"qtype":4294967295,)"
                      R"("zero_point":[-2147483648]}],"version":[2147483647,0,0]})"),
              KIV_SERIALIZATION_OK);
    EXPECT_EQ(handler_.GetInputInfos().at(0).shape, (std::vector<int32_t>{2, 3}));
    EXPECT_EQ(static_cast<uint32_t>(handler_.GetTensors().at(0)->GetQType()), 4294967295u);
    EXPECT_EQ(handler_.GetVersion(), "2147483647.0.0");
}

}  // namespace
