#include "zor_usage.h"

namespace zor {

const char kPackUsage[] =
    "Usage: zor pack --graph DESCRIPTION.json -o OUTPUT.zor\n"
    "       zor pack --bin EXECUTABLE [--io IO.json] -o OUTPUT.zor\n"
    "\n"
    "Builds a model container from a graph description (whose subgraphs name\n"
    "their executable files), from one NPU executable with an IO description,\n"
    "or from a bare executable, whose subgraph then names its tensors \"input\"\n"
    "and \"output\".\n"
    "\n"
    "  --graph FILE     graph description JSON\n"
    "  --bin FILE       NPU executable\n"
    "  --io FILE        IO description JSON for --bin (the form 'zor io' prints)\n"
    "  -o, --output F   container to write\n"
    "\n"
    "A graph description is a JSON object with all of these keys (others are\n"
    "ignored):\n"
    "  name       a string\n"
    "  version    [major, minor, patch], three whole numbers\n"
    "  inputs     an array of tensor names\n"
    "  outputs    an array of tensor names\n"
    "  tensors    an array of {name, dtype, shape, qtype, scale, zero_point}:\n"
    "             dtype an element type by the name 'zor info' prints (\"int8\",\n"
    "             \"float32\", ...) or by its code (the runtime numbers them: 2\n"
    "             uint8, 3 int8, 11 float32, ...), qtype a whole-number code,\n"
    "             shape and zero_point arrays of whole numbers, scale an array\n"
    "             of numbers\n"
    "  subgraphs  a non-empty array of {name, backend, inputs, outputs, data}:\n"
    "             backend is a code (1 AIPU), inputs and outputs arrays of\n"
    "             names, data the path of the subgraph's NPU executable,\n"
    "             relative to the current directory\n"
    "An IO description is a JSON object; all its keys are optional:\n"
    "  name, version                 as above\n"
    "  input_tensors, output_tensors arrays of tensor names or tensor objects\n"
    "                                (name, and any of the other keys of a\n"
    "                                tensor above); also as inputs, outputs\n"
    "\n"
    "The container keeps the description's text as it was, paths included.\n"
    "Each problem of a description is reported on a line of its own and\n"
    "nothing is written. The container is written beside OUTPUT under a\n"
    "temporary name and renamed when complete, so a failed run leaves no\n"
    "partial file.\n";

const char kInfoUsage[] =
    "Usage: zor info CONTAINER.zor\n"
    "\n"
    "Lists the model's name and version; each input and output tensor with\n"
    "its shape, element type (dtype: the runtime's name and code), qtype,\n"
    "scale and zero point; and each subgraph with its backend, the size of\n"
    "its NPU executable and its tensor names.\n"
    "\n"
    "Tensors are named by the graph's input and output lists; where the graph\n"
    "lists none (a container packed from a bare executable), by its first\n"
    "subgraph's; a tensor whose name is empty reads input<i> or output<i>.\n"
    "The Python package kiv names them the same way.\n";

const char kExtractUsage[] =
    "Usage: zor extract CONTAINER.zor -o OUTPUT\n"
    "\n"
    "Writes the first subgraph's NPU executable to OUTPUT. Nothing is written\n"
    "when the container cannot be read or holds no subgraph.\n";

const char kIoUsage[] =
    "Usage: zor io CONTAINER.zor [-o OUTPUT.json]\n"
    "\n"
    "Prints the container's IO description as one JSON document, generated\n"
    "from what the container holds, or writes it to OUTPUT.json:\n"
    "  {\"name\": NAME, \"version\": [MAJOR, MINOR, PATCH],\n"
    "   \"input_tensors\": [TENSOR, ...], \"output_tensors\": [TENSOR, ...]}\n"
    "where each TENSOR is\n"
    "  {\"name\": NAME, \"shape\": [...], \"dtype\": CODE, \"qtype\": CODE,\n"
    "   \"scale\": [...], \"zero_point\": [...]}\n"
    "Tensors are named as 'zor info' names them. One the container does not\n"
    "describe has shape [], dtype 0, qtype 0, scale [] and zero_point []. The\n"
    "document is itself an IO description: 'zor pack --bin EXECUTABLE --io'\n"
    "takes it.\n"
    "\n"
    "  -o, --output F   write the document to F rather than standard output:\n"
    "                   beside F under a temporary name, renamed when\n"
    "                   complete, so a failed run leaves no file (where a\n"
    "                   shell's redirect leaves an empty one)\n";

const char kToolUsageEnd[] =
    "\n"
    "Run 'zor help COMMAND' or 'zor COMMAND --help' for the options of a\n"
    "command, 'zor --version' for the version.\n"
    "\n"
    "Standard output carries only what a command is asked for. Errors go to\n"
    "standard error, one line each starting with \"zor: \".\n"
    "\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  a command failed\n"
    "  2  the command line was not understood\n";

}  // namespace zor
