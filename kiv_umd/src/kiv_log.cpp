#include "kiv_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <pthread.h>

namespace {

std::mutex& log_mutex() {
    static std::mutex mutex;
    return mutex;
}

const char* level_name(LogLevel level) {
    switch (level) {
        case LogLevel::DEBUG:
            return "DEBUG";
        case LogLevel::INFO:
            return "INFO";
        case LogLevel::WARNING:
            return "WARNING";
        case LogLevel::ERROR:
            return "ERROR";
        default:
            return nullptr;
    }
}

const char* last_path_component(const char* file) {
    const char* slash = std::strrchr(file, '/');
    return slash ? slash + 1 : file;
}

}  // namespace

// The library's static initialiser: runs once when the library is loaded,
// before the Python module is initialised and before any API function can run.
// A fork waits for the record being written, so that the child never
// finds the log locked by a thread it does not have.
__attribute__((constructor)) void init_logging() {
    init_log_level_from_env();
    pthread_atfork([] { log_mutex().lock(); }, [] { log_mutex().unlock(); }, [] { log_mutex().unlock(); });
}

std::atomic<int32_t>* get_logger_config() {
    static std::atomic<int32_t> threshold{static_cast<int32_t>(LogLevel::INFO)};
    return &threshold;
}

void set_log_level(LogLevel level) {
    get_logger_config()->store(static_cast<int32_t>(level));
}

namespace {

bool level_given = false;

}  // namespace

bool log_level_given() {
    return level_given;
}

void init_log_level_from_env() {
    const char* value = std::getenv("KIV_LOG_LEVEL");
    if (value == nullptr) return;
    level_given = *value != '\0';
    static const struct {
        const char* name;
        LogLevel level;
    } known[] = {{"DEBUG", LogLevel::DEBUG},
                 {"INFO", LogLevel::INFO},
                 {"WARNING", LogLevel::WARNING},
                 {"ERROR", LogLevel::ERROR},
                 {"NONE", LogLevel::NONE}};
    for (const auto& entry : known) {
        if (std::strcmp(value, entry.name) == 0) {
            set_log_level(entry.level);
            return;
        }
    }
}

void log_message(LogLevel level, const char* file, int line, const char* format, ...) {
    // std::mutex::lock raises std::system_error on failure.
    std::lock_guard<std::mutex> lock(log_mutex());
    const char* name = level_name(level);
    if (name == nullptr) return;
    std::fprintf(stderr, "%s %s:%d - ", last_path_component(file), name, line);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}
