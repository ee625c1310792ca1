// The container code's own forms of the reading and packing operations: each
// returns a result that says what went wrong, where the public
// SerializationHandler methods print it. The zor tool and kiv._native use
// these; the public methods print the result's lines. Not exported.
#ifndef KIV_CONTAINER_RESULT_H
#define KIV_CONTAINER_RESULT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "serialization_handler.h"

namespace kiv {

struct ContainerResult {
    int code = KIV_SERIALIZATION_OK;  // a KIV_SERIALIZATION_* result
    // The lines the public methods print about it (without line ends): notes
    // about the input, then the failure.
    std::vector<std::string> lines;
    // What is wrong with a file that could not be read, in words ("no such
    // file", "is truncated: ...").
    std::string problem;

    bool ok() const { return code == KIV_SERIALIZATION_OK; }
    // Records a failure with the line the public methods print for it.
    ContainerResult& fail(int failure, std::string line);
};

// Prints the result's lines on standard output, as the public methods do,
// and returns its code.
int print_lines(const ContainerResult& result);

// Runs `operation(result)` and prints the result's lines, also those added
// before an exception, which then goes on; returns the result's code.
template <typename Operation>
int print_lines_of(Operation&& operation) {
    ContainerResult result;
    try {
        operation(result);
    } catch (...) {
        print_lines(result);
        throw;
    }
    return print_lines(result);
}

// Reads the container file at `path` into `model` (emptied first), as
// DeSerialization(path) does.
ContainerResult read_container(SerializationHandler& model, const char* path);

// Reads everything of the container file at `path` but its NPU executables
// into `model` (emptied first; its subgraphs get empty executables), from
// the file mapped into memory, so that the executables' bytes are never
// read. Results and lines are those of read_container.
ContainerResult read_description(SerializationHandler& model, const char* path);

// What is visibly wrong with container bytes already in memory, in the words
// of container_file_problem; empty when nothing is.
std::string container_bytes_problem(const uint8_t* bytes, size_t size, bool need_subgraph);

// Builds the container image of `model` in its builder, as serialize() does.
ContainerResult serialize_model(SerializationHandler& model);

// Replace the model by a graph description's, or by an IO description's
// tensors, as LoadJson and LoadIoJson do. A graph description's notes
// (missing keys) go into `result` as they come, so that those added before
// an exception of the JSON library are still there.
ContainerResult& load_graph_description(SerializationHandler& model, const char* path, ContainerResult& result);
ContainerResult load_io_description(SerializationHandler& model, const char* path);

// The three packers' images, built in `model`'s builder without writing a
// file, as the Serialization methods with an output path build them: from a
// graph description; from an NPU executable and an IO description; from a
// bare NPU executable.
ContainerResult& pack_graph_description(SerializationHandler& model, const char* graph_path, ContainerResult& result);
ContainerResult pack_executable_with_io(SerializationHandler& model, const char* bin_path, const char* io_path);
ContainerResult pack_bare_executable(SerializationHandler& model, const char* bin_path);

}  // namespace kiv

#endif  // KIV_CONTAINER_RESULT_H
