#include "zor_commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "zor_command_support.h"
#include "zor_io_document.h"
#include "zor_listing.h"
#include "zor_output_file.h"
#include "zor_usage.h"

namespace zor {
namespace {

// The one container path a listing command takes.
const std::string& single_file(const Arguments& arguments) {
    if (arguments.positionals.empty()) throw UsageError("no container file given");
    if (arguments.positionals.size() > 1) throw UsageError("unexpected argument " + arguments.positionals[1]);
    return arguments.positionals[0];
}

// Writes `bytes` to `destination` whole, or nothing there (OutputFile).
void write_whole(const std::string& destination, const void* bytes, size_t length) {
    OutputFile output(destination);
    if (!output.write(bytes, length)) {
        throw std::runtime_error(output.destination() + ": cannot be written: " + strerror(errno));
    }
    output.commit();
}

int run_info(const std::vector<std::string>& words) {
    Arguments arguments;
    if (parse_or_help(words, KnownOptions{}, kInfoUsage, arguments)) return kExitSuccess;
    const std::string& path = single_file(arguments);
    kiv::SerializationHandler handler;
    if (!read_container(handler, path)) return kExitFailure;
    print(model_listing(handler));
    return kExitSuccess;
}

int run_extract(const std::vector<std::string>& words) {
    Arguments arguments;
    KnownOptions known{{"--output"}, {{"-o", "--output"}}};
    if (parse_or_help(words, known, kExtractUsage, arguments)) return kExitSuccess;
    const std::string& path = single_file(arguments);
    if (!arguments.has("--output")) throw UsageError("no output file given (-o)");
    kiv::SerializationHandler handler;
    if (!read_container(handler, path)) return kExitFailure;
    if (handler.GetSubgraphs().empty()) {
        report(path + ": holds no subgraph, so no NPU executable to extract");
        return kExitFailure;
    }
    const kiv::Subgraph& first = *handler.GetSubgraphs().front();
    write_whole(arguments.value("--output"), first.GetData(), first.GetByteCount());
    return kExitSuccess;
}

int run_io(const std::vector<std::string>& words) {
    Arguments arguments;
    KnownOptions known{{"--output"}, {{"-o", "--output"}}};
    if (parse_or_help(words, known, kIoUsage, arguments)) return kExitSuccess;
    const std::string& path = single_file(arguments);
    kiv::SerializationHandler handler;
    if (!read_container(handler, path)) return kExitFailure;
    return with_json_errors(path, [&] {
        const std::string document = io_document(handler);
        // A file only once the whole document is made: a shell's redirect
        // would leave an empty one behind a failure.
        if (arguments.has("--output")) {
            write_whole(arguments.value("--output"), document.data(), document.size());
        } else {
            print(document);
        }
        return kExitSuccess;
    });
}

}  // namespace

void report(const std::string& message) {
    std::string line = "zor: " + message;
    for (char& c : line) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    fflush(stdout);
    fprintf(stderr, "%s\n", line.c_str());
}

const std::vector<Command>& commands() {
    static const std::vector<Command> table = {
        {"pack", "build a container from a graph description or an NPU executable", run_pack},
        {"info", "list a container's model: tensors (shape, dtype, quantisation), subgraphs", run_info},
        {"extract", "write a container's first NPU executable to a file", run_extract},
        {"io", "print a container's IO description as JSON", run_io},
    };
    return table;
}

}  // namespace zor
