// Reports the log threshold this process started with, then emits one record
// per level through the normal threshold test.
#include <cstdio>

#include "kiv_log.h"

int main() {
    std::printf("threshold=%d\n", static_cast<int>(get_logger_config()->load()));
    std::fflush(stdout);
    KIV_LOG(LogLevel::DEBUG, "src/kiv_api", "%s: record\n", "debug");
    KIV_LOG(LogLevel::INFO, "src/kiv_api", "%s: record\n", "info");
    KIV_LOG(LogLevel::WARNING, "src/kiv_api", "%s: record\n", "warning");
    KIV_LOG(LogLevel::ERROR, "src/kiv_api", "%s: record\n", "error");
    return 0;
}
