// The exact bytes of a small container, worked out from the schema, the
// builder's back-to-front layout and the order in which serialize() creates
// its strings, vectors and tables.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serialization_handler.h"
#include "serialization_test_util.h"

namespace {

// Model: name "m", version 1.2.3 (not draft), no subgraphs, tensors, inputs
// or outputs, no IO JSON text.
const std::vector<uint8_t> kSmallContainer = {
    // 0: root offset -> ZorGraph table at 20; no file identifier follows.
    0x14,
    0x00,
    0x00,
    0x00,
    // 4: ZorGraph vtable: 16 bytes, table 28 bytes; version@4 name@8
    // subgraphs@12 tensors@16 inputs@20 outputs@24; no io_json slot.
    0x10,
    0x00,
    0x1c,
    0x00,
    0x04,
    0x00,
    0x08,
    0x00,
    0x0c,
    0x00,
    0x10,
    0x00,
    0x14,
    0x00,
    0x18,
    0x00,
    // 20: ZorGraph table: vtable at 20 - 16 = 4.
    0x10,
    0x00,
    0x00,
    0x00,
    // 24: version -> 24 + 44 = 68
    0x2c,
    0x00,
    0x00,
    0x00,
    // 28: name -> 28 + 20 = 48
    0x14,
    0x00,
    0x00,
    0x00,
    // 32: subgraphs -> 32 + 68 = 100
    0x44,
    0x00,
    0x00,
    0x00,
    // 36: tensors -> 36 + 60 = 96
    0x3c,
    0x00,
    0x00,
    0x00,
    // 40: inputs -> 40 + 52 = 92
    0x34,
    0x00,
    0x00,
    0x00,
    // 44: outputs -> 44 + 44 = 88
    0x2c,
    0x00,
    0x00,
    0x00,
    // 48: name string: length 1, "m", terminator, 2 bytes padding.
    0x01,
    0x00,
    0x00,
    0x00,
    0x6d,
    0x00,
    0x00,
    0x00,
    // 56: Version vtable: 12 bytes, table 20 bytes; _major@8 _minor@12
    // _patch@16 _draft@7.
    0x0c,
    0x00,
    0x14,
    0x00,
    0x08,
    0x00,
    0x0c,
    0x00,
    0x10,
    0x00,
    0x07,
    0x00,
    // 68: Version table: vtable at 68 - 12 = 56.
    0x0c,
    0x00,
    0x00,
    0x00,
    // 72: 3 bytes padding, then _draft = false (stored: default is true).
    0x00,
    0x00,
    0x00,
    0x00,
    // 76: _major 1, _minor 2, _patch 3 (added patch first, so highest).
    0x01,
    0x00,
    0x00,
    0x00,
    0x02,
    0x00,
    0x00,
    0x00,
    0x03,
    0x00,
    0x00,
    0x00,
    // 88: outputs, 92: inputs, 96: tensors, 100: subgraphs - all empty
    // vectors, created first and so last in the buffer.
    0x00,
    0x00,
    0x00,
    0x00,
    0x00,
    0x00,
    0x00,
    0x00,
    0x00,
    0x00,
    0x00,
    0x00,
    0x00,
    0x00,
    0x00,
    0x00,
};

TEST(ContainerBytesTest, SmallModelMatchesHandWorkedLayout) {
    kiv::SerializationHandler handler;
    handler.SetName("m");
    handler.SetVersion(1, 2, 3, false);
    handler.serialize();
    const std::string image = kiv_test::image_of(handler);
    EXPECT_EQ(std::vector<uint8_t>(image.begin(), image.end()), kSmallContainer);

    kiv::SerializationHandler reread;
    ASSERT_EQ(reread.deserialize(kSmallContainer.data(), kSmallContainer.size()), 0);
    EXPECT_EQ(reread.GetName(), "m");
    EXPECT_EQ(reread.GetVersion(), "1.2.3");
}

// Whether a table stores a field; generated tables hide their Table base.
bool has_field(const void* table, flatbuffers::voffset_t field) {
    return static_cast<const flatbuffers::Table*>(table)->CheckField(field);
}

TEST(ContainerBytesTest, DefaultScalarsAreLeftOut) {
    kiv::SerializationHandler handler;
    handler.SetVersion(4, 5, 6, true);
    handler.GetTensors().push_back(
        new kiv::Tensor("plain", {2}, static_cast<kiv::DType>(0), static_cast<kiv::QType>(0), {}, {}));
    handler.GetTensors().push_back(
        new kiv::Tensor("typed", {2}, static_cast<kiv::DType>(5), static_cast<kiv::QType>(6), {}, {}));
    handler.GetSubgraphs().push_back(
        new kiv::Subgraph("s", std::vector<uint8_t>{1}, {}, {}, static_cast<kiv::Backend>(0)));
    handler.serialize();
    const std::string image = kiv_test::image_of(handler);
    const kiv::ZorGraph* graph = kiv::GetZorGraph(image.data());

    // A draft version keeps the default draft flag out of the table.
    EXPECT_FALSE(has_field(graph->version(), kiv::Version::VT__DRAFT));
    EXPECT_TRUE(has_field(graph->version(), kiv::Version::VT__MAJOR));
    const kiv::ZorTensor* plain = graph->tensors()->Get(0);
    EXPECT_FALSE(has_field(plain, kiv::ZorTensor::VT_DTYPE));
    EXPECT_FALSE(has_field(plain, kiv::ZorTensor::VT_QTYPE));
    EXPECT_TRUE(has_field(plain, kiv::ZorTensor::VT_SCALE));  // empty, but present
    const kiv::ZorTensor* typed = graph->tensors()->Get(1);
    EXPECT_TRUE(has_field(typed, kiv::ZorTensor::VT_DTYPE));
    EXPECT_EQ(typed->dtype(), 5u);
    EXPECT_EQ(typed->qtype(), 6u);
    EXPECT_FALSE(has_field(graph->subgraphs()->Get(0), kiv::ZorSubgraph::VT_BACKEND));

    kiv::SerializationHandler reread;
    ASSERT_EQ(reread.deserialize(kiv_test::as_bytes(image), image.size()), 0);
    EXPECT_EQ(reread.GetVersion(), "4.5.6d");
    EXPECT_EQ(reread.GetTensors()[0]->GetDtype(), 0u);
    EXPECT_EQ(reread.GetTensors()[0]->GetQType(), 0u);
}

}  // namespace
