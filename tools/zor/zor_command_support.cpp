#include "zor_command_support.h"

#include <cstdio>

#include "container_result.h"

namespace zor {

bool parse_or_help(const std::vector<std::string>& words, const KnownOptions& known, const char* usage,
                   Arguments& arguments) {
    arguments = parse_arguments(words, known);
    if (!arguments.help) return false;
    fputs(usage, stdout);
    return true;
}

bool read_container(kiv::SerializationHandler& handler, const std::string& path) {
    const kiv::ContainerResult result = kiv::read_container(handler, path.c_str());
    if (result.ok()) return true;
    report(path + ": " + result.problem);
    return false;
}

void print(const std::string& text) {
    fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace zor
