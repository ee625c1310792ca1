// Diagnostic log: one record per call on standard error, filtered by a
// process-wide threshold that KIV_LOG_LEVEL sets when the library is loaded.
#ifndef KIV_LOG_H
#define KIV_LOG_H

#include <atomic>
#include <cstdint>

#include "quiet_failures.h"

enum class LogLevel : int32_t { DEBUG = 0, INFO = 1, WARNING = 2, ERROR = 3, NONE = 4 };

// The threshold: a function-local static, read and written sequentially consistent.
std::atomic<int32_t>* get_logger_config();

void set_log_level(LogLevel level);

// Stores the level named by KIV_LOG_LEVEL ("DEBUG", "INFO", "WARNING", "ERROR",
// "NONE", exact case); any other value is ignored.
void init_log_level_from_env();

// Static initialiser of the library; calls init_log_level_from_env() once.
void init_logging();

// Writes "<file's last component> <LEVEL>:<line> - " and the formatted message.
// Does not consult the threshold; callers do (see KIV_LOG).
void log_message(LogLevel level, const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Whether KIV_LOG_LEVEL was set to anything when the library was loaded: the
// log was asked for.
bool log_level_given();

// A record of `level` is written when the threshold allows it, unless the
// calling thread holds back what it prints about failures
// (kiv::QuietFailures) and the log was not asked for.
inline bool log_enabled(LogLevel level) {
    if (get_logger_config()->load() > static_cast<int32_t>(level)) return false;
    return !kiv::QuietFailures::active() || log_level_given();
}

// Emits a record of `level` when the threshold allows it.
#define KIV_LOG(level, file, ...)                                                \
    do {                                                                         \
        if (log_enabled(level)) log_message(level, file, __LINE__, __VA_ARGS__); \
    } while (0)

#endif  // KIV_LOG_H
