#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "kiv_log.h"
#include "stderr_capture.h"

namespace {

// Restores the process threshold after a test changed it.
class ThresholdGuard {
public:
    ThresholdGuard() : saved_(get_logger_config()->load()) {}
    ~ThresholdGuard() { get_logger_config()->store(saved_); }

private:
    int32_t saved_;
};

std::string capture_record(LogLevel level, const char* file, int line) {
    StderrCapture capture;
    log_message(level, file, line, "%s: value %d\n", "reporter", 7);
    return capture.finish();
}

}  // namespace

TEST(LogRecord, PrefixCarriesLastPathComponentLevelAndLine) {
    EXPECT_EQ(capture_record(LogLevel::ERROR, "src/kiv_api", 42), "kiv_api ERROR:42 - reporter: value 7\n");
    EXPECT_EQ(capture_record(LogLevel::WARNING, "src/aipu_adapter", 3), "aipu_adapter WARNING:3 - reporter: value 7\n");
    EXPECT_EQ(capture_record(LogLevel::INFO, "a/b/c/deep", 100), "deep INFO:100 - reporter: value 7\n");
    EXPECT_EQ(capture_record(LogLevel::DEBUG, "plain", 1), "plain DEBUG:1 - reporter: value 7\n");
}

TEST(LogRecord, MessageIsWrittenUnchangedWithoutAddedNewline) {
    StderrCapture capture;
    log_message(LogLevel::ERROR, "x/f", 9, "no newline %s", "here");
    EXPECT_EQ(capture.finish(), "f ERROR:9 - no newline here");
}

TEST(LogRecord, LevelsAboveErrorWriteNothing) {
    EXPECT_EQ(capture_record(LogLevel::NONE, "src/kiv_api", 1), "");
    EXPECT_EQ(capture_record(static_cast<LogLevel>(9), "src/kiv_api", 1), "");
}

TEST(LogThreshold, MacroEmitsOnlyAtOrAboveThreshold) {
    ThresholdGuard guard;
    set_log_level(LogLevel::WARNING);
    EXPECT_EQ(get_logger_config()->load(), 2);
    StderrCapture capture;
    KIV_LOG(LogLevel::INFO, "src/kiv_api", "%s: suppressed\n", "t");
    KIV_LOG(LogLevel::WARNING, "src/kiv_api", "%s: shown\n", "t");
    KIV_LOG(LogLevel::ERROR, "src/kiv_api", "%s: shown too\n", "t");
    const std::string text = capture.finish();
    EXPECT_TRUE(matches_whole(text, log_record_pattern("kiv_api", "WARNING", "t: shown\n") +
                                        log_record_pattern("kiv_api", "ERROR", "t: shown too\n")))
        << text;
}

TEST(LogThreshold, NoneSilencesErrors) {
    ThresholdGuard guard;
    set_log_level(LogLevel::NONE);
    StderrCapture capture;
    KIV_LOG(LogLevel::ERROR, "src/kiv_api", "%s: hidden\n", "t");
    EXPECT_EQ(capture.finish(), "");
}

TEST(LogConcurrency, RecordsFromThreadsNeverInterleave) {
    constexpr int kThreads = 4;
    constexpr int kRecords = 200;
    StderrCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kRecords; ++i) {
                log_message(LogLevel::ERROR, "src/kiv_api", t, "%s: thread %d record %d\n", "writer", t, i);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    const std::string text = capture.finish();
    const std::regex line(R"(kiv_api ERROR:(\d) - writer: thread (\d) record \d+)");
    int count = 0;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        std::smatch m;
        const std::string one = text.substr(start, end - start);
        ASSERT_TRUE(std::regex_match(one, m, line)) << one;
        EXPECT_EQ(m[1], m[2]);
        ++count;
        start = end + 1;
    }
    EXPECT_EQ(count, kThreads * kRecords);
}

// The threshold is read once when the library is loaded, so each value needs
// a fresh process.
namespace {

struct EnvCase {
    const char* setting;  // shell assignment prefix, or "unset"
    int threshold;
};

std::string probe_output_for(int threshold) {
    static const char* names[] = {"debug", "info", "warning", "error"};
    static const char* levels[] = {"DEBUG", "INFO", "WARNING", "ERROR"};
    std::string pattern = "threshold=" + std::to_string(threshold) + "\n";
    for (int level = threshold; level < 4; ++level) {
        pattern += log_record_pattern("kiv_api", levels[level], std::string(names[level]) + ": record\n");
    }
    return pattern;
}

}  // namespace

TEST(LogEnvironment, LevelNamesSetTheThresholdAndOthersAreIgnored) {
    const std::string probe = std::string(KIV_PROBE_DIR) + "/log_probe";
    const EnvCase cases[] = {
        {"unset", 1},
        {"KIV_LOG_LEVEL=DEBUG", 0},
        {"KIV_LOG_LEVEL=INFO", 1},
        {"KIV_LOG_LEVEL=WARNING", 2},
        {"KIV_LOG_LEVEL=ERROR", 3},
        {"KIV_LOG_LEVEL=NONE", 4},
        {"KIV_LOG_LEVEL=debug", 1},
        {"KIV_LOG_LEVEL=3", 1},
        {"KIV_LOG_LEVEL=", 1},
        {"KIV_LOG_LEVEL=ERROR_", 1},
    };
    for (const auto& c : cases) {
        const std::string setting = std::string(c.setting) == "unset" ? "-u KIV_LOG_LEVEL" : c.setting;
        const CommandResult result = run_command("env " + setting + " " + shell_quote(probe) + " 2>&1");
        ASSERT_EQ(result.exit_code, 0) << c.setting;
        EXPECT_TRUE(matches_whole(result.output, probe_output_for(c.threshold))) << c.setting << " gave:\n"
                                                                                 << result.output;
    }
}
