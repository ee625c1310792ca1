// Graph description loading and the three container packers.
#include <cstdio>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

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

// Reports the first key that `object` lacks; true when all are present.
bool has_keys(const json& object, const char* kind, size_t index, std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
        if (member(object, key) == nullptr) {
            printf("Error in json: %s %zu has no '%s'\n", kind, index, key);
            return false;
        }
    }
    return true;
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

void report_missing(const char* key) {
    std::cout << "json error '" << key << "' \n";
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

int write_image(SerializationHandler& handler, const char* out_path) {
    if (int result = handler.serialize()) return result;
    const char* image = reinterpret_cast<const char*>(handler.GetBufferPointer());
    if (out_path == nullptr || !flatbuffers::SaveFile(out_path, image, handler.GetBufferSize(), true)) {
        printf("Error saving floatbuffer file: %s\n", out_path != nullptr ? out_path : "");
        return KIV_SERIALIZATION_FILE_ERROR;
    }
    return KIV_SERIALIZATION_OK;
}

}  // namespace

int SerializationHandler::LoadJson(const char* path) {
    std::string text;
    if (path == nullptr || !flatbuffers::LoadFile(path, false, &text)) {
        printf("Error loading json file: %s\n", path != nullptr ? path : "");
        return KIV_SERIALIZATION_FILE_ERROR;
    }
    const json document = json::parse(text, nullptr, true, false);

    clear();
    io_json_ = text;

    if (document.contains("name")) {
        name_ = document["name"].get<std::string>();
    } else {
        report_missing("name");
    }
    if (has_array(document, "version")) {
        const json& version = document["version"];
        version_.set_version(json_number<int>(version.at(0)), json_number<int>(version.at(1)),
                             json_number<int>(version.at(2)), false);
    } else {
        report_missing("version");
    }
    if (has_array(document, "inputs")) {
        inputs_ = string_list(document["inputs"]);
    } else {
        report_missing("inputs");
    }
    if (has_array(document, "outputs")) {
        outputs_ = string_list(document["outputs"]);
    } else {
        report_missing("outputs");
    }

    if (has_array(document, "tensors")) {
        size_t index = 0;
        for (const json& object : document["tensors"]) {
            if (!has_keys(object, "tensor", index++, {"name", "dtype", "shape", "qtype", "scale", "zero_point"})) {
                return KIV_SERIALIZATION_FILE_ERROR;
            }
            adopt(tensors_, read_tensor(object));
        }
    } else {
        report_missing("tensors");
    }

    if (has_array(document, "subgraphs")) {
        size_t index = 0;
        for (const json& object : document["subgraphs"]) {
            if (!has_keys(object, "subgraph", index++, {"name", "backend", "inputs", "outputs", "data"})) {
                return KIV_SERIALIZATION_FILE_ERROR;
            }
            std::string name = object.at("name").get<std::string>();
            auto backend = static_cast<Backend>(json_number<uint32_t>(object.at("backend")));
            std::vector<std::string> inputs = string_list(object.at("inputs"));
            std::vector<std::string> outputs = string_list(object.at("outputs"));
            std::string data_path = object.at("data").get<std::string>();
            std::string bytes;
            if (!load_bytes(data_path.c_str(), bytes)) {
                printf("Error loading origin model: %s\n", data_path.c_str());
                return KIV_SERIALIZATION_FILE_ERROR;
            }
            adopt(subgraphs_, std::make_unique<Subgraph>(name, to_code(bytes), inputs, outputs, backend));
        }
    } else {
        report_missing("subgraphs");
    }
    return KIV_SERIALIZATION_OK;
}

int SerializationHandler::Serialization(const char* bin_path, const char* io_json_path, const char* out_path) {
    int result = LoadIoJson(io_json_path);
    if (result != KIV_SERIALIZATION_OK) return result;

    std::string bytes;
    if (bin_path == nullptr || !load_bytes(bin_path, bytes)) {
        printf("Error loading model bin: %s\n", bin_path != nullptr ? bin_path : "");
        return KIV_SERIALIZATION_FILE_ERROR;
    }
    adopt(subgraphs_, std::make_unique<Subgraph>("main", to_code(bytes), inputs_, outputs_, kAipuBackend));
    return write_image(*this, out_path);
}

int SerializationHandler::Serialization(const char* in_path, const char* out_path, bool is_json) {
    if (is_json) {
        int result = LoadJson(in_path);
        if (result != KIV_SERIALIZATION_OK) return result;
    } else {
        if (in_path == nullptr || !load_bytes(in_path, raw_buffer_)) {
            printf("Error loading origin model: %s\n", in_path != nullptr ? in_path : "");
            return KIV_SERIALIZATION_FILE_ERROR;
        }
        adopt(subgraphs_, std::make_unique<Subgraph>("main", to_code(raw_buffer_), std::vector<std::string>{"input"},
                                                     std::vector<std::string>{"output"}, kAipuBackend));
    }
    return write_image(*this, out_path);
}

int SerializationHandler::Serialization(const char* in_path, bool is_json) {
    if (is_json) {
        int result = LoadJson(in_path);
        if (result != KIV_SERIALIZATION_OK) return result;
    } else {
        std::string bytes;
        if (in_path == nullptr || !load_bytes(in_path, bytes)) {
            printf("Error loading origin model: %s\n", in_path != nullptr ? in_path : "");
            return KIV_SERIALIZATION_FILE_ERROR;
        }
        adopt(subgraphs_, std::make_unique<Subgraph>("aipu", to_code(bytes), std::vector<std::string>{"input"},
                                                     std::vector<std::string>{"output"}, kAipuBackend));
    }
    return serialize();
}

}  // namespace kiv
