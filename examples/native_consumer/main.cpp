// Packs a zor model container from an executable and an IO description with
// the container classes exported by libkiv, reads it back and checks what it
// holds. Usage: kiv_consumer <work directory>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "serialization_handler.h"

namespace {

bool write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    return static_cast<bool>(out);
}

int fail(const char* what) {
    std::fprintf(stderr, "kiv_consumer: %s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return fail("usage: kiv_consumer <work directory>");
    const std::string dir = argv[1];
    const std::string bin = dir + "/program.bin", io = dir + "/io.json", out = dir + "/model.zor";
    const std::string program("\x01\x02\x03\x00\xff", 5);
    const std::string io_json = R"({"name": "consumer", "version": [2, 3, 4],
        "input_tensors": [{"name": "x", "shape": [1, 64], "dtype": 3}],
        "output_tensors": [{"name": "y", "shape": [1, 10], "dtype": 3}]})";
    if (!write_file(bin, program) || !write_file(io, io_json)) return fail("cannot write the input files");

    {
        kiv::SerializationHandler packer;
        if (packer.Serialization(bin.c_str(), io.c_str(), out.c_str()) != KIV_SERIALIZATION_OK)
            return fail("packing failed");
    }

    kiv::SerializationHandler reader;
    if (reader.DeSerialization(out.c_str()) != KIV_SERIALIZATION_OK) return fail("reading the container failed");
    if (reader.GetName() != "consumer" || reader.GetVersion() != "2.3.4") return fail("wrong name or version");
    const std::vector<kiv::IoTensorInfo> inputs = reader.GetInputInfos();
    if (inputs.size() != 1 || inputs[0].name != "x" || inputs[0].shape != std::vector<int32_t>{1, 64})
        return fail("wrong input description");
    const auto& subgraphs = reader.GetSubgraphs();
    if (subgraphs.size() != 1 ||
        std::string(reinterpret_cast<const char*>(subgraphs[0]->GetData()), subgraphs[0]->GetSize()) != program)
        return fail("wrong executable");

    reader.ShowInformation();
    std::printf("kiv_consumer: container round trip ok\n");
    return 0;
}
