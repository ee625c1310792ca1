// zor: command-line front end of the model container class.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "zor_arguments.h"
#include "zor_commands.h"

namespace {

void print_usage() {
    printf("Usage: zor COMMAND [OPTIONS]\n\nCommands:\n");
    for (const zor::Command& command : zor::commands()) printf("  %-9s%s\n", command.name, command.summary);
    printf("\nRun 'zor COMMAND --help' for the options of a command.\n");
}

const zor::Command* find_command(const std::string& name) {
    for (const zor::Command& command : zor::commands()) {
        if (name == command.name) return &command;
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> words(argv + 1, argv + argc);
    if (words.empty()) {
        zor::report("no command given (try 'zor --help')");
        return zor::kExitUsage;
    }
    if (words[0] == "--help" || words[0] == "-h") {
        print_usage();
        return zor::kExitSuccess;
    }
    const zor::Command* command = find_command(words[0]);
    if (command == nullptr) {
        zor::report("unknown command '" + words[0] + "' (try 'zor --help')");
        return zor::kExitUsage;
    }
    try {
        return command->run(std::vector<std::string>(words.begin() + 1, words.end()));
    } catch (const zor::UsageError& error) {
        zor::report(std::string(error.what()) + " (try 'zor " + command->name + " --help')");
        return zor::kExitUsage;
    } catch (const std::exception& error) {
        zor::report(error.what());
        return zor::kExitFailure;
    }
}
