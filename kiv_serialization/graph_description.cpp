// Graph description loading and the three container packers.
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "container_result.h"
#include "flatbuffers/util.h"
#include "json_numbers.h"
#include "serialization_handler.h"

namespace kiv {
namespace {

using nlohmann::json;

constexpr Backend kAipuBackend = static_cast<Backend>(1);

// The key of a tensor or subgraph object, or null when the object lacks it.
// A value that is not an object at all is left to the JSON library's type
// error, like any other value of the wrong type.
const json* member(const json& object, const char* key) {
    if (object.is_object() && !object.contains(key)) return nullptr;
    return &object.at(key);
}

// The first key that `object` lacks, or null when all are present.
const char* missing_key(const json& object, std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
        if (member(object, key) == nullptr) return key;
    }
    return nullptr;
}

std::string missing_key_line(const char* kind, size_t index, const char* key) {
    return std::string("Error in json: ") + kind + " " + std::to_string(index) + " has no '" + key + "'";
}

// Arrays are iterated the library's way: a single value counts as one
// element and null as none.
std::vector<int> int_list(const json& values) {
    std::vector<int> result;
    for (const json& value : values) result.push_back(json_number<int>(value));
    return result;
}

std::vector<float> float_list(const json& values) {
    std::vector<float> result;
    for (const json& value : values) result.push_back(json_number<float>(value));
    return result;
}

std::vector<std::string> string_list(const json& values) {
    std::vector<std::string> result;
    for (const json& value : values) result.push_back(value.get<std::string>());
    return result;
}

bool has_array(const json& document, const char* key) {
    return document.contains(key) && document[key].is_array();
}

// A note, not a failure: the model goes on without the key.
void note_missing(ContainerResult& result, const char* key) {
    result.lines.push_back(std::string("json error '") + key + "' ");
}

std::string or_empty(const char* path) {
    return path != nullptr ? path : "";
}

std::unique_ptr<Tensor> read_tensor(const json& object) {
    std::string name = object.at("name").get<std::string>();
    auto dtype = static_cast<DType>(json_number<uint32_t>(object.at("dtype")));
    std::vector<int> shape = int_list(object.at("shape"));
    auto qtype = static_cast<QType>(json_number<uint32_t>(object.at("qtype")));
    std::vector<float> scale = float_list(object.at("scale"));
    std::vector<int> zero_point = int_list(object.at("zero_point"));
    return std::make_unique<Tensor>(name, shape, dtype, qtype, scale, zero_point);
}

bool load_bytes(const char* path, std::string& bytes) {
    return flatbuffers::LoadFile(path, true, &bytes);
}

std::vector<uint8_t> to_code(const std::string& bytes) {
    auto code = reinterpret_cast<const uint8_t*>(bytes.data());
    return std::vector<uint8_t>(code, code + bytes.size());
}

// Hands an object to one of the handler's owning pointer lists.
template <typename T>
void adopt(std::vector<T*>& owners, std::unique_ptr<T> object) {
    owners.push_back(object.get());
    object.release();
}

// Writes the image built in the handler's builder to `out_path`.
ContainerResult write_image(SerializationHandler& handler, const char* out_path) {
    ContainerResult result;
    const char* image = reinterpret_cast<const char*>(handler.GetBufferPointer());
    if (out_path == nullptr || !flatbuffers::SaveFile(out_path, image, handler.GetBufferSize(), true)) {
        result.fail(KIV_SERIALIZATION_FILE_ERROR, "Error saving floatbuffer file: " + or_empty(out_path));
    }
    return result;
}

// Builds the image with `pack` into a result, then writes it to `out_path`,
// printing the lines of both.
template <typename Pack>
int pack_and_write(Pack&& pack, SerializationHandler& handler, const char* out_path) {
    return print_lines_of([&](ContainerResult& result) {
        if (!pack(result).ok()) return;
        const ContainerResult written = write_image(handler, out_path);
        result.code = written.code;
        result.lines.insert(result.lines.end(), written.lines.begin(), written.lines.end());
    });
}

}  // namespace

int SerializationHandler::LoadJson(const char* path) {
    return print_lines_of([&](ContainerResult& result) { load_graph_description(*this, path, result); });
}

ContainerResult& load_graph_description(SerializationHandler& model, const char* path, ContainerResult& result) {
    std::string text;
    if (path == nullptr || !flatbuffers::LoadFile(path, false, &text)) {
        return result.fail(KIV_SERIALIZATION_FILE_ERROR, "Error loading json file: " + or_empty(path));
    }
    const json document = json::parse(text, nullptr, true, false);

    model.clear();
    model.io_json_ = text;

    if (document.contains("name")) {
        model.name_ = document["name"].get<std::string>();
    } else {
        note_missing(result, "name");
    }
    if (has_array(document, "version")) {
        const json& version = document["version"];
        model.version_.set_version(json_number<int>(version.at(0)), json_number<int>(version.at(1)),
                                   json_number<int>(version.at(2)), false);
    } else {
        note_missing(result, "version");
    }
    if (has_array(document, "inputs")) {
        model.inputs_ = string_list(document["inputs"]);
    } else {
        note_missing(result, "inputs");
    }
    if (has_array(document, "outputs")) {
        model.outputs_ = string_list(document["outputs"]);
    } else {
        note_missing(result, "outputs");
    }

    if (has_array(document, "tensors")) {
        size_t index = 0;
        for (const json& object : document["tensors"]) {
            const char* missing = missing_key(object, {"name", "dtype", "shape", "qtype", "scale", "zero_point"});
            if (missing != nullptr) {
                return result.fail(KIV_SERIALIZATION_FILE_ERROR, missing_key_line("tensor", index, missing));
            }
            ++index;
            adopt(model.tensors_, read_tensor(object));
        }
    } else {
        note_missing(result, "tensors");
    }

    if (has_array(document, "subgraphs")) {
        size_t index = 0;
        for (const json& object : document["subgraphs"]) {
            const char* missing = missing_key(object, {"name", "backend", "inputs", "outputs", "data"});
            if (missing != nullptr) {
                return result.fail(KIV_SERIALIZATION_FILE_ERROR, missing_key_line("subgraph", index, missing));
            }
            ++index;
            std::string name = object.at("name").get<std::string>();
            auto backend = static_cast<Backend>(json_number<uint32_t>(object.at("backend")));
            std::vector<std::string> inputs = string_list(object.at("inputs"));
            std::vector<std::string> outputs = string_list(object.at("outputs"));
            std::string data_path = object.at("data").get<std::string>();
            std::string bytes;
            if (!load_bytes(data_path.c_str(), bytes)) {
                return result.fail(KIV_SERIALIZATION_FILE_ERROR, "Error loading origin model: " + data_path);
            }
            adopt(model.subgraphs_, std::make_unique<Subgraph>(name, to_code(bytes), inputs, outputs, backend));
        }
    } else {
        note_missing(result, "subgraphs");
    }
    return result;
}

// Each step's lines are kept, notes included, up to the first failure.
static ContainerResult& then(ContainerResult& result, const ContainerResult& step) {
    result.code = step.code;
    result.lines.insert(result.lines.end(), step.lines.begin(), step.lines.end());
    return result;
}

ContainerResult& pack_graph_description(SerializationHandler& model, const char* graph_path, ContainerResult& result) {
    if (!load_graph_description(model, graph_path, result).ok()) return result;
    return then(result, serialize_model(model));
}

ContainerResult pack_executable_with_io(SerializationHandler& model, const char* bin_path, const char* io_path) {
    ContainerResult result = load_io_description(model, io_path);
    if (!result.ok()) return result;
    std::string bytes;
    if (bin_path == nullptr || !load_bytes(bin_path, bytes)) {
        return result.fail(KIV_SERIALIZATION_FILE_ERROR, "Error loading model bin: " + or_empty(bin_path));
    }
    adopt(model.GetSubgraphs(),
          std::make_unique<Subgraph>("main", to_code(bytes), model.GetInputs(), model.GetOutputs(), kAipuBackend));
    return then(result, serialize_model(model));
}

ContainerResult pack_bare_executable(SerializationHandler& model, const char* bin_path) {
    ContainerResult result;
    std::string bytes;
    if (bin_path == nullptr || !load_bytes(bin_path, bytes)) {
        return result.fail(KIV_SERIALIZATION_FILE_ERROR, "Error loading origin model: " + or_empty(bin_path));
    }
    adopt(model.GetSubgraphs(), std::make_unique<Subgraph>("main", to_code(bytes), std::vector<std::string>{"input"},
                                                           std::vector<std::string>{"output"}, kAipuBackend));
    return then(result, serialize_model(model));
}

int SerializationHandler::Serialization(const char* bin_path, const char* io_json_path, const char* out_path) {
    auto pack = [&](ContainerResult& result) -> ContainerResult& {
        return result = pack_executable_with_io(*this, bin_path, io_json_path);
    };
    return pack_and_write(pack, *this, out_path);
}

int SerializationHandler::Serialization(const char* in_path, const char* out_path, bool is_json) {
    auto pack = [&](ContainerResult& result) -> ContainerResult& {
        if (is_json) return pack_graph_description(*this, in_path, result);
        return result = pack_bare_executable(*this, in_path);
    };
    return pack_and_write(pack, *this, out_path);
}

int SerializationHandler::Serialization(const char* in_path, bool is_json) {
    if (is_json) {
        return print_lines_of([&](ContainerResult& result) { pack_graph_description(*this, in_path, result); });
    }
    ContainerResult result;
    std::string bytes;
    if (in_path == nullptr || !load_bytes(in_path, bytes)) {
        return print_lines(
            result.fail(KIV_SERIALIZATION_FILE_ERROR, "Error loading origin model: " + or_empty(in_path)));
    }
    adopt(subgraphs_, std::make_unique<Subgraph>("aipu", to_code(bytes), std::vector<std::string>{"input"},
                                                 std::vector<std::string>{"output"}, kAipuBackend));
    return print_lines(serialize_model(*this));
}

}  // namespace kiv
