#include "zor_usage.h"

namespace zor {

const char kPackUsage[] =
    "Usage: zor pack --graph DESCRIPTION.json -o OUTPUT.zor\n"
    "       zor pack --bin EXECUTABLE [--io IO.json] -o OUTPUT.zor\n"
    "\n"
    "Builds a model container from a graph description (whose subgraphs name\n"
    "their executable files), from one NPU executable with an IO description,\n"
    "or from a bare executable with default tensor names.\n"
    "\n"
    "  --graph FILE     graph description JSON\n"
    "  --bin FILE       NPU executable\n"
    "  --io FILE        IO description JSON for --bin\n"
    "  -o, --output F   container to write\n";

const char kInfoUsage[] =
    "Usage: zor info CONTAINER.zor\n"
    "\n"
    "Lists the model's name, version, inputs, outputs and subgraphs.\n";

const char kExtractUsage[] =
    "Usage: zor extract CONTAINER.zor -o OUTPUT\n"
    "\n"
    "Writes the first subgraph's NPU executable to OUTPUT. Nothing is written\n"
    "when the container cannot be read or holds no subgraph.\n";

const char kIoUsage[] =
    "Usage: zor io CONTAINER.zor\n"
    "\n"
    "Prints the container's IO description as JSON.\n";

}  // namespace zor
