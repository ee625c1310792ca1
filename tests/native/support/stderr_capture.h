// Redirects file descriptor 2 into a temporary file for the lifetime of the
// object, so that tests can compare log records byte for byte.
#ifndef KIV_TEST_STDERR_CAPTURE_H
#define KIV_TEST_STDERR_CAPTURE_H

#include <string>

class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Restores fd 2 (once) and returns everything written meanwhile.
    std::string finish();
    // What has been written so far, while the capture goes on.
    std::string peek() const;

private:
    int saved_fd_ = -1;
    int capture_fd_ = -1;
    std::string text_;
};

// A regular expression matching one whole log record; `message` is literal
// and the line number is any decimal.
std::string log_record_pattern(const std::string& file, const std::string& level, const std::string& message);

// True when `text` consists exactly of `pattern` (std::regex, ECMAScript).
bool matches_whole(const std::string& text, const std::string& pattern);

#endif  // KIV_TEST_STDERR_CAPTURE_H
