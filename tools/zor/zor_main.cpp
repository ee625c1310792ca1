// zor: command-line front end of the model container class.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "zor_arguments.h"
#include "zor_commands.h"
#include "zor_usage.h"

#ifndef ZOR_VERSION
#error "ZOR_VERSION must be the project's version (set by CMake)"
#endif

namespace {

// The alternative forms on "  or:" lines, as help2man reads them for the
// manual page's synopsis.
void print_usage() {
    printf(
        "Usage: zor COMMAND [OPTIONS]\n"
        "  or:  zor help [COMMAND]\n"
        "  or:  zor --version\n"
        "\n"
        "Packs, lists and unpacks zor model containers.\n"
        "\nCommands:\n");
    for (const zor::Command& command : zor::commands()) printf("  %-9s%s\n", command.name, command.summary);
    printf("  %-9s%s\n", "help", "show the options of a command");
    fputs(zor::kToolUsageEnd, stdout);
}

const zor::Command* find_command(const std::string& name) {
    for (const zor::Command& command : zor::commands()) {
        if (name == command.name) return &command;
    }
    return nullptr;
}

int unknown_command(const std::string& name) {
    zor::report("unknown command '" + name + "' (try 'zor --help')");
    return zor::kExitUsage;
}

// "zor help" is the tool's usage, "zor help COMMAND" the command's.
int run_help(const std::vector<std::string>& words) {
    if (words.size() == 1) {
        print_usage();
        return zor::kExitSuccess;
    }
    if (words.size() > 2) {
        zor::report("unexpected argument " + words[2] + " (try 'zor help COMMAND')");
        return zor::kExitUsage;
    }
    const zor::Command* command = find_command(words[1]);
    if (command == nullptr) return unknown_command(words[1]);
    return command->run({"--help"});
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
    if (words[0] == "--version") {
        printf("zor %s\n", ZOR_VERSION);
        return zor::kExitSuccess;
    }
    if (words[0] == "help") return run_help(words);
    const zor::Command* command = find_command(words[0]);
    if (command == nullptr) return unknown_command(words[0]);
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
