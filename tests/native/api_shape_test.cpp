// kiv_get_tensor_shape: reads a container without any context.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kiv_api.h"
#include "model_container.h"
#include "temp_files.h"

namespace {

class TensorShapeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ContainerSpec spec;
        spec.executables = {{1, 2, 3, 4}};
        spec.inputs = {{"image_input", {1, 28, 28, 3}}, {"bias", {10}}};
        spec.outputs = {{"scores", {1, 10}}};
        write_container(file_.path(), spec);
    }
    const char* path() const { return file_.path().c_str(); }

    TempFile file_{".zor"};
};

}  // namespace

TEST_F(TensorShapeTest, SizeQueryThenCopy) {
    uint32_t name_len = 0;
    uint32_t shape_len = 0;
    ASSERT_EQ(kiv_get_tensor_shape(path(), 0, 0, nullptr, &name_len, nullptr, &shape_len), KIV_STATUS_SUCCESS);
    EXPECT_EQ(name_len, 11u);
    EXPECT_EQ(shape_len, 4u);

    std::vector<char> name(name_len + 1, 'x');
    std::vector<int32_t> shape(shape_len, -7);
    uint32_t name_cap = name_len + 1;
    uint32_t shape_cap = shape_len;
    ASSERT_EQ(kiv_get_tensor_shape(path(), 0, 0, name.data(), &name_cap, shape.data(), &shape_cap), KIV_STATUS_SUCCESS);
    EXPECT_STREQ(name.data(), "image_input");
    EXPECT_EQ(name_cap, 11u);
    EXPECT_EQ(shape_cap, 4u);
    EXPECT_EQ(shape, (std::vector<int32_t>{1, 28, 28, 3}));
}

TEST_F(TensorShapeTest, OutputListAndSecondInput) {
    char name[16];
    int32_t shape[4] = {};
    uint32_t name_len = sizeof name;
    uint32_t shape_len = 4;
    ASSERT_EQ(kiv_get_tensor_shape(path(), 1, 0, name, &name_len, shape, &shape_len), KIV_STATUS_SUCCESS);
    EXPECT_STREQ(name, "scores");
    EXPECT_EQ(shape_len, 2u);
    EXPECT_EQ(shape[0], 1);
    EXPECT_EQ(shape[1], 10);
    name_len = sizeof name;
    shape_len = 4;
    ASSERT_EQ(kiv_get_tensor_shape(path(), 0, 1, name, &name_len, shape, &shape_len), KIV_STATUS_SUCCESS);
    EXPECT_STREQ(name, "bias");
    EXPECT_EQ(shape_len, 1u);
    EXPECT_EQ(shape[0], 10);
}

TEST_F(TensorShapeTest, ArgumentChecksInOrder) {
    uint32_t len = 5;
    EXPECT_EQ(kiv_get_tensor_shape(path(), 0, 0, nullptr, nullptr, nullptr, &len), KIV_STATUS_ERROR_NULL_PTR);
    EXPECT_EQ(kiv_get_tensor_shape(path(), 0, 0, nullptr, &len, nullptr, nullptr), KIV_STATUS_ERROR_NULL_PTR);
    // The type is checked before the path.
    EXPECT_EQ(kiv_get_tensor_shape(nullptr, 2, 0, nullptr, &len, nullptr, &len), KIV_STATUS_ERROR_INVALID_TENSOR_TYPE);
    EXPECT_EQ(kiv_get_tensor_shape(nullptr, 0, 0, nullptr, &len, nullptr, &len), KIV_STATUS_ERROR_NULL_PTR);
    EXPECT_EQ(kiv_get_tensor_shape("/nonexistent/model.zor", 0, 0, nullptr, &len, nullptr, &len),
              KIV_STATUS_ERROR_OPEN_FILE_FAIL);
    TempFile junk(".zor");
    junk.write("not a container at all", 22);
    EXPECT_EQ(kiv_get_tensor_shape(junk.path().c_str(), 0, 0, nullptr, &len, nullptr, &len), KIV_STATUS_ERROR_INTERNAL);
}

TEST_F(TensorShapeTest, IndexPastTheListLeavesOutputsUntouched) {
    uint32_t name_len = 99;
    uint32_t shape_len = 77;
    EXPECT_EQ(kiv_get_tensor_shape(path(), 0, 2, nullptr, &name_len, nullptr, &shape_len),
              KIV_STATUS_ERROR_INVALID_TENSOR_ID);
    EXPECT_EQ(kiv_get_tensor_shape(path(), 1, 1, nullptr, &name_len, nullptr, &shape_len),
              KIV_STATUS_ERROR_INVALID_TENSOR_ID);
    EXPECT_EQ(name_len, 99u);
    EXPECT_EQ(shape_len, 77u);
}

TEST_F(TensorShapeTest, NameBufferNeedsRoomForTheTerminator) {
    char name[11];
    std::memset(name, '#', sizeof name);
    uint32_t name_len = 11;  // exactly the name's length
    uint32_t shape_len = 0;
    EXPECT_EQ(kiv_get_tensor_shape(path(), 0, 0, name, &name_len, nullptr, &shape_len), KIV_STATUS_ERROR_INVALID_SIZE);
    EXPECT_EQ(name_len, 11u);
    EXPECT_EQ(shape_len, 0u) << "shape arguments are not touched";
    EXPECT_EQ(name[0], '#') << "nothing is copied into a short buffer";
}

TEST_F(TensorShapeTest, ShortShapeBufferAfterTheNameWasCopied) {
    char name[12];
    int32_t shape[3] = {-1, -1, -1};
    uint32_t name_len = sizeof name;
    uint32_t shape_len = 3;
    EXPECT_EQ(kiv_get_tensor_shape(path(), 0, 0, name, &name_len, shape, &shape_len), KIV_STATUS_ERROR_INVALID_SIZE);
    EXPECT_EQ(shape_len, 4u);
    EXPECT_EQ(name_len, 11u);
    EXPECT_STREQ(name, "image_input");
    EXPECT_EQ(shape[0], -1);
}

TEST(TensorShape, NameWithoutTensorHasNoDimensions) {
    TempFile file(".zor");
    ContainerSpec spec;
    spec.executables = {{0}};
    spec.inputs = {{"in", {2}}};
    spec.outputs = {{"orphan", {5, 5}, false}};
    write_container(file.path(), spec);
    char name[8];
    int32_t shape[2] = {-1, -1};
    uint32_t name_len = sizeof name;
    uint32_t shape_len = 2;
    EXPECT_EQ(kiv_get_tensor_shape(file.path().c_str(), 1, 0, name, &name_len, shape, &shape_len), KIV_STATUS_SUCCESS);
    EXPECT_STREQ(name, "orphan");
    EXPECT_EQ(shape_len, 0u);
    EXPECT_EQ(shape[0], -1);
}
