#include "zor_formatting.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "data_type_names.h"

namespace zor {
namespace {

struct CodeName {
    uint32_t code;
    const char* name;
};

// The engines of the container's Backend enumeration.
const CodeName kBackends[] = {{0, "UNSPECIFIED"}, {1, "AIPU"}};

template <size_t N>
std::string name_of(const CodeName (&table)[N], uint32_t code) {
    for (const CodeName& entry : table) {
        if (entry.code == code) return entry.name;
    }
    return "";
}

std::string named_code(const std::string& name, uint32_t code) {
    return (name.empty() ? std::string("unknown") : name) + " (" + std::to_string(code) + ")";
}

std::string item_text(int value) {
    return std::to_string(value);
}

std::string item_text(float value) {
    return float_text(value);
}

}  // namespace

std::string dtype_name(uint32_t code) {
    return kiv::data_type_label(code);
}

std::optional<uint32_t> dtype_code(const std::string& name) {
    return kiv::data_type_code(name);
}

std::string dtype_text(uint32_t code) {
    return named_code(dtype_name(code), code);
}

std::string backend_text(uint32_t code) {
    return named_code(name_of(kBackends, code), code);
}

std::string byte_count_text(uint64_t bytes) {
    std::string text = std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    if (bytes < 1024) return text;
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    double amount = static_cast<double>(bytes) / 1024;
    size_t unit = 0;
    // Past 1023.95 the one-decimal form would read "1024.0": the next unit.
    while (amount >= 1023.95 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
        amount /= 1024;
        ++unit;
    }
    char human[32];
    snprintf(human, sizeof human, " (%.1f %s)", amount, kUnits[unit]);
    return text + human;
}

std::string float_text(float value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    char text[32];
    for (int digits = 1; digits <= 9; ++digits) {
        snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(value));
        if (std::strtof(text, nullptr) == value) break;
    }
    return text;
}

double float_as_decimal(float value) {
    if (!std::isfinite(value)) return static_cast<double>(value);
    return std::strtod(float_text(value).c_str(), nullptr);
}

std::string shape_text(const std::vector<int>& dims) {
    std::string text = "(";
    for (size_t i = 0; i < dims.size(); ++i) text += (i > 0 ? ", " : "") + std::to_string(dims[i]);
    return text + (dims.size() == 1 ? ",)" : ")");
}

template <typename T>
std::string list_text(const std::vector<T>& values) {
    std::string text = "[";
    for (size_t i = 0; i < values.size(); ++i) text += (i > 0 ? ", " : "") + item_text(values[i]);
    return text + "]";
}

template std::string list_text(const std::vector<int>&);
template std::string list_text(const std::vector<float>&);

}  // namespace zor
