// A private scratch file for targets whose code under test reads a path.
#ifndef KIV_FUZZ_TEMP_FILE_H
#define KIV_FUZZ_TEMP_FILE_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace kiv_fuzz {

// A file of this process's own, created once and removed at exit. Each
// write() replaces its whole content.
class TempFile {
public:
    explicit TempFile(const char* suffix);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    void write(const uint8_t* data, size_t size) const;
    const char* path() const { return path_.c_str(); }

private:
    std::string path_;
};

}  // namespace kiv_fuzz

#endif  // KIV_FUZZ_TEMP_FILE_H
