// One name per input and output tensor of a container, by the one rule that
// the zor tool and the kiv package (through kiv._native.describe) both
// follow: the names the graph lists; where the graph lists none, the first
// subgraph's; where that list gives the i-th tensor no name (an empty one),
// "input<i>" or "output<i>". A container packed from a bare executable lists
// no graph inputs or outputs, so its tensors are its subgraph's "input" and
// "output".
#ifndef KIV_MODEL_TENSORS_H
#define KIV_MODEL_TENSORS_H

#include <string>
#include <vector>

#include "serialization_handler.h"

namespace kiv {

struct NamedTensor {
    std::string name;
    // The container's description of the tensor (the first of its tensors
    // with this name), or null when it has none.
    const Tensor* described = nullptr;
};

struct TensorList {
    std::vector<NamedTensor> tensors;
    // The subgraph that named them, or null when the graph itself did.
    const Subgraph* named_by_subgraph = nullptr;
};

TensorList model_inputs(const SerializationHandler& model);
TensorList model_outputs(const SerializationHandler& model);

}  // namespace kiv

#endif  // KIV_MODEL_TENSORS_H
