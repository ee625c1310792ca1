#include "zor_stdout_capture.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace zor {
namespace {

// Flushes both ways of printing: the class uses printf and std::cout.
void flush_stdout() {
    std::cout.flush();
    fflush(stdout);
}

std::runtime_error system_error(const char* what) {
    return std::runtime_error(std::string("cannot capture standard output (") + what + "): " + strerror(errno));
}

// Points descriptor 1 at an anonymous memory file until destroyed.
class Redirect {
public:
    Redirect() {
        flush_stdout();
        memory_ = memfd_create("zor-stdout", MFD_CLOEXEC);
        if (memory_ < 0) throw system_error("memfd_create");
        saved_ = dup(STDOUT_FILENO);
        if (saved_ < 0 || dup2(memory_, STDOUT_FILENO) < 0) {
            const int error = errno;
            close_all();
            errno = error;
            throw system_error("dup");
        }
    }
    ~Redirect() {
        flush_stdout();
        dup2(saved_, STDOUT_FILENO);
        close_all();
    }
    Redirect(const Redirect&) = delete;
    Redirect& operator=(const Redirect&) = delete;

    std::string text() {
        flush_stdout();
        std::string result;
        char buffer[4096];
        off_t at = 0;
        for (;;) {
            const ssize_t n = pread(memory_, buffer, sizeof buffer, at);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            result.append(buffer, static_cast<size_t>(n));
            at += n;
        }
        return result;
    }

private:
    void close_all() {
        if (saved_ >= 0) close(saved_);
        if (memory_ >= 0) close(memory_);
        saved_ = memory_ = -1;
    }

    int memory_ = -1;
    int saved_ = -1;
};

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace

std::vector<std::string> capture_stdout_lines(const std::function<void()>& action) {
    Redirect redirect;
    action();
    return split_lines(redirect.text());
}

}  // namespace zor
