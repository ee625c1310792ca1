// The subcommands of the zor tool. Each takes the words after its name and
// returns the process exit status.
#ifndef ZOR_COMMANDS_H
#define ZOR_COMMANDS_H

#include <string>
#include <vector>

namespace zor {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Writes "zor: <message>" as one line on standard error.
void report(const std::string& message);

struct Command {
    const char* name;
    const char* summary;
    int (*run)(const std::vector<std::string>& words);
};

const std::vector<Command>& commands();

// The commands, defined in files of their own.
int run_pack(const std::vector<std::string>& words);

}  // namespace zor

#endif  // ZOR_COMMANDS_H
