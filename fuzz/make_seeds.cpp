// Writes the seed corpora under <dir>/<target>/ from the project's own
// program builder and container writer: small valid programs, the containers
// that carry them, and IO and graph descriptions of the shapes tools write.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "npu_program_builder.h"
#include "serialization_handler.h"

namespace {

using npu_program::ProgramBuilder;

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::fclose(file);
}

void write_text(const std::string& path, const std::string& text) {
    write_file(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<std::vector<uint8_t>> programs() {
    std::vector<std::vector<uint8_t>> result;
    {
        ProgramBuilder b;
        uint32_t x = b.input({1, 4}, npu_program::kF32);
        uint32_t y = b.output({1, 4}, npu_program::kF32);
        b.copy(y, x);
        result.push_back(b.build());
    }
    {
        ProgramBuilder b;
        uint32_t x = b.input({2, 3}, npu_program::kF32);
        uint32_t w = b.constant<float>({3, 2}, npu_program::kF32, {1, 2, 3, 4, 5, 6});
        uint32_t bias = b.constant<float>({2}, npu_program::kF32, {0.5f, -0.5f});
        uint32_t t = b.temp({2, 2}, npu_program::kF32);
        uint32_t y = b.output({2, 2}, npu_program::kF32);
        b.fully_connected(t, x, w, bias);
        b.relu(y, t);
        result.push_back(b.build());
    }
    {
        ProgramBuilder b;
        uint32_t x = b.input({1, 2}, npu_program::kS8, 0.5f, 1);
        uint32_t w = b.constant<int8_t>({2, 2}, npu_program::kS8, {1, -1, 2, 3}, 0.25f);
        uint32_t bias = b.constant<int32_t>({2}, npu_program::kS32, {4, -4});
        uint32_t y = b.output({1, 2}, npu_program::kU8, 0.1f, 128);
        b.fully_connected(y, x, w, bias);
        result.push_back(b.build());
    }
    {
        ProgramBuilder b;
        uint32_t a = b.input({4}, npu_program::kS16);
        uint32_t c = b.input({4}, npu_program::kS16);
        uint32_t s = b.output({4}, npu_program::kS16);
        uint32_t p = b.output({4}, npu_program::kS16);
        b.add(s, a, c);
        b.mul(p, a, c);
        b.wait_ms(1);
        result.push_back(b.build());
    }
    {
        ProgramBuilder b;
        b.output({1}, npu_program::kU8);
        b.raise_exception(3);
        result.push_back(b.build());
    }
    return result;
}

const char* const kIoDescriptions[] = {
    (R"({"name":"digits","version":[1,0,0],"input_tensors":[{"name":"x","shape":[1,64],"dtype":11}],)"
     R"("output_tensors":[{"name":"y","shape":[1,10],"dtype":11,"qtype":0,"scale":[1.0],"zero_point":[0]}]})"),
    R"({"name":"pair","inputs":["a","b"],"outputs":[{"name":"s","shape":[4]},"p"]})",
    R"({"version":[2,1],"input_tensors":[],"output_tensors":[{"name":"y"}]})",
};

const char* const kGraphDescriptions[] = {
    (R"({"name":"g","version":[1,2,3],"inputs":["x"],"outputs":["y"],)"
     R"("tensors":[{"name":"x","dtype":11,"shape":[1,4],"qtype":0,"scale":[1.0],"zero_point":[0]},)"
     R"({"name":"y","dtype":11,"shape":[1,4],"qtype":0,"scale":[],"zero_point":[]}],)"
     R"("subgraphs":[{"name":"main","backend":1,"inputs":["x"],"outputs":["y"],"data":"prog.bin"}]})"),
    (R"({"name":"two","version":[0,0,1],"inputs":[],"outputs":[],"tensors":[],)"
     R"("subgraphs":[{"name":"a","backend":1,"inputs":[],"outputs":[],"data":"prog.bin"},)"
     R"({"name":"b","backend":0,"inputs":[],"outputs":[],"data":"prog.bin"}]})"),
    R"({"name":"partial","version":[1,0,0]})",
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const auto progs = programs();
    for (size_t i = 0; i < progs.size(); ++i) {
        write_file(dir + "/fuzz_npu_program/prog" + std::to_string(i) + ".bin", progs[i]);
    }
    for (size_t i = 0; i < sizeof(kIoDescriptions) / sizeof(kIoDescriptions[0]); ++i) {
        write_text(dir + "/fuzz_io_json/io" + std::to_string(i) + ".json", kIoDescriptions[i]);
    }
    for (size_t i = 0; i < sizeof(kGraphDescriptions) / sizeof(kGraphDescriptions[0]); ++i) {
        write_text(dir + "/fuzz_graph_json/graph" + std::to_string(i) + ".json", kGraphDescriptions[i]);
    }
    // Containers: each program with each IO description, written by the
    // same code the zor tool uses.
    const std::string scratch = dir + "/.scratch";
    int n = 0;
    for (size_t p = 0; p < progs.size(); ++p) {
        write_file(scratch + ".bin", progs[p]);
        write_text(scratch + ".json", kIoDescriptions[p % 3]);
        const std::string name = "model" + std::to_string(n++) + ".zor";
        kiv::SerializationHandler handler;
        if (handler.Serialization((scratch + ".bin").c_str(), (scratch + ".json").c_str(),
                                  (dir + "/fuzz_container_bytes/" + name).c_str()) != KIV_SERIALIZATION_OK) {
            return 1;
        }
        kiv::SerializationHandler copy;
        if (copy.Serialization((scratch + ".bin").c_str(), (dir + "/fuzz_container_file/" + name).c_str(), false) !=
            KIV_SERIALIZATION_OK) {
            return 1;
        }
    }
    std::remove((scratch + ".bin").c_str());
    std::remove((scratch + ".json").c_str());
    return 0;
}
