// The IO description document `zor io` prints, always generated from the
// container (never the text it was packed from):
//   {"name": "...", "version": [major, minor, patch],
//    "input_tensors": [TENSOR...], "output_tensors": [TENSOR...]}
// with each TENSOR {"name", "shape", "dtype", "qtype", "scale",
// "zero_point"}: dtype and qtype are the stored codes, and a tensor the
// container does not describe reads shape [], dtype 0, qtype 0, scale [],
// zero_point []. Tensors are named as in `zor info`. The document is itself
// an IO description: `zor pack --bin EXECUTABLE --io` takes it back.
#ifndef ZOR_IO_DOCUMENT_H
#define ZOR_IO_DOCUMENT_H

#include <string>

#include "serialization_handler.h"

namespace zor {

// The document as indented JSON text ending in a newline. Throws the JSON
// library's type_error when a stored name is not valid UTF-8.
std::string io_document(const kiv::SerializationHandler& model);

}  // namespace zor

#endif  // ZOR_IO_DOCUMENT_H
