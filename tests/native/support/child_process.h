// Runs a shell command and collects what it writes, for tests that need a
// fresh process (environment read at load time, private mount namespace).
#ifndef KIV_TEST_CHILD_PROCESS_H
#define KIV_TEST_CHILD_PROCESS_H

#include <string>

struct CommandResult {
    int exit_code = -1;  // -1 when the command did not exit normally
    std::string output;  // standard output, and standard error if the command merges it
};

CommandResult run_command(const std::string& command);

// Quotes `text` for /bin/sh.
std::string shell_quote(const std::string& text);

#endif  // KIV_TEST_CHILD_PROCESS_H
