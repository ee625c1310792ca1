// Damaged and foreign files handed to the container reader: every one gives
// a result code and its message, none crashes or reads past the bytes.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "serialization_handler.h"
#include "serialization_test_util.h"

using kiv_test::capture_stdout;
using kiv_test::TempDir;

namespace {

std::string valid_image() {
    kiv::SerializationHandler handler;
    kiv_test::fill_model(handler);
    handler.serialize();
    return kiv_test::image_of(handler);
}

// Reads `bytes` from a file; returns the result after checking the message.
int read_back(const TempDir& dir, const std::string& bytes, kiv::SerializationHandler& handler) {
    const std::string path = dir.file("damaged.zor");
    kiv_test::write_file(path, bytes);
    int result = -1;
    std::string out = capture_stdout([&] { result = handler.DeSerialization(path.c_str()); });
    if (result == 0) {
        EXPECT_EQ(out, "");
    } else {
        EXPECT_EQ(result, 4);
        EXPECT_EQ(out, "Error deserializing model: " + path + "\n");
    }
    return result;
}

TEST(ContainerRobustnessTest, EveryTruncationIsRejectedOrReadsTheSameModel) {
    TempDir dir;
    const std::string image = valid_image();
    kiv::SerializationHandler original;
    kiv_test::fill_model(original);
    size_t accepted = 0;
    for (size_t length = 0; length < image.size(); ++length) {
        SCOPED_TRACE("length " + std::to_string(length));
        kiv::SerializationHandler handler;
        if (read_back(dir, image.substr(0, length), handler) == 0) {
            // Only trailing padding can go without losing content.
            ++accepted;
            kiv_test::expect_same_model(original, handler);
        } else {
            EXPECT_TRUE(handler.GetSubgraphs().empty());
            EXPECT_TRUE(handler.GetTensors().empty());
        }
    }
    EXPECT_LE(accepted, 3u);
}

TEST(ContainerRobustnessTest, RandomBytesAreRejected) {
    TempDir dir;
    std::mt19937 random(20240601);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<size_t> length(0, 400);
    int rejected = 0;
    for (int round = 0; round < 250; ++round) {
        std::string bytes(length(random), '\0');
        for (char& c : bytes) c = static_cast<char>(byte(random));
        kiv::SerializationHandler handler;
        if (read_back(dir, bytes, handler) == 4) ++rejected;
    }
    // Noise essentially never forms a valid table with the required version.
    EXPECT_GE(rejected, 245);
}

TEST(ContainerRobustnessTest, FlippedBytesNeverCrashTheReader) {
    TempDir dir;
    const std::string image = valid_image();
    std::mt19937 random(7);
    std::uniform_int_distribution<size_t> position(0, image.size() - 1);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 200; ++round) {
        std::string bytes = image;
        for (int flips = 0; flips < 1 + round % 4; ++flips) bytes[position(random)] = static_cast<char>(byte(random));
        kiv::SerializationHandler handler;
        const int result = read_back(dir, bytes, handler);
        EXPECT_TRUE(result == 0 || result == 4);
    }
}

TEST(ContainerRobustnessTest, OffsetsPointingOutsideAreRejected) {
    TempDir dir;
    std::string image = valid_image();
    // Root offset far past the end, then one pointing at the last byte.
    std::string bytes = image;
    bytes[0] = '\xff';
    bytes[1] = '\xff';
    kiv::SerializationHandler handler;
    EXPECT_EQ(read_back(dir, bytes, handler), 4);
    const uint32_t last = static_cast<uint32_t>(image.size() - 1);
    bytes = image;
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((last >> (8 * i)) & 0xff);
    EXPECT_EQ(read_back(dir, bytes, handler), 4);
    EXPECT_EQ(read_back(dir, std::string(3, '\0'), handler), 4);
    EXPECT_EQ(read_back(dir, std::string(64, '\0'), handler), 4);
}

}  // namespace
