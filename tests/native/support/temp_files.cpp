#include "temp_files.h"

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

TempFile::TempFile(const std::string& suffix) {
    std::string pattern = "/tmp/kiv_test_XXXXXX" + suffix;
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = mkstemps(name.data(), static_cast<int>(suffix.size()));
    if (fd < 0) throw std::runtime_error("cannot create temporary file");
    close(fd);
    path_ = name.data();
}

TempFile::~TempFile() {
    unlink(path_.c_str());
}

void TempFile::write(const void* data, size_t size) const {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) throw std::runtime_error("cannot write " + path_);
}

void TempFile::copy_from(const std::string& source) const {
    std::ifstream in(source, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + source);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    write(bytes.data(), bytes.size());
}
