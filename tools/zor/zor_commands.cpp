#include "zor_commands.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "serialization_handler.h"
#include "zor_arguments.h"

namespace zor {
namespace {

const char kPackUsage[] =
    "Usage: zor pack --graph DESCRIPTION.json -o OUTPUT.zor\n"
    "       zor pack --bin EXECUTABLE [--io IO.json] -o OUTPUT.zor\n"
    "\n"
    "Builds a model container from a graph description (whose subgraphs name\n"
    "their executable files), from one NPU executable with an IO description,\n"
    "or from a bare executable with default tensor names.\n"
    "\n"
    "  --graph FILE     graph description JSON\n"
    "  --bin FILE       NPU executable\n"
    "  --io FILE        IO description JSON for --bin\n"
    "  -o, --output F   container to write\n";

const char kInfoUsage[] =
    "Usage: zor info CONTAINER.zor\n"
    "\n"
    "Lists the model's name, version, inputs, outputs and subgraphs.\n";

const char kExtractUsage[] =
    "Usage: zor extract CONTAINER.zor -o OUTPUT\n"
    "\n"
    "Writes the first subgraph's NPU executable to OUTPUT.\n";

const char kIoUsage[] =
    "Usage: zor io CONTAINER.zor\n"
    "\n"
    "Prints the container's IO description as JSON.\n";

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
                   Arguments& arguments) {
    arguments = parse_arguments(words, known);
    if (!arguments.help) return false;
    fputs(usage, stdout);
    return true;
}

// The one container path a listing command takes.
const std::string& single_file(const Arguments& arguments) {
    if (arguments.positionals.empty()) throw UsageError("no container file given");
    if (arguments.positionals.size() > 1) throw UsageError("unexpected argument " + arguments.positionals[1]);
    return arguments.positionals[0];
}

// Reads a container, reporting an unreadable one. True on success.
bool read_container(kiv::SerializationHandler& handler, const std::string& path) {
    if (handler.DeSerialization(path.c_str()) == 0) return true;
    report("cannot read container " + path);
    return false;
}

int pack_status(int result, const std::string& output) {
    if (result == 0) return kExitSuccess;
    report("cannot pack " + output);
    return kExitFailure;
}

int run_pack(const std::vector<std::string>& words) {
    Arguments arguments;
    KnownOptions known{{"--graph", "--bin", "--io", "--output"}, {{"-o", "--output"}}};
    if (parse_or_help(words, known, kPackUsage, arguments)) return kExitSuccess;
    if (!arguments.positionals.empty()) throw UsageError("unexpected argument " + arguments.positionals[0]);
    if (!arguments.has("--output")) throw UsageError("no output file given (-o)");
    if (arguments.has("--graph") == arguments.has("--bin")) throw UsageError("give either --graph or --bin");
    if (arguments.has("--graph") && arguments.has("--io")) throw UsageError("--io goes with --bin");

    const std::string& output = arguments.value("--output");
    kiv::SerializationHandler handler;
    if (arguments.has("--graph")) {
        const std::string& graph = arguments.value("--graph");
        return with_json_errors(
            graph, [&] { return pack_status(handler.Serialization(graph.c_str(), output.c_str(), true), output); });
    }
    const std::string& bin = arguments.value("--bin");
    if (!arguments.has("--io")) return pack_status(handler.Serialization(bin.c_str(), output.c_str(), false), output);
    const std::string& io = arguments.value("--io");
    return with_json_errors(
        io, [&] { return pack_status(handler.Serialization(bin.c_str(), io.c_str(), output.c_str()), output); });
}

int run_info(const std::vector<std::string>& words) {
    Arguments arguments;
    if (parse_or_help(words, KnownOptions{}, kInfoUsage, arguments)) return kExitSuccess;
    const std::string& path = single_file(arguments);
    kiv::SerializationHandler handler;
    if (!read_container(handler, path)) return kExitFailure;
    handler.ShowInformation();
    return kExitSuccess;
}

int run_extract(const std::vector<std::string>& words) {
    Arguments arguments;
    KnownOptions known{{"--output"}, {{"-o", "--output"}}};
    if (parse_or_help(words, known, kExtractUsage, arguments)) return kExitSuccess;
    const std::string& path = single_file(arguments);
    if (!arguments.has("--output")) throw UsageError("no output file given (-o)");
    const std::string& output = arguments.value("--output");
    kiv::SerializationHandler handler;
    if (handler.DeSerialization(path.c_str(), output.c_str()) == 0) return kExitSuccess;
    report("cannot extract the executable of " + path + " to " + output);
    return kExitFailure;
}

int run_io(const std::vector<std::string>& words) {
    Arguments arguments;
    if (parse_or_help(words, KnownOptions{}, kIoUsage, arguments)) return kExitSuccess;
    const std::string& path = single_file(arguments);
    kiv::SerializationHandler handler;
    if (!read_container(handler, path)) return kExitFailure;
    return with_json_errors(path, [&] {
        const std::string text = handler.DumpIoJson() + "\n";
        fwrite(text.data(), 1, text.size(), stdout);
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
        {"info", "list a container's model", run_info},
        {"extract", "write a container's first NPU executable to a file", run_extract},
        {"io", "print a container's IO description", run_io},
    };
    return table;
}

}  // namespace zor
