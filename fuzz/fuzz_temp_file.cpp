#include "fuzz_temp_file.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace kiv_fuzz {

TempFile::TempFile(const char* suffix) {
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir != nullptr ? dir : "/tmp") + "/kiv_fuzz_XXXXXX" + suffix;
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = mkstemps(name.data(), static_cast<int>(std::string(suffix).size()));
    if (fd < 0) {
        std::perror("mkstemps");
        std::abort();
    }
    close(fd);
    path_ = name.data();
}

TempFile::~TempFile() {
    unlink(path_.c_str());
}

void TempFile::write(const uint8_t* data, size_t size) const {
    FILE* file = std::fopen(path_.c_str(), "wb");
    if (file == nullptr) {
        std::perror("fopen");
        std::abort();
    }
    // A short write would make the target read something other than the
    // input libFuzzer reports, so it stops the run.
    if (size != 0 && std::fwrite(data, 1, size, file) != size) std::abort();
    if (std::fclose(file) != 0) std::abort();
}

}  // namespace kiv_fuzz
