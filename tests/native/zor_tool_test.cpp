// The zor tool, run as a program: exit statuses, output and error lines.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "serialization_handler.h"
#include "serialization_test_util.h"

#ifndef KIV_ZOR_PATH
#define KIV_ZOR_PATH KIV_BUILD_DIR "/tools/zor/zor"
#endif
#ifndef KIV_PROJECT_VERSION
#error "KIV_PROJECT_VERSION must be the project's version (set by CMake)"
#endif

using kiv_test::TempDir;

namespace {

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string quoted(const std::string& word) {
    std::string result = "'";
    for (char c : word) result += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return result + "'";
}

class ZorToolTest : public testing::Test {
protected:
    ToolRun zor(const std::vector<std::string>& args) {
        std::string command = quoted(KIV_ZOR_PATH);
        for (const std::string& arg : args) command += " " + quoted(arg);
        const std::string out = dir_.file("stdout"), err = dir_.file("stderr");
        command += " >" + quoted(out) + " 2>" + quoted(err);
        const int raw = std::system(command.c_str());
        ToolRun run;
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        run.out = kiv_test::read_file(out);
        run.err = kiv_test::read_file(err);
        return run;
    }

    std::string file(const std::string& name, const std::string& content) {
        const std::string path = dir_.file(name);
        kiv_test::write_file(path, content);
        return path;
    }

    // A failure is reported as exactly one line on standard error.
    static void expect_one_error_line(const ToolRun& run, const std::string& mentioning) {
        ASSERT_FALSE(run.err.empty());
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
        EXPECT_EQ(run.err.rfind("zor: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(mentioning), std::string::npos) << run.err;
    }

    // Names of the files in the scratch directory, other than the captured
    // output, so that leftovers of a failed run show.
    std::vector<std::string> scratch_files() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
            const std::string name = entry.path().filename().string();
            if (name != "stdout" && name != "stderr") names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    TempDir dir_;
};

// A graph description that packs, for the tests to break one part at a time.
nlohmann::json valid_description(const std::string& executable) {
    nlohmann::json description = nlohmann::json::parse(R"({"name": "g", "version": [1, 0, 2],
        "inputs": ["x"], "outputs": ["y"],
        "tensors": [{"name": "x", "dtype": 3, "shape": [1, 4], "qtype": 1, "scale": [0.1], "zero_point": [-3]},
                    {"name": "y", "dtype": 11, "shape": [1, 3], "qtype": 0, "scale": [], "zero_point": []}],
        "subgraphs": [{"name": "s", "backend": 4, "inputs": ["x"], "outputs": ["y"]}]})");
    description["subgraphs"][0]["data"] = executable;
    return description;
}

TEST_F(ZorToolTest, HelpForTheToolAndEachCommand) {
    ToolRun run = zor({"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("Usage: zor", 0), 0u);
    EXPECT_EQ(run.err, "");
    const std::string tool_usage = run.out;
    run = zor({"help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, tool_usage);
    for (const char* command : {"pack", "info", "extract", "io"}) {
        run = zor({command, "--help"});
        EXPECT_EQ(run.status, 0) << command;
        EXPECT_EQ(run.out.rfind(std::string("Usage: zor ") + command, 0), 0u) << command;
        EXPECT_EQ(run.err, "") << command;
        EXPECT_NE(tool_usage.find(std::string("  ") + command + " "), std::string::npos) << command;
        const ToolRun help = zor({"help", command});
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_EQ(help.out, run.out) << command;
        EXPECT_EQ(help.err, "") << command;
    }

    run = zor({"--version"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "zor " KIV_PROJECT_VERSION "\n");
    EXPECT_EQ(run.err, "");
}

TEST_F(ZorToolTest, UsageErrorsExitWithTwo) {
    const std::string bin = file("prog.bin", "code");
    const std::vector<std::vector<std::string>> lines = {
        {},
        {"unpack"},
        {"help", "unpack"},
        {"help", "pack", "info"},
        {"pack", "--bin", bin},
        {"pack", "-o", dir_.file("x.zor")},
        {"pack", "--bin", bin, "--graph", bin, "-o", dir_.file("x.zor")},
        {"pack", "--graph", bin, "--io", bin, "-o", dir_.file("x.zor")},
        {"pack", "--bin", bin, "--colour", "red", "-o", dir_.file("x.zor")},
        {"pack", "--bin", bin, "-o"},
        {"pack", "--bin", bin, "--bin", bin, "-o", dir_.file("x.zor")},
        {"info"},
        {"info", "a.zor", "b.zor"},
        {"extract", "a.zor"},
        {"io"},
        {"io", "a.zor", "-o"},
    };
    for (const auto& line : lines) {
        ToolRun run = zor(line);
        std::string shown;
        for (const std::string& word : line) shown += word + " ";
        EXPECT_EQ(run.status, 2) << shown;
        EXPECT_EQ(run.out, "") << shown;
        expect_one_error_line(run, "zor");
    }
}

// A container packed from a bare executable lists no graph inputs or
// outputs: its tensors are those its subgraph names.
TEST_F(ZorToolTest, BareExecutableRoundTrip) {
    const std::string bin = file("prog.bin", std::string("\x7f\x00\x01payload", 10));
    const std::string container = dir_.file("bare.zor");
    ToolRun run = zor({"pack", "--bin", bin, "-o", container});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");

    run = zor({"info", container});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "Model:      (no name)\n"
              "Version:    0.0.0\n"
              "Inputs:     1 (named by subgraph main)\n"
              "  0  input\n"
              "       (the container does not describe it)\n"
              "Outputs:    1 (named by subgraph main)\n"
              "  0  output\n"
              "       (the container does not describe it)\n"
              "Subgraphs:  1\n"
              "  0  main\n"
              "       backend     AIPU (1)\n"
              "       executable  10 bytes\n"
              "       inputs      input\n"
              "       outputs     output\n");
    EXPECT_EQ(run.err, "");

    const std::string extracted = dir_.file("out.bin");
    run = zor({"extract", container, "-o", extracted});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(kiv_test::read_file(extracted), kiv_test::read_file(bin));

    run = zor({"io", container});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(
        run.out,
        "{\n"
        "  \"name\": \"\",\n"
        "  \"version\": [0, 0, 0],\n"
        "  \"input_tensors\": [\n"
        "    {\"name\": \"input\", \"shape\": [], \"dtype\": 0, \"qtype\": 0, \"scale\": [], \"zero_point\": []}\n"
        "  ],\n"
        "  \"output_tensors\": [\n"
        "    {\"name\": \"output\", \"shape\": [], \"dtype\": 0, \"qtype\": 0, \"scale\": [], \"zero_point\": "
        "[]}\n"
        "  ]\n"
        "}\n");
}

TEST_F(ZorToolTest, GraphDescriptionAndIoDescription) {
    const std::string bin = file("prog.bin", std::string(2808, 'c'));
    const std::string graph = file("graph.json", valid_description(bin).dump());
    const std::string container = dir_.file("graph.zor");
    ToolRun run = zor({"pack", "--graph", graph, "--output=" + container});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");

    // The listing shows each tensor's shape, type and quantisation, and
    // the executable's size with its unit.
    run = zor({"info", container});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "Model:      g\n"
              "Version:    1.0.2\n"
              "Inputs:     1\n"
              "  0  x\n"
              "       shape       (1, 4)\n"
              "       dtype       int8 (3)\n"
              "       qtype       1\n"
              "       scale       [0.1]\n"
              "       zero point  [-3]\n"
              "Outputs:    1\n"
              "  0  y\n"
              "       shape       (1, 3)\n"
              "       dtype       float32 (11)\n"
              "       qtype       0\n"
              "       scale       []\n"
              "       zero point  []\n"
              "Subgraphs:  1\n"
              "  0  s\n"
              "       backend     unknown (4)\n"
              "       executable  2808 bytes (2.7 KiB)\n"
              "       inputs      x\n"
              "       outputs     y\n");

    // io prints the document generated from the container, not the
    // description the container was packed from.
    run = zor({"io", container});
    EXPECT_EQ(run.status, 0);
    const std::string document =
        "{\n"
        "  \"name\": \"g\",\n"
        "  \"version\": [1, 0, 2],\n"
        "  \"input_tensors\": [\n"
        "    {\"name\": \"x\", \"shape\": [1, 4], \"dtype\": 3, \"qtype\": 1, \"scale\": [0.1], \"zero_point\": [-3]}\n"
        "  ],\n"
        "  \"output_tensors\": [\n"
        "    {\"name\": \"y\", \"shape\": [1, 3], \"dtype\": 11, \"qtype\": 0, \"scale\": [], \"zero_point\": []}\n"
        "  ]\n"
        "}\n";
    EXPECT_EQ(run.out, document);
    EXPECT_EQ(run.err, "");

    // The document is an IO description that packs the same tensors again.
    const std::string io = file("io.json", run.out);
    const std::string second = dir_.file("io.zor");
    run = zor({"pack", "--bin", bin, "--io", io, "-o", second});
    ASSERT_EQ(run.status, 0) << run.err;
    run = zor({"io", second});
    EXPECT_EQ(run.out, document);
    run = zor({"info", second});
    EXPECT_NE(run.out.find("Subgraphs:  1\n  0  main\n       backend     AIPU (1)\n"), std::string::npos) << run.out;

    // Element types may be given by the names zor info prints, in either
    // description; the container holds their codes, and no copy is left.
    nlohmann::json named = valid_description(bin);
    named["tensors"][0]["dtype"] = "int8";
    named["tensors"][1]["dtype"] = "float32";
    run = zor({"pack", "--graph", file("named.json", named.dump()), "-o", dir_.file("named.zor")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(zor({"io", dir_.file("named.zor")}).out, document);
    nlohmann::json named_io = nlohmann::json::parse(document);
    named_io["input_tensors"][0]["dtype"] = "int8";
    run = zor({"pack", "--bin", bin, "--io", file("named.io.json", named_io.dump()), "-o", dir_.file("named2.zor")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(zor({"io", dir_.file("named2.zor")}).out, document);
    EXPECT_EQ(scratch_files(),
              (std::vector<std::string>{"graph.json", "graph.zor", "io.json", "io.zor", "named.io.json", "named.json",
                                        "named.zor", "named2.zor", "prog.bin"}));

    // Without graph-level names the first subgraph names the tensors, and
    // an empty name is replaced by its position.
    nlohmann::json unnamed = valid_description(bin);
    unnamed["inputs"] = nlohmann::json::array();
    unnamed["outputs"] = nlohmann::json::array();
    unnamed["subgraphs"][0]["inputs"] = {"x", ""};
    const std::string third = dir_.file("unnamed.zor");
    run = zor({"pack", "--graph", file("unnamed.json", unnamed.dump()), "-o", third});
    ASSERT_EQ(run.status, 0) << run.err;
    run = zor({"info", third});
    EXPECT_NE(run.out.find("Inputs:     2 (named by subgraph s)\n  0  x\n       shape       (1, 4)\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("  1  input1\n       (the container does not describe it)\nOutputs:"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("       inputs      x, (empty)\n"), std::string::npos) << run.out;
    run = zor({"io", third});
    const nlohmann::json listed = nlohmann::json::parse(run.out);
    EXPECT_EQ(listed["input_tensors"][1]["name"], "input1");
    EXPECT_EQ(listed["output_tensors"][0]["name"], "y");
}

// Every scale zor io prints is read back by zor pack --io as the same
// float: the extremes of single precision, subnormals, and numbers with no
// exact binary form. A first subgraph without an executable is listed as
// such.
TEST_F(ZorToolTest, IoNumbersReadBackToTheSameFloats) {
    const std::string bin = file("prog.bin", "");
    nlohmann::json io = {{"name", "m"},
                         {"input_tensors",
                          {{{"name", "x"},
                            {"shape", {7}},
                            {"dtype", 11},
                            {"qtype", 1},
                            {"scale",
                             {3.4028234663852886e38, -3.4028234663852886e38, 1.1754943508222875e-38,
                              1.401298464324817e-45, 1.1754942106924411e-38, 0.1, 16777217.0}},
                            {"zero_point", {0}}}}},
                         {"output_tensors", nlohmann::json::array()}};
    std::string document;
    for (int round = 0; round < 3; ++round) {
        const std::string container = dir_.file("m" + std::to_string(round) + ".zor");
        ToolRun run = zor({"pack", "--bin", bin, "--io", file("io.json", io.dump()), "-o", container});
        ASSERT_EQ(run.status, 0) << run.err;
        run = zor({"io", container});
        ASSERT_EQ(run.status, 0) << run.err;
        if (round > 0) {
            EXPECT_EQ(run.out, document);
        }
        document = run.out;
        io = nlohmann::json::parse(document);
    }
    EXPECT_NE(document.find("\"scale\": [3.4028235e+38, -3.4028235e+38, 1.1754944e-38, 1e-45, 1.1754942e-38, 0.1, "
                            "16777216.0]"),
              std::string::npos)
        << document;
    const ToolRun info = zor({"info", dir_.file("m0.zor")});
    EXPECT_NE(info.out.find("       executable  0 bytes (none: the model has no NPU executable to load)\n"),
              std::string::npos)
        << info.out;
}

TEST_F(ZorToolTest, JsonErrorsAreOneLineNamingTheFile) {
    const std::string bin = file("prog.bin", "abc");
    const std::string broken = file("broken.json", "{\"name\": \n\"x\" ,, }");
    ToolRun run = zor({"pack", "--graph", broken, "-o", dir_.file("x.zor")});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    expect_one_error_line(run, broken);

    const std::string mistyped = file("mistyped.json", R"({"inputs": [{"name": "a", "dtype": "int9"}]})");
    run = zor({"pack", "--bin", bin, "--io", mistyped, "-o", dir_.file("x.zor")});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    expect_one_error_line(run, mistyped);

    const std::string listed = file("list.json", "[1, 2, 3]");
    run = zor({"pack", "--bin", bin, "--io", listed, "-o", dir_.file("x.zor")});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "zor: " + listed + ": the IO description must be a JSON object, not an array\n");

    kiv::SerializationHandler handler;
    handler.SetName("bad\xff");
    handler.serialize();
    const std::string container = file("bad.zor", kiv_test::image_of(handler));
    run = zor({"io", container});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    expect_one_error_line(run, container);
    EXPECT_EQ(scratch_files(),
              (std::vector<std::string>{"bad.zor", "broken.json", "list.json", "mistyped.json", "prog.bin"}));
}

// Each problem of a graph description is one line naming the file, and
// nothing is written: no container, no partial one, and an earlier file of
// the output's name is kept.
TEST_F(ZorToolTest, GraphDescriptionProblemsWriteNothing) {
    const std::string bin = file("prog.bin", "abc");
    const std::string output = file("out.zor", "earlier");
    const nlohmann::json valid = valid_description(bin);
    struct Case {
        std::string description;
        std::vector<std::string> problems;
    };
    auto changed = [&](const std::function<void(nlohmann::json&)>& change) {
        nlohmann::json description = valid;
        change(description);
        return description.dump();
    };
    const std::vector<Case> cases = {
        {"[1,2,3]", {"the graph description must be a JSON object, not an array"}},
        {"null", {"the graph description must be a JSON object, not null"}},
        {"{}",
         {"'name' is missing", "'version' is missing", "'inputs' is missing", "'outputs' is missing",
          "'tensors' is missing", "'subgraphs' is missing"}},
        {changed([](auto& d) { d["name"] = 5; }), {"'name' must be a string"}},
        {changed([](auto& d) {
             d["version"] = {1, 0};
         }),
         {"'version' must be an array of three 32-bit whole numbers (major, minor, patch)"}},
        {changed([](auto& d) {
             d["version"] = {1, 0, 2.5};
         }),
         {"'version' must be an array of three 32-bit whole numbers (major, minor, patch)"}},
        {changed([](auto& d) { d["inputs"] = "x"; }), {"'inputs' must be an array of strings"}},
        {changed([](auto& d) {
             d["outputs"] = {"y", 1};
         }),
         {"'outputs' must be an array of strings"}},
        {changed([](auto& d) {
             d["tensors"] = {{"name", "x"}};
         }),
         {"'tensors' must be an array of tensor objects"}},
        {changed([](auto& d) {
             d["tensors"][0]["dtype"] = -1;
             d["tensors"][0]["shape"] = {1.5};
             d["tensors"][1].erase("zero_point");
             d["tensors"].push_back(7);
         }),
         {"tensor 0 ('x'): 'dtype' must be an element type's name as zor info prints it (int8, float32, ...) or its "
          "code, a whole number from 0 to 4294967295",
          "tensor 0 ('x'): 'shape' must be an array of 32-bit whole numbers", "tensor 1 ('y'): 'zero_point' is missing",
          "tensor 2: must be an object"}},
        {changed([](auto& d) {
             d["tensors"][0]["qtype"] = 4294967296;
             d["tensors"][0]["scale"] = 0.5;
             d["tensors"][1]["scale"] = {1e300};
             d["tensors"][1]["zero_point"] = {2147483648};
         }),
         {"tensor 0 ('x'): 'qtype' must be a whole number from 0 to 4294967295",
          "tensor 0 ('x'): 'scale' must be an array of numbers within single precision",
          "tensor 1 ('y'): 'scale' must be an array of numbers within single precision",
          "tensor 1 ('y'): 'zero_point' must be an array of 32-bit whole numbers"}},
        {changed([](auto& d) { d["subgraphs"] = nlohmann::json::array(); }),
         {"'subgraphs' is empty: a container needs a subgraph to hold its NPU executable"}},
        {changed([&](auto& d) {
             d["subgraphs"][0]["data"] = dir_.file("absent.bin");
             d["subgraphs"].push_back({{"name", "t"}, {"backend", "1"}, {"inputs", {}}, {"data", dir_.path()}});
         }),
         {"subgraph 0 ('s'): data file " + dir_.file("absent.bin") + ": no such file",
          "subgraph 1 ('t'): 'backend' must be a whole number from 0 to 4294967295",
          "subgraph 1 ('t'): 'inputs' must be an array of strings", "subgraph 1 ('t'): 'outputs' is missing",
          "subgraph 1 ('t'): data file " + dir_.path().string() + ": is a directory, not an NPU executable"}},
    };
    for (const Case& test : cases) {
        const std::string description = file("description.json", test.description);
        const ToolRun run = zor({"pack", "--graph", description, "-o", output});
        std::string expected;
        for (const std::string& problem : test.problems) expected += "zor: " + description + ": " + problem + "\n";
        EXPECT_EQ(run.status, 1) << test.description;
        EXPECT_EQ(run.out, "") << test.description;
        EXPECT_EQ(run.err, expected) << test.description;
        EXPECT_EQ(kiv_test::read_file(output), "earlier") << test.description;
        EXPECT_EQ(scratch_files(), (std::vector<std::string>{"description.json", "out.zor", "prog.bin"}))
            << test.description;
    }

    // The same description, made valid, packs over the earlier file.
    const std::string description = file("description.json", valid.dump());
    const ToolRun run = zor({"pack", "--graph", description, "-o", output});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(kiv_test::read_file(output), "earlier");
    EXPECT_EQ(scratch_files(), (std::vector<std::string>{"description.json", "out.zor", "prog.bin"}));
}

// An IO description's problems name the tensor and the key, as a graph
// description's do, instead of the JSON library's own texts.
TEST_F(ZorToolTest, IoDescriptionProblemsNameTheTensorAndKey) {
    const std::string bin = file("prog.bin", "abc");
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {R"({"name": 5, "version": "1.0", "inputs": [{"name": "a", "dtype": "float"}, 7, {"shape": [1]}]})",
         {"'name' must be a string", "'version' must be an array of three 32-bit whole numbers (major, minor, patch)",
          "input 0 ('a'): 'dtype' must be an element type's name as zor info prints it (int8, float32, ...) or its "
          "code, a whole number from 0 to 4294967295",
          "input 1: must be a tensor name or a tensor object", "input 2: 'name' is missing"}},
        {R"({"input_tensors": ["x"], "output_tensors": [{"name": "y", "shape": [1.5], "scale": ["big"]}]})",
         {"output 0 ('y'): 'shape' must be an array of 32-bit whole numbers",
          "output 0 ('y'): 'scale' must be an array of numbers within single precision"}},
        {R"({"outputs": {"name": "y"}})", {"'outputs' must be an array of tensor names or tensor objects"}},
    };
    for (const auto& [text, problems] : cases) {
        const std::string io = file("io.json", text);
        const ToolRun run = zor({"pack", "--bin", bin, "--io", io, "-o", dir_.file("x.zor")});
        std::string expected;
        for (const std::string& problem : problems) expected += "zor: " + io + ": " + problem + "\n";
        EXPECT_EQ(run.status, 1) << text;
        EXPECT_EQ(run.err, expected) << text;
        EXPECT_EQ(scratch_files(), (std::vector<std::string>{"io.json", "prog.bin"})) << text;
    }
}

// zor io -o writes the document whole or not at all: a failed run leaves no
// file (where a shell's redirect leaves an empty one), and an earlier file
// of the name as it was.
TEST_F(ZorToolTest, IoWritesItsOutputFileOnlyOnSuccess) {
    const std::string container = dir_.file("m.zor");
    ASSERT_EQ(zor({"pack", "--bin", file("prog.bin", "code"), "-o", container}).status, 0);
    const std::string printed = zor({"io", container}).out;
    const std::string json = dir_.file("io.json");
    ToolRun run = zor({"io", container, "-o", json});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(kiv_test::read_file(json), printed);

    // A container that cannot be read, and one whose document cannot be
    // made (a name that is not UTF-8).
    kiv::SerializationHandler handler;
    handler.SetName("bad\xff");
    handler.serialize();
    for (const std::string& failing : {dir_.file("absent.zor"), file("bad.zor", kiv_test::image_of(handler))}) {
        for (const std::string& output : {json, dir_.file("new.json")}) {
            run = zor({"io", failing, "--output", output});
            EXPECT_EQ(run.status, 1) << failing;
            EXPECT_EQ(run.out, "") << failing;
            expect_one_error_line(run, failing);
        }
        EXPECT_EQ(kiv_test::read_file(json), printed) << failing;
    }
    EXPECT_EQ(scratch_files(), (std::vector<std::string>{"bad.zor", "io.json", "m.zor", "prog.bin"}));
    run = zor({"io", container, "-o", dir_.file("no/such/dir.json")});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "zor: " + dir_.file("no/such/dir.json") + ": cannot be written: No such file or directory\n");
}

// A container that cannot be read is one line saying why, in the words of
// the Python package's diagnosis, and nothing on standard output.
TEST_F(ZorToolTest, FailuresExitWithOne) {
    kiv::SerializationHandler handler;
    handler.GetSubgraphs().push_back(
        new kiv::Subgraph("main", std::vector<uint8_t>(3000, 7), {"in"}, {"out"}, static_cast<kiv::Backend>(1)));
    handler.serialize();
    const std::string image = kiv_test::image_of(handler);
    const std::string cut = std::to_string(image.size() * 2 / 3);
    std::filesystem::create_directory(dir_.file("folder.zor"));
    const std::vector<std::pair<std::string, std::string>> files = {
        {dir_.file("absent.zor"), "no such file"},
        {dir_.file("folder.zor"), "is a directory, not a model container file"},
        {file("empty.zor", ""), "is empty, not a model container"},
        {file("short.zor", "zor"), "is too short to be a model container (3 bytes)"},
        {file("junk.zor", "definitely not a container"),
         "is not a zor model container: its root table lies past its end"},
        {file("cut.zor", image.substr(0, image.size() * 2 / 3)),
         "is truncated: an NPU executable lies past its end (" + cut + " bytes)"},
    };
    for (const auto& [path, reason] : files) {
        for (const std::vector<std::string>& line : std::vector<std::vector<std::string>>{
                 {"info", path}, {"io", path}, {"extract", path, "-o", dir_.file("out.bin")}}) {
            const ToolRun run = zor(line);
            EXPECT_EQ(run.status, 1) << line[0] << " " << path;
            EXPECT_EQ(run.out, "") << line[0] << " " << path;
            EXPECT_EQ(run.err, "zor: " + path + ": " + reason + "\n") << line[0];
        }
    }
    EXPECT_NE(::access(dir_.file("out.bin").c_str(), F_OK), 0) << "an executable was extracted";

    kiv::SerializationHandler empty;
    empty.serialize();
    const std::string hollow = file("hollow.zor", kiv_test::image_of(empty));
    ToolRun run = zor({"extract", hollow, "-o", dir_.file("out.bin")});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "zor: " + hollow + ": holds no subgraph, so no NPU executable to extract\n");
    EXPECT_NE(::access(dir_.file("out.bin").c_str(), F_OK), 0) << "an empty executable was extracted";
    run = zor({"info", hollow});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("Subgraphs:  0\n"), std::string::npos) << run.out;

    run = zor({"pack", "--bin", dir_.file("absent.bin"), "-o", dir_.file("x.zor")});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "zor: " + dir_.file("absent.bin") + ": no such file\n");
    run = zor({"pack", "--bin", hollow, "-o", dir_.file("no/such/dir.zor")});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "zor: " + dir_.file("no/such/dir.zor") + ": cannot be written: No such file or directory\n");

    // An executable the container format cannot hold (2 GiB; a sparse file)
    // is refused before anything is written; the class's reason is passed on.
    const std::string huge = dir_.file("huge.bin");
    ASSERT_EQ(::truncate(file("huge.bin", "").c_str(), off_t{1} << 31), 0);
    const std::string too_large = dir_.file("huge.zor");
    run = zor({"pack", "--bin", huge, "-o", too_large});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    expect_one_error_line(run, too_large + ": Error serializing model: it does not fit the container format's limit");
    EXPECT_NE(::access(too_large.c_str(), F_OK), 0) << "a container was written";
    EXPECT_EQ(scratch_files(), (std::vector<std::string>{"cut.zor", "empty.zor", "folder.zor", "hollow.zor", "huge.bin",
                                                         "junk.zor", "short.zor"}));
}

}  // namespace
