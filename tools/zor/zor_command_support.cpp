#include "zor_command_support.h"

#include <cstdio>

#include "container_diagnosis.h"
#include "zor_stdout_capture.h"

namespace zor {

bool parse_or_help(const std::vector<std::string>& words, const KnownOptions& known, const char* usage,
                   Arguments& arguments) {
    arguments = parse_arguments(words, known);
    if (!arguments.help) return false;
    fputs(usage, stdout);
    return true;
}

bool read_container(kiv::SerializationHandler& handler, const std::string& path) {
    int result = 0;
    // The class's own line ("Error loading model: ...") says less than the
    // diagnosis of the file, which replaces it.
    capture_stdout_lines([&] { result = handler.DeSerialization(path.c_str()); });
    if (result == KIV_SERIALIZATION_OK) return true;
    std::string problem = kiv::container_file_problem(path, false);
    // Laid out like a container, yet the class's full check refused it: a
    // table, string or vector somewhere does not hold together.
    if (problem.empty()) problem = "is not a well-formed zor model container";
    report(path + ": " + problem);
    return false;
}

void print(const std::string& text) {
    fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace zor
