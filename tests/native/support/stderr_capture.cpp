#include "stderr_capture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <stdexcept>

StderrCapture::StderrCapture() {
    char path[] = "/tmp/kiv_stderr_XXXXXX";
    capture_fd_ = mkstemp(path);
    if (capture_fd_ < 0) throw std::runtime_error("cannot create stderr capture file");
    unlink(path);
    std::fflush(stderr);
    saved_fd_ = dup(2);
    dup2(capture_fd_, 2);
}

StderrCapture::~StderrCapture() {
    finish();
}

std::string StderrCapture::finish() {
    if (saved_fd_ < 0) return text_;
    std::fflush(stderr);
    dup2(saved_fd_, 2);
    close(saved_fd_);
    saved_fd_ = -1;
    lseek(capture_fd_, 0, SEEK_SET);
    char buffer[4096];
    ssize_t n;
    while ((n = read(capture_fd_, buffer, sizeof buffer)) > 0) text_.append(buffer, static_cast<size_t>(n));
    close(capture_fd_);
    capture_fd_ = -1;
    return text_;
}

std::string StderrCapture::peek() const {
    if (saved_fd_ < 0) return text_;
    std::string text;
    char buffer[4096];
    ssize_t n;
    off_t offset = 0;
    while ((n = pread(capture_fd_, buffer, sizeof buffer, offset)) > 0) {
        text.append(buffer, static_cast<size_t>(n));
        offset += n;
    }
    return text;
}

namespace {

std::string regex_escape(const std::string& text) {
    static const std::string special = R"(\^$.|?*+()[]{})";
    std::string out;
    for (char c : text) {
        if (special.find(c) != std::string::npos) out += '\\';
        out += c;
    }
    return out;
}

}  // namespace

std::string log_record_pattern(const std::string& file, const std::string& level, const std::string& message) {
    return regex_escape(file + " " + level + ":") + "[0-9]+" + regex_escape(" - " + message);
}

bool matches_whole(const std::string& text, const std::string& pattern) {
    return std::regex_match(text, std::regex(pattern));
}
