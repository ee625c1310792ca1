#include "model_tensors.h"

namespace kiv {
namespace {

const Tensor* find_tensor(const SerializationHandler& model, const std::string& name) {
    for (const Tensor* tensor : model.GetTensors()) {
        if (tensor != nullptr && tensor->GetName() == name) return tensor;
    }
    return nullptr;
}

// `graph_names` are the graph's list and `subgraph_names` gives the first
// subgraph's list of the same kind.
TensorList name_tensors(const SerializationHandler& model, const std::vector<std::string>& graph_names,
                        const std::vector<std::string>& (Subgraph::*subgraph_names)() const, const char* prefix) {
    TensorList list;
    const std::vector<std::string>* names = &graph_names;
    const auto& subgraphs = model.GetSubgraphs();
    if (names->empty() && !subgraphs.empty() && subgraphs.front() != nullptr) {
        list.named_by_subgraph = subgraphs.front();
        names = &(list.named_by_subgraph->*subgraph_names)();
    }
    for (size_t i = 0; i < names->size(); ++i) {
        const std::string& name = (*names)[i];
        if (name.empty()) {
            list.tensors.push_back({prefix + std::to_string(i), nullptr});
        } else {
            list.tensors.push_back({name, find_tensor(model, name)});
        }
    }
    return list;
}

}  // namespace

TensorList model_inputs(const SerializationHandler& model) {
    return name_tensors(model, model.GetInputs(), &Subgraph::GetInputs, "input");
}

TensorList model_outputs(const SerializationHandler& model) {
    return name_tensors(model, model.GetOutputs(), &Subgraph::GetOutputs, "output");
}

}  // namespace kiv
