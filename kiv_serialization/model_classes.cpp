// The two value classes of the in-memory model. Each keeps its own copy of
// everything it is given, so a model never refers into a file buffer.
#include <utility>

#include "serialization_handler.h"

namespace kiv {

Tensor::Tensor(const std::string& name, const std::vector<int>& shape, DType dtype, QType qtype,
               const std::vector<float>& scale, const std::vector<int>& zero_point)
    : name_(name), shape_(shape), dtype_(dtype), qtype_(qtype), scale_(scale), zero_point_(zero_point) {}

Subgraph::Subgraph(const std::string& name, const uint8_t* data, uint32_t size, const std::vector<std::string>& inputs,
                   const std::vector<std::string>& outputs, Backend backend)
    : name_(name), inputs_(inputs), outputs_(outputs), backend_(backend) {
    if (data != nullptr && size > 0) data_.assign(data, data + size);
}

Subgraph::Subgraph(const std::string& name, const flatbuffers::Vector<uint8_t>* data,
                   const std::vector<std::string>& inputs, const std::vector<std::string>& outputs, Backend backend)
    : name_(name), inputs_(inputs), outputs_(outputs), backend_(backend) {
    if (data != nullptr) data_.assign(data->begin(), data->end());
}

Subgraph::Subgraph(const std::string& name, const std::vector<uint8_t>& data, const std::vector<std::string>& inputs,
                   const std::vector<std::string>& outputs, Backend backend)
    : name_(name), data_(data), inputs_(inputs), outputs_(outputs), backend_(backend) {}

Subgraph::Subgraph(const std::string& name, std::vector<uint8_t>&& data, const std::vector<std::string>& inputs,
                   const std::vector<std::string>& outputs, Backend backend)
    : name_(name), data_(std::move(data)), inputs_(inputs), outputs_(outputs), backend_(backend) {}

}  // namespace kiv
