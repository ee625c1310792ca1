// What the commands share: option parsing with help, JSON errors as error
// lines, and reading a container that reports what is wrong with it.
#ifndef ZOR_COMMAND_SUPPORT_H
#define ZOR_COMMAND_SUPPORT_H

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "serialization_handler.h"
#include "zor_arguments.h"
#include "zor_commands.h"

namespace zor {

// Runs `action`, turning the JSON library's errors about `file` into one
// reported line and a failure status.
template <typename Action>
int with_json_errors(const std::string& file, Action&& action) {
    try {
        return action();
    } catch (const nlohmann::json::exception& error) {
        report(file + ": " + error.what());
        return kExitFailure;
    }
}

// Parses `words`; prints `usage` and returns true when help was asked for.
bool parse_or_help(const std::vector<std::string>& words, const KnownOptions& known, const char* usage,
                   Arguments& arguments);

// Reads a container into `handler`. When the class refuses it, reports what
// is wrong with the file ("zor: PATH: is truncated: ...") and returns false.
bool read_container(kiv::SerializationHandler& handler, const std::string& path);

// Writes `text` to standard output as it is.
void print(const std::string& text);

}  // namespace zor

#endif  // ZOR_COMMAND_SUPPORT_H
