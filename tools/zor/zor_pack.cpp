// zor pack: checks what it is given, then lets the container code build the
// container and writes it to a temporary file that becomes the output only
// when all went well.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>

#include "container_diagnosis.h"
#include "container_result.h"
#include "zor_command_support.h"
#include "zor_description_check.h"
#include "zor_output_file.h"
#include "zor_usage.h"

namespace zor {
namespace {

using nlohmann::json;

// Reports a problem of an input file; true when there is none.
bool readable(const std::string& path, const char* kind) {
    const std::string problem = kiv::input_file_problem(path, kind);
    if (problem.empty()) return true;
    report(path + ": " + problem);
    return false;
}

// Reports each problem of a description; true when there is none.
bool no_problems(const std::string& file, const std::vector<std::string>& problems) {
    for (const std::string& problem : problems) report(file + ": " + problem);
    return problems.empty();
}

// Parsed as the container class parses it: no comments allowed.
json read_json(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return json::parse(text, nullptr, true, false);
}

// Builds the container with `pack` in `handler` and writes it to `output`.
// Any line the container code has about the inputs counts as a failure: it
// has lines only about problems.
int write_container(const std::string& output, kiv::SerializationHandler& handler,
                    const std::function<kiv::ContainerResult()>& pack) {
    OutputFile file(output);
    const kiv::ContainerResult result = pack();
    if (!result.ok() || !result.lines.empty()) {
        for (const std::string& line : result.lines) report(output + ": " + line);
        if (result.lines.empty()) report(output + ": cannot pack the container");
        return kExitFailure;
    }
    if (!file.write(handler.GetBufferPointer(), handler.GetBufferSize())) {
        throw std::runtime_error(output + ": cannot be written: " + strerror(errno));
    }
    file.commit();
    return kExitSuccess;
}

// Runs `pack` on the description at `path`; when it names element types
// ("int8") rather than numbering them, on a copy that numbers them, since
// the container code reads codes only. The copy lies beside the output and
// is removed when done.
int with_dtype_codes(const std::string& path, json document, const std::string& output,
                     const std::function<int(const std::string&)>& pack) {
    if (!number_dtypes(document)) return pack(path);
    OutputFile copy(output);
    const std::string text = document.dump();
    if (!copy.write(text.data(), text.size())) {
        report(output + ": cannot write beside it a copy of " + path + " with the element types numbered");
        return kExitFailure;
    }
    return pack(copy.temporary_path());
}

int pack_graph(const std::string& graph, const std::string& output) {
    if (!readable(graph, "a graph description")) return kExitFailure;
    return with_json_errors(graph, [&] {
        const json document = read_json(graph);
        if (!no_problems(graph, graph_description_problems(document))) return kExitFailure;
        return with_dtype_codes(graph, document, output, [&](const std::string& description) {
            kiv::SerializationHandler handler;
            return write_container(output, handler, [&] {
                kiv::ContainerResult result;
                return kiv::pack_graph_description(handler, description.c_str(), result);
            });
        });
    });
}

int pack_executable_with_io(const std::string& bin, const std::string& io, const std::string& output) {
    if (!readable(bin, "an NPU executable") || !readable(io, "an IO description")) return kExitFailure;
    return with_json_errors(io, [&] {
        const json document = read_json(io);
        if (!no_problems(io, io_description_problems(document))) return kExitFailure;
        return with_dtype_codes(io, document, output, [&](const std::string& description) {
            kiv::SerializationHandler handler;
            return write_container(output, handler, [&] {
                return kiv::pack_executable_with_io(handler, bin.c_str(), description.c_str());
            });
        });
    });
}

int pack_bare_executable(const std::string& bin, const std::string& output) {
    if (!readable(bin, "an NPU executable")) return kExitFailure;
    kiv::SerializationHandler handler;
    return write_container(output, handler, [&] { return kiv::pack_bare_executable(handler, bin.c_str()); });
}

}  // namespace

int run_pack(const std::vector<std::string>& words) {
    Arguments arguments;
    KnownOptions known{{"--graph", "--bin", "--io", "--output"}, {{"-o", "--output"}}};
    if (parse_or_help(words, known, kPackUsage, arguments)) return kExitSuccess;
    if (!arguments.positionals.empty()) throw UsageError("unexpected argument " + arguments.positionals[0]);
    if (!arguments.has("--output")) throw UsageError("no output file given (-o)");
    if (arguments.has("--graph") == arguments.has("--bin")) throw UsageError("give either --graph or --bin");
    if (arguments.has("--graph") && arguments.has("--io")) throw UsageError("--io goes with --bin");

    const std::string& output = arguments.value("--output");
    if (arguments.has("--graph")) return pack_graph(arguments.value("--graph"), output);
    if (arguments.has("--io"))
        return pack_executable_with_io(arguments.value("--bin"), arguments.value("--io"), output);
    return pack_bare_executable(arguments.value("--bin"), output);
}

}  // namespace zor
