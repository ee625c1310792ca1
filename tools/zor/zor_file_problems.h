// What is wrong with a file the tool was given, in words. The container
// diagnosis gives the reasons of the Python package (python/kiv/container.py)
// in the same words, so that the tool and kiv agree about a file.
#ifndef ZOR_FILE_PROBLEMS_H
#define ZOR_FILE_PROBLEMS_H

#include <string>

namespace zor {

// Why `path` cannot be read as an input file: "no such file", "is a
// directory, not <kind>", "cannot be read: <reason>". Empty when it can.
std::string input_file_problem(const std::string& path, const std::string& kind);

// Why `path` cannot be read as a model container: an input file problem,
// empty, too large, not a container or truncated. Asked once the container
// class has refused the file, so it always gives a reason.
std::string container_problem(const std::string& path);

// The layout check alone, on a container's bytes: empty when they are laid
// out like a container, else why not ("is truncated: ...", "is not a zor
// model container: ...").
std::string container_layout_problem(const std::string& bytes);

}  // namespace zor

#endif  // ZOR_FILE_PROBLEMS_H
