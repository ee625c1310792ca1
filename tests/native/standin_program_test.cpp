// The stand-in driver's program format: parsing limits and the arithmetic of
// every operation, driven through the exported entry points.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>

#include "aipu_standin_loader.h"
#include "kiv_api.h"
#include "npu_program_builder.h"
#include "test_paths.h"

namespace {

using npu_program::ProgramBuilder;

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(drv.loaded());
        ASSERT_EQ(drv.aipu_init_context(&ctx), 0u);
    }
    void TearDown() override { EXPECT_EQ(drv.aipu_deinit_context(ctx), 0u); }

    uint32_t load(const std::vector<uint8_t>& bytes, uint64_t* graph) {
        return drv.aipu_load_graph_helper(ctx, reinterpret_cast<const char*>(bytes.data()),
                                          static_cast<uint32_t>(bytes.size()), graph, nullptr);
    }

    // Loads, runs once with the given inputs and returns the outputs.
    template <typename Out>
    std::vector<Out> run(const std::vector<uint8_t>& program, const std::vector<const void*>& inputs, size_t n_out,
                         uint32_t* status = nullptr) {
        uint64_t graph = 0, job = 0;
        EXPECT_EQ(load(program, &graph), 0u);
        EXPECT_EQ(drv.aipu_create_job(ctx, graph, &job, nullptr), 0u);
        for (uint32_t i = 0; i < inputs.size(); ++i) EXPECT_EQ(drv.aipu_load_tensor(ctx, job, i, inputs[i]), 0u);
        const uint32_t s = drv.aipu_finish_job(ctx, job, -1);
        if (status) {
            *status = s;
        } else {
            EXPECT_EQ(s, 0u);
        }
        std::vector<Out> out(n_out);
        EXPECT_EQ(drv.aipu_get_tensor(ctx, job, KIV_TENSOR_TYPE_OUTPUT, 0, out.data()), 0u);
        EXPECT_EQ(drv.aipu_clean_job(ctx, job), 0u);
        EXPECT_EQ(drv.aipu_unload_graph(ctx, graph), 0u);
        return out;
    }

    aipu_standin::DriverLibrary drv{standin_library_path()};
    aipu_ctx_handle_t* ctx = nullptr;
};

std::vector<uint8_t> sample_program() {
    ProgramBuilder b(0x00020003);
    const uint32_t x = b.input({2, 3}, KIV_DATA_TYPE_F32);
    const uint32_t w = b.constant<float>({3, 2}, KIV_DATA_TYPE_F32, {1, 2, 3, 4, 5, 6});
    const uint32_t bias = b.constant<float>({2}, KIV_DATA_TYPE_F32, {0.5f, -0.5f});
    const uint32_t t = b.temp({2, 2}, KIV_DATA_TYPE_F32);
    const uint32_t y = b.output({2, 2}, KIV_DATA_TYPE_F32);
    b.fully_connected(t, x, w, bias);
    b.relu(y, t);
    b.wait_ms(0);
    return b.build();
}

TEST_F(ProgramTest, EveryTruncationIsRejectedWithoutCrash) {
    const std::vector<uint8_t> full = sample_program();
    uint64_t graph = 0;
    ASSERT_EQ(load(full, &graph), 0u);
    for (size_t len = 0; len < full.size(); ++len) {
        // A private copy of exactly `len` bytes, so that a read past the end
        // is a real overrun under the sanitizers.
        std::unique_ptr<char[]> cut(new char[len]);
        std::memcpy(cut.get(), full.data(), len);
        uint64_t id = 0;
        EXPECT_EQ(drv.aipu_load_graph_helper(ctx, cut.get(), static_cast<uint32_t>(len), &id, nullptr),
                  uint32_t(KIV_STATUS_ERROR_INVALID_GBIN))
            << "length " << len;
    }
    std::vector<uint8_t> longer = full;
    longer.push_back(0);
    EXPECT_EQ(load(longer, &graph), uint32_t(KIV_STATUS_ERROR_INVALID_GBIN));
}

TEST_F(ProgramTest, ForeignMagicOrVersionIsUnknownBinary) {
    std::vector<uint8_t> bytes = sample_program();
    uint64_t graph = 0;
    bytes[0] = 'X';
    EXPECT_EQ(load(bytes, &graph), uint32_t(KIV_STATUS_ERROR_UNKNOWN_BIN));
    bytes = sample_program();
    bytes[4] = 2;  // format version
    EXPECT_EQ(load(bytes, &graph), uint32_t(KIV_STATUS_ERROR_UNKNOWN_BIN));
    const std::vector<uint8_t> junk = {'P', 'K', 3, 4};
    EXPECT_EQ(load(junk, &graph), uint32_t(KIV_STATUS_ERROR_UNKNOWN_BIN));
    EXPECT_EQ(drv.aipu_load_graph_helper(ctx, nullptr, 10, &graph, nullptr), uint32_t(KIV_STATUS_ERROR_NULL_PTR));
}

TEST_F(ProgramTest, CraftedSizesAndOperandsAreRejected) {
    uint64_t graph = 0;
    {  // 65536 x 65536 float32 = 16 GiB: refused before any allocation
        ProgramBuilder b;
        b.input({65536, 65536}, KIV_DATA_TYPE_F32);
        EXPECT_EQ(load(b.build(), &graph), uint32_t(KIV_STATUS_ERROR_INVALID_GBIN));
    }
    {  // dimensions whose product overflows 64 bits
        ProgramBuilder b;
        b.input({0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu}, KIV_DATA_TYPE_U8);
        EXPECT_EQ(load(b.build(), &graph), uint32_t(KIV_STATUS_ERROR_INVALID_GBIN));
    }
    {  // two tensors of 600 MiB each exceed the total
        ProgramBuilder b;
        b.temp({600u << 20}, KIV_DATA_TYPE_U8);
        b.temp({600u << 20}, KIV_DATA_TYPE_U8);
        EXPECT_EQ(load(b.build(), &graph), uint32_t(KIV_STATUS_ERROR_INVALID_GBIN));
    }
    {  // tensor count far beyond the data present
        std::vector<uint8_t> bytes = ProgramBuilder().build();
        bytes[12] = 0xFF;
        bytes[13] = 0xFF;
        EXPECT_EQ(load(bytes, &graph), uint32_t(KIV_STATUS_ERROR_INVALID_GBIN));
    }
    {  // operand index out of the table, writing an input, mismatched sizes
        ProgramBuilder b;
        const uint32_t x = b.input({4}, KIV_DATA_TYPE_F32);
        const uint32_t y = b.output({4}, KIV_DATA_TYPE_F32);
        const uint32_t z = b.output({5}, KIV_DATA_TYPE_F32);
        ProgramBuilder b1 = b, b2 = b, b3 = b, b4 = b;
        b1.copy(y, 9);
        b2.copy(x, y);
        b3.add(z, x, y);
        b4.raise_exception(1);
        for (auto* p : {&b1, &b2, &b3, &b4})
            EXPECT_EQ(load(p->build(), &graph), uint32_t(KIV_STATUS_ERROR_INVALID_GBIN));
    }
    {  // unknown data type and zero dimension
        ProgramBuilder b;
        b.input({4}, 99);
        EXPECT_EQ(load(b.build(), &graph), uint32_t(KIV_STATUS_ERROR_INVALID_GBIN));
        ProgramBuilder c;
        c.input({4, 0}, KIV_DATA_TYPE_U8);
        EXPECT_EQ(load(c.build(), &graph), uint32_t(KIV_STATUS_ERROR_INVALID_GBIN));
    }
}

TEST_F(ProgramTest, RandomCorruptionNeverCrashes) {
    const std::vector<uint8_t> full = sample_program();
    std::mt19937 rng(1234);
    for (int i = 0; i < 2000; ++i) {
        std::vector<uint8_t> bytes = full;
        const int flips = 1 + static_cast<int>(rng() % 4);
        for (int f = 0; f < flips; ++f) bytes[8 + rng() % (bytes.size() - 8)] = static_cast<uint8_t>(rng());
        uint64_t graph = 0;
        const uint32_t s = load(bytes, &graph);
        EXPECT_TRUE(s == 0 || s == KIV_STATUS_ERROR_INVALID_GBIN) << s;
        if (s == 0) {
            EXPECT_EQ(drv.aipu_unload_graph(ctx, graph), 0u);
        }
    }
}

TEST_F(ProgramTest, DescriptorsFollowTheTensorTable) {
    ProgramBuilder b(77);
    b.input({2, 3}, KIV_DATA_TYPE_S8, 0.25f, -3);
    b.constant<int32_t>({2}, KIV_DATA_TYPE_S32, {1, 2});
    b.input({5}, KIV_DATA_TYPE_U8, 0.5f, 128);
    b.output({4}, KIV_DATA_TYPE_F32);
    uint64_t graph = 0;
    ASSERT_EQ(load(b.build(), &graph), 0u);
    uint32_t count = 0;
    ASSERT_EQ(drv.aipu_get_tensor_count(ctx, graph, KIV_TENSOR_TYPE_INPUT, &count), 0u);
    EXPECT_EQ(count, 2u);
    ASSERT_EQ(drv.aipu_get_tensor_count(ctx, graph, KIV_TENSOR_TYPE_OUTPUT, &count), 0u);
    EXPECT_EQ(count, 1u);
    ASSERT_EQ(drv.aipu_get_tensor_count(ctx, graph, KIV_TENSOR_TYPE_PROFILER, &count), 0u);
    EXPECT_EQ(count, 0u);
    aipu_tensor_desc_t d{};
    ASSERT_EQ(drv.aipu_get_tensor_descriptor(ctx, graph, KIV_TENSOR_TYPE_INPUT, 1, &d), 0u);
    EXPECT_EQ(d.id, 1u);
    EXPECT_EQ(d.size, 5u);
    EXPECT_EQ(d.scale, 0.5f);
    EXPECT_EQ(d.zero_point, 128);
    EXPECT_EQ(d.data_type, uint32_t(KIV_DATA_TYPE_U8));
    ASSERT_EQ(drv.aipu_get_tensor_descriptor(ctx, graph, KIV_TENSOR_TYPE_OUTPUT, 0, &d), 0u);
    EXPECT_EQ(d.size, 16u);
    EXPECT_EQ(drv.aipu_get_tensor_descriptor(ctx, graph, KIV_TENSOR_TYPE_OUTPUT, 1, &d),
              uint32_t(KIV_STATUS_ERROR_INVALID_TENSOR_ID));
    EXPECT_EQ(drv.aipu_get_tensor_descriptor(ctx, graph, KIV_TENSOR_TYPE_PRINTF, 0, &d),
              uint32_t(KIV_STATUS_ERROR_INVALID_TENSOR_ID));
    EXPECT_EQ(drv.aipu_get_tensor_descriptor(ctx, graph, 8, 0, &d), uint32_t(KIV_STATUS_ERROR_INVALID_TENSOR_TYPE));
    EXPECT_EQ(drv.aipu_get_tensor_count(ctx, graph, 8, &count), uint32_t(KIV_STATUS_ERROR_INVALID_TENSOR_TYPE));
    EXPECT_EQ(drv.aipu_get_tensor_count(ctx, graph + 1000, KIV_TENSOR_TYPE_INPUT, &count),
              uint32_t(KIV_STATUS_ERROR_INVALID_GRAPH_ID));
    // A job id stands for its graph in descriptor queries.
    uint64_t job = 0;
    ASSERT_EQ(drv.aipu_create_job(ctx, graph, &job, nullptr), 0u);
    EXPECT_NE(job, graph);
    ASSERT_EQ(drv.aipu_get_tensor_descriptor(ctx, job, KIV_TENSOR_TYPE_INPUT, 0, &d), 0u);
    EXPECT_EQ(d.size, 6u);
    EXPECT_EQ(d.zero_point, -3);
    aipu_bin_buildversion bv{graph, 0};
    ASSERT_EQ(drv.aipu_ioctl(ctx, AIPU_IOCTL_GET_AIPUBIN_BUILDVERSION, &bv), 0u);
    EXPECT_EQ(bv.aipubin_buildversion, 77u);
}

TEST_F(ProgramTest, FloatOperations) {
    ProgramBuilder b;
    const uint32_t x = b.input({2, 3}, KIV_DATA_TYPE_F32);
    const uint32_t w = b.constant<float>({3, 2}, KIV_DATA_TYPE_F32, {1, -2, 3, 4, -5, 6});
    const uint32_t bias = b.constant<float>({2}, KIV_DATA_TYPE_F32, {0.5f, -100.0f});
    const uint32_t t = b.temp({2, 2}, KIV_DATA_TYPE_F32);
    const uint32_t y = b.output({2, 2}, KIV_DATA_TYPE_F32);
    b.fully_connected(t, x, w, bias);
    b.relu(t, t);
    b.add(y, t, t);
    b.mul(y, y, t);
    const float in[6] = {1, 2, 3, -1, 0.5f, 2};
    const auto out = run<float>(b.build(), {in}, 4);
    // Reference computed directly: t = relu(x @ w + bias); y = 2 t * t.
    const float wv[6] = {1, -2, 3, 4, -5, 6}, bv[2] = {0.5f, -100.0f};
    for (int r = 0; r < 2; ++r) {
        for (int c = 0; c < 2; ++c) {
            float acc = bv[c];
            for (int k = 0; k < 3; ++k) acc += in[r * 3 + k] * wv[k * 2 + c];
            const float tv = std::max(acc, 0.0f);
            EXPECT_NEAR(out[r * 2 + c], 2 * tv * tv, 1e-4) << r << "," << c;
        }
    }
}

// Documented arithmetic: acc = sum((x-zx)(w-zw)) + bias; q = round half away
// from zero of acc * (sx*sw/sy), plus zy, saturated.
template <typename XT, typename WT, typename YT>
std::vector<YT> reference_fc(const std::vector<XT>& x, const std::vector<WT>& w, const std::vector<int32_t>& bias,
                             int n, int k, int m, float sx, int zx, float sw, int zw, float sy, int zy) {
    std::vector<YT> y(n * m);
    const double mult = double(sx) * double(sw) / double(sy);
    for (int r = 0; r < n; ++r) {
        for (int c = 0; c < m; ++c) {
            int64_t acc = bias[c];
            for (int j = 0; j < k; ++j) acc += int64_t(x[r * k + j] - zx) * int64_t(w[j * m + c] - zw);
            const double v = static_cast<double>(acc) * mult;
            double q = (v < 0 ? -std::floor(-v + 0.5) : std::floor(v + 0.5)) + zy;
            q = std::min<double>(std::max<double>(q, std::numeric_limits<YT>::min()), std::numeric_limits<YT>::max());
            y[r * m + c] = static_cast<YT>(q);
        }
    }
    return y;
}

TEST_F(ProgramTest, QuantisedFullyConnectedMatchesReference) {
    std::mt19937 rng(7);
    const int n = 3, k = 17, m = 5;
    std::vector<int8_t> x(n * k), w(k * m);
    std::vector<int32_t> bias(m);
    for (auto& v : x) v = static_cast<int8_t>(rng() % 256 - 128);
    for (auto& v : w) v = static_cast<int8_t>(rng() % 256 - 128);
    for (auto& v : bias) v = static_cast<int32_t>(rng() % 4001) - 2000;
    const float sx = 0.05f, sw = 0.02f, sy = 0.1f;
    const int zx = 3, zw = -2, zy = -5;
    ProgramBuilder b;
    const uint32_t xi = b.input({uint32_t(n), uint32_t(k)}, KIV_DATA_TYPE_S8, sx, zx);
    const uint32_t wi = b.constant<int8_t>({uint32_t(k), uint32_t(m)}, KIV_DATA_TYPE_S8, w, sw, zw);
    const uint32_t bi = b.constant<int32_t>({uint32_t(m)}, KIV_DATA_TYPE_S32, bias, sx * sw, 0);
    const uint32_t yi = b.output({uint32_t(n), uint32_t(m)}, KIV_DATA_TYPE_S8, sy, zy);
    b.fully_connected(yi, xi, wi, bi);
    const auto out = run<int8_t>(b.build(), {x.data()}, n * m);
    const auto expected = reference_fc<int8_t, int8_t, int8_t>(x, w, bias, n, k, m, sx, zx, sw, zw, sy, zy);
    EXPECT_EQ(out, expected);
    // The data must exercise saturation at both ends to mean anything.
    EXPECT_NE(std::count(expected.begin(), expected.end(), int8_t(127)) +
                  std::count(expected.begin(), expected.end(), int8_t(-128)),
              0);
}

TEST_F(ProgramTest, QuantisedRoundingIsHalfAwayFromZero) {
    // acc * 0.5 lands exactly on halves: 1.5 -> 2, 2.5 -> 3, -1.5 -> -2, -2.5 -> -3.
    ProgramBuilder b;
    const uint32_t x = b.input({1, 4}, KIV_DATA_TYPE_U8, 1.0f, 0);
    const uint32_t w =
        b.constant<uint8_t>({4, 4}, KIV_DATA_TYPE_U8, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}, 0.5f, 0);
    const uint32_t bias = b.constant<int32_t>({4}, KIV_DATA_TYPE_S32, {0, 0, -6, -10}, 0.5f, 0);
    const uint32_t y = b.output({1, 4}, KIV_DATA_TYPE_S8, 1.0f, 0);
    b.fully_connected(y, x, w, bias);
    const uint8_t in[4] = {3, 5, 3, 5};
    const auto out = run<int8_t>(b.build(), {in}, 4);
    EXPECT_EQ(out, (std::vector<int8_t>{2, 3, -2, -3}));
}

TEST_F(ProgramTest, QuantisedElementwiseRequantises) {
    ProgramBuilder b;
    const uint32_t a = b.input({4}, KIV_DATA_TYPE_U8, 0.5f, 10);
    const uint32_t c = b.constant<int8_t>({4}, KIV_DATA_TYPE_S8, {-4, 0, 3, 100}, 0.25f, 0);
    const uint32_t s = b.temp({4}, KIV_DATA_TYPE_S8, 1.0f, 0);
    const uint32_t y = b.output({4}, KIV_DATA_TYPE_S8, 0.5f, 1);
    b.add(s, a, c);  // real: (a-10)/2 + c/4
    b.mul(y, s, s);  // real: s*s, requantised to 0.5 scale, zp 1
    const uint8_t in[4] = {10, 13, 0, 255};
    const auto out = run<int8_t>(b.build(), {in}, 4);
    // s = round(0 + -1) = -1; round(1.5 + 0)=2; round(-5 + 0.75)=-4; round(122.5 + 25)=148 -> 127
    // y = round(s*s / 0.5) + 1: 3, 9, 33, 127*127*2+1 -> 127
    EXPECT_EQ(out, (std::vector<int8_t>{3, 9, 33, 127}));
}

TEST_F(ProgramTest, CopyAndReluOnIntegers) {
    ProgramBuilder b;
    const uint32_t x = b.input({5}, KIV_DATA_TYPE_S32);
    const uint32_t t = b.temp({5}, KIV_DATA_TYPE_S32);
    const uint32_t y = b.output({5}, KIV_DATA_TYPE_S32);
    b.relu(t, x);
    b.copy(y, t);
    const int32_t in[5] = {-7, 0, 7, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()};
    const auto out = run<int32_t>(b.build(), {in}, 5);
    EXPECT_EQ(out, (std::vector<int32_t>{0, 0, 7, 0, std::numeric_limits<int32_t>::max()}));
}

TEST_F(ProgramTest, RaiseEndsTheJobWithItsStatus) {
    for (uint32_t raised : {2u, 3u, 7u}) {
        ProgramBuilder b;
        const uint32_t x = b.input({1}, KIV_DATA_TYPE_U8);
        const uint32_t y = b.output({1}, KIV_DATA_TYPE_U8);
        b.raise_exception(raised);
        b.copy(y, x);  // never reached: outputs keep their previous contents
        uint64_t graph = 0, job = 0;
        ASSERT_EQ(load(b.build(), &graph), 0u);
        ASSERT_EQ(drv.aipu_create_job(ctx, graph, &job, nullptr), 0u);
        const uint8_t in = 42;
        ASSERT_EQ(drv.aipu_load_tensor(ctx, job, 0, &in), 0u);
        EXPECT_EQ(drv.aipu_finish_job(ctx, job, -1), uint32_t(KIV_STATUS_ERROR_JOB_EXCEPTION));
        aipu_job_status_t st = AIPU_JOB_STATUS_NO_STATUS;
        ASSERT_EQ(drv.aipu_get_job_status(ctx, job, &st, 0), 0u);
        EXPECT_EQ(uint32_t(st), raised);
        uint8_t out = 99;
        ASSERT_EQ(drv.aipu_get_tensor(ctx, job, KIV_TENSOR_TYPE_OUTPUT, 0, &out), 0u);
        EXPECT_EQ(out, 0);
    }
}

}  // namespace
