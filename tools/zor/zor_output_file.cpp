#include "zor_output_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace zor {
namespace {

std::runtime_error cannot_write(const std::string& path) {
    return std::runtime_error(path + ": cannot be written: " + strerror(errno));
}

// The mode open(2) would give a new file: 0666 less the process's umask.
mode_t new_file_mode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

}  // namespace

OutputFile::OutputFile(const std::string& destination) : destination_(destination) {
    struct stat info {};
    if (stat(destination.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        throw std::runtime_error(destination + ": is a directory");
    }
    std::string pattern = destination + ".zor-XXXXXX";
    fd_ = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd_ < 0) throw cannot_write(destination);
    temporary_ = pattern;
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) close(fd_);
    if (!committed_) unlink(temporary_.c_str());
}

bool OutputFile::write(const void* bytes, size_t length) {
    const char* at = static_cast<const char*>(bytes);
    while (length > 0) {
        const ssize_t n = ::write(fd_, at, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

void OutputFile::commit() {
    if (fchmod(fd_, new_file_mode()) != 0 || rename(temporary_.c_str(), destination_.c_str()) != 0) {
        throw cannot_write(destination_);
    }
    committed_ = true;
}

}  // namespace zor
