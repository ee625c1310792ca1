// The Python program builder and its numpy references against the C++
// builder and the driver: same bytes for the same program, same int8
// results as the reference.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "aipu_standin_loader.h"
#include "kiv_api.h"
#include "npu_program_builder.h"
#include "test_paths.h"

namespace {

std::string run_python(const std::string& script) {
    const std::string cmd =
        "PYTHONPATH=" KIV_BUILD_DIR ":" KIV_SOURCE_DIR "/python " KIV_TEST_PYTHON " -c '" + script + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(cmd.c_str(), "r"), pclose);
    if (!pipe) return {};
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), pipe.get())) > 0) out.append(buf, n);
    return out;
}

std::vector<uint8_t> from_hex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

TEST(BuilderParity, PythonAndCppBuildTheSameBytes) {
    const std::string out = run_python(
        "import numpy as np\nfrom kiv.standin import program as p\n"
        "b = p.ProgramBuilder(7)\n"
        "x = b.input([2, 3], \"int8\", 0.5, -1)\n"
        "w = b.constant(np.array([[1, -2], [3, 4], [5, -6]], np.int8), 0.25, 2)\n"
        "c = b.constant(np.array([100, -100], np.int32), 0.125)\n"
        "t = b.temp([2, 2], np.int8, 0.75, 3)\n"
        "y = b.output([2, 2], \"uint8\", 1.5, 128)\n"
        "b.fully_connected(t, x, w, c); b.relu(y, t); b.add(y, y, y); b.mul(y, y, t); b.copy(y, y)\n"
        "b.wait_ms(5); b.raise_exception(3)\n"
        "print(b.build().hex())\n");
    npu_program::ProgramBuilder b(7);
    const uint32_t x = b.input({2, 3}, KIV_DATA_TYPE_S8, 0.5f, -1);
    const uint32_t w = b.constant<int8_t>({3, 2}, KIV_DATA_TYPE_S8, {1, -2, 3, 4, 5, -6}, 0.25f, 2);
    const uint32_t c = b.constant<int32_t>({2}, KIV_DATA_TYPE_S32, {100, -100}, 0.125f);
    const uint32_t t = b.temp({2, 2}, KIV_DATA_TYPE_S8, 0.75f, 3);
    const uint32_t y = b.output({2, 2}, KIV_DATA_TYPE_U8, 1.5f, 128);
    b.fully_connected(t, x, w, c);
    b.relu(y, t);
    b.add(y, y, y);
    b.mul(y, y, t);
    b.copy(y, y);
    b.wait_ms(5);
    b.raise_exception(3);
    std::istringstream lines(out);
    std::string hex;
    std::getline(lines, hex);
    EXPECT_EQ(from_hex(hex), b.build());
}

TEST(BuilderParity, NumpyReferenceMatchesTheDriver) {
    const std::string out = run_python(
        "import numpy as np\nfrom kiv.standin import program as p\n"
        "rng = np.random.default_rng(5)\n"
        "x = rng.integers(0, 256, (4, 33)).astype(np.uint8)\n"
        "w = rng.integers(-128, 128, (33, 6)).astype(np.int8)\n"
        "bias = rng.integers(-5000, 5000, 6).astype(np.int32)\n"
        "b = p.ProgramBuilder()\n"
        "xi = b.input(x.shape, \"uint8\", 0.02, 128)\n"
        "wi = b.constant(w, 0.01, -3)\n"
        "bi = b.constant(bias, 0.0002)\n"
        "yi = b.output([4, 6], \"int8\", 0.07, 4)\n"
        "b.fully_connected(yi, xi, wi, bi)\n"
        "y = p.reference_fully_connected_quantized(x, w, bias, 0.02, 128, 0.01, -3, 0.07, 4, np.int8)\n"
        "print(b.build().hex()); print(x.tobytes().hex()); print(y.tobytes().hex())\n");
    std::istringstream lines(out);
    std::string program_hex, input_hex, expected_hex;
    std::getline(lines, program_hex);
    std::getline(lines, input_hex);
    std::getline(lines, expected_hex);
    const auto program = from_hex(program_hex);
    const auto input = from_hex(input_hex);
    const auto expected = from_hex(expected_hex);
    ASSERT_EQ(input.size(), 4u * 33u);
    ASSERT_EQ(expected.size(), 24u);

    aipu_standin::DriverLibrary drv(standin_library_path());
    ASSERT_TRUE(drv.loaded());
    aipu_ctx_handle_t* ctx = nullptr;
    ASSERT_EQ(drv.aipu_init_context(&ctx), 0u);
    uint64_t graph = 0, job = 0;
    ASSERT_EQ(drv.aipu_load_graph_helper(ctx, reinterpret_cast<const char*>(program.data()),
                                         static_cast<uint32_t>(program.size()), &graph, nullptr),
              0u);
    ASSERT_EQ(drv.aipu_create_job(ctx, graph, &job, nullptr), 0u);
    ASSERT_EQ(drv.aipu_load_tensor(ctx, job, 0, input.data()), 0u);
    ASSERT_EQ(drv.aipu_finish_job(ctx, job, -1), 0u);
    std::vector<uint8_t> got(24);
    ASSERT_EQ(drv.aipu_get_tensor(ctx, job, KIV_TENSOR_TYPE_OUTPUT, 0, got.data()), 0u);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(drv.aipu_deinit_context(ctx), 0u);
}

}  // namespace
