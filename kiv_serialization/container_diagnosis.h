// What is wrong with a file that was to be read as a model container, or as
// another input, in words. The zor tool and the kiv package both report
// these reasons, so they agree about a file.
#ifndef KIV_CONTAINER_DIAGNOSIS_H
#define KIV_CONTAINER_DIAGNOSIS_H

#include <string>

namespace kiv {

// Why `path` cannot be read as an input file: "no such file", "is a
// directory, not <kind>", "cannot be read: <reason>". Empty when it can.
std::string input_file_problem(const std::string& path, const std::string& kind);

// What is visibly wrong with the file at `path` as a model container: an
// input file problem, empty, too large, not laid out as a container, or
// truncated; with `need_subgraph`, also holding no subgraph (so nothing to
// load). Empty when nothing is visibly wrong: a reader that still refuses
// the file found a fault deeper inside.
std::string container_file_problem(const std::string& path, bool need_subgraph);

}  // namespace kiv

#endif  // KIV_CONTAINER_DIAGNOSIS_H
