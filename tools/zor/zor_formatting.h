// How the tool writes numbers and codes for people: element types by the
// names the kiv package uses too, byte counts with a binary unit, floats in
// their shortest exact form.
#ifndef ZOR_FORMATTING_H
#define ZOR_FORMATTING_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zor {

// The name of an element type code that kiv uses too (kiv::data_type_label:
// 11 is "float32", 3 "int8", 13 "bf16"); empty for a code the runtime does
// not define.
std::string dtype_name(uint32_t code);

// The element type code of a name dtype_name gives ("int8" is 3); none for
// any other text.
std::optional<uint32_t> dtype_code(const std::string& name);

// "float32 (11)", or "unknown (14)".
std::string dtype_text(uint32_t code);

// "AIPU (1)", "UNSPECIFIED (0)", or "unknown (4)".
std::string backend_text(uint32_t code);

// "10 bytes", "1 byte", "2808 bytes (2.7 KiB)", "3221225472 bytes (3.0 GiB)".
std::string byte_count_text(uint64_t bytes);

// The shortest decimal text that reads back as the same float: 0.1f is
// "0.1", not "0.100000001".
std::string float_text(float value);

// The same as a double holding exactly that decimal, for JSON documents.
double float_as_decimal(float value);

// A shape as numpy and kiv write it: "(1, 4)", "(4,)", "()".
std::string shape_text(const std::vector<int>& dims);

// "[1, 4]"; "[]" when empty.
template <typename T>
std::string list_text(const std::vector<T>& values);

}  // namespace zor

#endif  // ZOR_FORMATTING_H
