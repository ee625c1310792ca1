#include "model_container.h"

#include <fstream>
#include <stdexcept>

#include "serialization_handler.h"

namespace {

std::vector<std::string> names_of(const std::vector<TensorSpec>& tensors) {
    std::vector<std::string> names;
    for (const auto& tensor : tensors) names.push_back(tensor.name);
    return names;
}

void add_tensors(kiv::SerializationHandler& handler, const std::vector<TensorSpec>& tensors) {
    for (const auto& tensor : tensors) {
        if (!tensor.described) continue;
        handler.GetTensors().push_back(new kiv::Tensor(tensor.name, tensor.shape, static_cast<kiv::DType>(11),
                                                       kiv::QType_QT_UNSPECIFIED, {1.0f}, {0}));
    }
}

}  // namespace

void write_container(const std::string& path, const ContainerSpec& spec) {
    kiv::SerializationHandler handler;
    handler.SetName("test_model");
    handler.SetVersion(1, 0, 0, false);
    const auto inputs = names_of(spec.inputs);
    const auto outputs = names_of(spec.outputs);
    handler.GetInputs() = inputs;
    handler.GetOutputs() = outputs;
    add_tensors(handler, spec.inputs);
    add_tensors(handler, spec.outputs);
    for (size_t i = 0; i < spec.executables.size(); ++i) {
        handler.GetSubgraphs().push_back(new kiv::Subgraph("subgraph" + std::to_string(i), spec.executables[i], inputs,
                                                           outputs, kiv::Backend_BACKEND_AIPU));
    }
    if (handler.serialize() != 0) throw std::runtime_error("cannot serialise test container");
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(handler.GetBufferPointer()),
              static_cast<std::streamsize>(handler.GetBufferSize()));
    if (!out) throw std::runtime_error("cannot write " + path);
}
