// What the tool requires of a description before it packs it. The container
// class reads whatever it can of any JSON value: it prints a line for each
// key it misses and packs the rest, even into a container without a
// subgraph. The tool refuses such a description whole and says why.
#ifndef ZOR_DESCRIPTION_CHECK_H
#define ZOR_DESCRIPTION_CHECK_H

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace zor {

// Every problem of a graph description, one text each, in document order;
// empty when it can be packed. The description is an object with
//   name       a string
//   version    an array of three whole numbers (major, minor, patch)
//   inputs     an array of tensor names (strings)
//   outputs    an array of tensor names (strings)
//   tensors    an array of objects, each with name (string), dtype (an
//              element type's name, "int8", or its code) and qtype (codes:
//              whole numbers from 0 to 4294967295), shape and
//              zero_point (arrays of 32-bit whole numbers) and scale (an array
//              of numbers within single precision)
//   subgraphs  a non-empty array of objects, each with name (string), backend
//              (a code), inputs and outputs (arrays of strings) and data (the
//              path of a readable NPU executable, relative to the current
//              directory)
// Other keys are ignored.
std::vector<std::string> graph_description_problems(const nlohmann::json& document);

// Every problem of an IO description, as for a graph description. It is an
// object whose keys are all optional: name and version as in a graph
// description; input_tensors (or inputs) and output_tensors (or outputs),
// arrays whose entries are tensor names or tensor objects with a name and
// any of the other keys of a graph description's tensor, of the same types.
std::vector<std::string> io_description_problems(const nlohmann::json& document);

// Replaces each tensor's dtype given by name ("int8") with its code, which
// is all the container class reads; true when it replaced any.
bool number_dtypes(nlohmann::json& document);

}  // namespace zor

#endif  // ZOR_DESCRIPTION_CHECK_H
