// One name per input and output tensor of a container, by the rule that the
// Python package kiv follows too (python/kiv/tensor_info.py): the names the
// graph lists; where the graph lists none, the first subgraph's; where that
// list gives the i-th tensor no name (an empty one), "input<i>" or
// "output<i>". A container packed from a bare executable lists no graph
// inputs or outputs, so its tensors are its subgraph's "input" and "output".
#ifndef ZOR_MODEL_TENSORS_H
#define ZOR_MODEL_TENSORS_H

#include <string>
#include <vector>

#include "serialization_handler.h"

namespace zor {

struct NamedTensor {
    std::string name;
    // The container's description of the tensor (the first of its tensors
    // with this name), or null when it has none.
    const kiv::Tensor* described = nullptr;
};

struct TensorList {
    std::vector<NamedTensor> tensors;
    // The subgraph that named them, or null when the graph itself did.
    const kiv::Subgraph* named_by_subgraph = nullptr;
};

TensorList model_inputs(const kiv::SerializationHandler& model);
TensorList model_outputs(const kiv::SerializationHandler& model);

}  // namespace zor

#endif  // ZOR_MODEL_TENSORS_H
