// Container bytes straight from memory: the verifying reader must accept or
// refuse them, never read outside them. An accepted container must survive
// being written again and read back with the same content.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "serialization_handler.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A private copy of exactly `size` bytes, so ASan sees any read past it.
    std::vector<unsigned char> bytes(data, data + size);
    kiv::SerializationHandler handler;
    if (handler.deserialize(bytes.data(), bytes.size()) != KIV_SERIALIZATION_OK) return 0;

    const size_t subgraphs = handler.GetSubgraphs().size();
    const size_t tensors = handler.GetTensors().size();
    const size_t inputs = handler.GetInputInfos().size();
    handler.serialize();
    std::vector<unsigned char> image(handler.GetBufferPointer(), handler.GetBufferPointer() + handler.GetBufferSize());

    kiv::SerializationHandler again;
    check(again.deserialize(image.data(), image.size()) == KIV_SERIALIZATION_OK);
    check(again.GetSubgraphs().size() == subgraphs);
    check(again.GetTensors().size() == tensors);
    check(again.GetInputInfos().size() == inputs);
    for (size_t i = 0; i < subgraphs; ++i) {
        check(again.GetSubgraphs()[i]->GetSize() == handler.GetSubgraphs()[i]->GetSize());
    }
    return 0;
}
