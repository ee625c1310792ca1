// The listing `zor info` prints: the model's name and version, each input
// and output tensor with its shape, element type and quantisation, and each
// subgraph with its backend, executable size and tensor names.
#ifndef ZOR_LISTING_H
#define ZOR_LISTING_H

#include <string>

#include "serialization_handler.h"

namespace zor {

std::string model_listing(const kiv::SerializationHandler& model);

}  // namespace zor

#endif  // ZOR_LISTING_H
