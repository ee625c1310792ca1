#include "zor_io_document.h"

#include <nlohmann/json.hpp>

#include "model_tensors.h"
#include "zor_formatting.h"

namespace zor {
namespace {

// Keys stay in the documented order.
using Json = nlohmann::ordered_json;

Json tensor_json(const kiv::NamedTensor& entry) {
    Json tensor = Json::object();
    tensor["name"] = entry.name;
    const kiv::Tensor* described = entry.described;
    tensor["shape"] = described != nullptr ? Json(described->GetShape()) : Json::array();
    tensor["dtype"] = described != nullptr ? static_cast<uint32_t>(described->GetDtype()) : 0u;
    tensor["qtype"] = described != nullptr ? static_cast<uint32_t>(described->GetQType()) : 0u;
    Json scale = Json::array();
    if (described != nullptr) {
        for (float value : described->GetScale()) scale.push_back(float_as_decimal(value));
    }
    tensor["scale"] = scale;
    tensor["zero_point"] = described != nullptr ? Json(described->GetZeroPoint()) : Json::array();
    return tensor;
}

// A value on one line, with a space after each colon and comma. Strings
// that are not valid UTF-8 make the JSON library throw.
std::string one_line(const Json& value) {
    std::string text;
    if (value.is_object()) {
        for (const auto& item : value.items()) {
            text += (text.empty() ? "" : ", ") + Json(item.key()).dump(-1, ' ', false, Json::error_handler_t::strict) +
                    ": " + one_line(item.value());
        }
        return "{" + text + "}";
    }
    if (value.is_array()) {
        for (const Json& item : value) text += (text.empty() ? "" : ", ") + one_line(item);
        return "[" + text + "]";
    }
    return value.dump(-1, ' ', false, Json::error_handler_t::strict);
}

// One tensor a line, so that a model's tensors read as a table.
std::string tensors_text(const kiv::TensorList& list) {
    if (list.tensors.empty()) return "[]";
    std::string text = "[\n";
    for (size_t i = 0; i < list.tensors.size(); ++i) {
        text += "    " + one_line(tensor_json(list.tensors[i])) + (i + 1 < list.tensors.size() ? ",\n" : "\n");
    }
    return text + "  ]";
}

}  // namespace

std::string io_document(const kiv::SerializationHandler& model) {
    const KivVersion& version = model.GetKivVersion();
    return "{\n  \"name\": " + one_line(Json(model.GetName())) +
           ",\n  \"version\": " + one_line(Json::array({version.major, version.minor, version.patch})) +
           ",\n  \"input_tensors\": " + tensors_text(kiv::model_inputs(model)) +
           ",\n  \"output_tensors\": " + tensors_text(kiv::model_outputs(model)) + "\n}\n";
}

}  // namespace zor
