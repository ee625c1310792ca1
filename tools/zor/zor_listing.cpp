#include "zor_listing.h"

#include <algorithm>

#include "model_tensors.h"
#include "zor_formatting.h"

namespace zor {
namespace {

// One "label  value" line at the given indent, values aligned.
std::string line(const std::string& indent, const std::string& label, const std::string& value) {
    std::string text = indent + label;
    text.resize(std::max(text.size() + 1, indent.size() + 12), ' ');
    return text + value + "\n";
}

std::string or_placeholder(const std::string& text, const char* placeholder) {
    return text.empty() ? placeholder : text;
}

std::string joined(const std::vector<std::string>& names) {
    if (names.empty()) return "(none)";
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + or_placeholder(name, "(empty)");
    return text;
}

// A container without a version table reads the schema's defaults: -1
// everywhere, as a draft.
std::string version_text(const KivVersion& version) {
    if (version.major == -1 && version.minor == -1 && version.patch == -1) return "(not set)";
    std::string text =
        std::to_string(version.major) + "." + std::to_string(version.minor) + "." + std::to_string(version.patch);
    return version.draft ? text + " (draft)" : text;
}

std::string tensor_block(size_t index, const kiv::NamedTensor& entry) {
    std::string text = "  " + std::to_string(index) + "  " + entry.name + "\n";
    const kiv::Tensor* tensor = entry.described;
    if (tensor == nullptr) return text + "       (the container does not describe it)\n";
    const std::string indent = "       ";
    text += line(indent, "shape", shape_text(tensor->GetShape()));
    text += line(indent, "dtype", dtype_text(static_cast<uint32_t>(tensor->GetDtype())));
    text += line(indent, "qtype", std::to_string(static_cast<uint32_t>(tensor->GetQType())));
    text += line(indent, "scale", list_text(tensor->GetScale()));
    text += line(indent, "zero point", list_text(tensor->GetZeroPoint()));
    return text;
}

std::string tensors_section(const char* title, const kiv::TensorList& list) {
    std::string count = std::to_string(list.tensors.size());
    if (list.named_by_subgraph != nullptr) {
        count += " (named by subgraph " + or_placeholder(list.named_by_subgraph->GetName(), "0") + ")";
    }
    std::string text = line("", title, count);
    for (size_t i = 0; i < list.tensors.size(); ++i) text += tensor_block(i, list.tensors[i]);
    return text;
}

std::string subgraph_block(size_t index, const kiv::Subgraph& subgraph) {
    std::string text = "  " + std::to_string(index) + "  " + or_placeholder(subgraph.GetName(), "(no name)") + "\n";
    const std::string indent = "       ";
    text += line(indent, "backend", backend_text(static_cast<uint32_t>(subgraph.GetBackend())));
    std::string executable = byte_count_text(subgraph.GetByteCount());
    if (index == 0 && subgraph.GetByteCount() == 0) executable += " (none: the model has no NPU executable to load)";
    text += line(indent, "executable", executable);
    text += line(indent, "inputs", joined(subgraph.GetInputs()));
    text += line(indent, "outputs", joined(subgraph.GetOutputs()));
    return text;
}

}  // namespace

std::string model_listing(const kiv::SerializationHandler& model) {
    std::string text = line("", "Model:", or_placeholder(model.GetName(), "(no name)"));
    text += line("", "Version:", version_text(model.GetKivVersion()));
    text += tensors_section("Inputs:", kiv::model_inputs(model));
    text += tensors_section("Outputs:", kiv::model_outputs(model));
    const auto& subgraphs = model.GetSubgraphs();
    text += line("", "Subgraphs:", std::to_string(subgraphs.size()));
    for (size_t i = 0; i < subgraphs.size(); ++i) {
        if (subgraphs[i] != nullptr) text += subgraph_block(i, *subgraphs[i]);
    }
    return text;
}

}  // namespace zor
