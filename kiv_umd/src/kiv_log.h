// Diagnostic log: one record per call on standard error, filtered by a
// process-wide threshold that KIV_LOG_LEVEL sets when the library is loaded.
#ifndef KIV_LOG_H
#define KIV_LOG_H

#include <atomic>
#include <cstdint>

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

inline bool log_enabled(LogLevel level) {
    return get_logger_config()->load() <= static_cast<int32_t>(level);
}

// Emits a record of `level` when the threshold allows it.
#define KIV_LOG(level, file, ...)                                                \
    do {                                                                         \
        if (log_enabled(level)) log_message(level, file, __LINE__, __VA_ARGS__); \
    } while (0)

#endif  // KIV_LOG_H
