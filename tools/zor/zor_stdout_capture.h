// The container class reports its failures with printf on standard output.
// The tool runs its calls with file descriptor 1 sent to memory, so that
// those texts never mix with what the user asked for and can be turned into
// the tool's own error lines.
#ifndef ZOR_STDOUT_CAPTURE_H
#define ZOR_STDOUT_CAPTURE_H

#include <functional>
#include <string>
#include <vector>

namespace zor {

// Runs `action` with standard output captured and returns the lines it
// printed, without their line ends. Standard output is restored also when
// `action` throws (the exception then goes on, and the text is dropped).
std::vector<std::string> capture_stdout_lines(const std::function<void()>& action);

}  // namespace zor

#endif  // ZOR_STDOUT_CAPTURE_H
