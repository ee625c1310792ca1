// Temporary files that remove themselves.
#ifndef KIV_TEST_TEMP_FILES_H
#define KIV_TEST_TEMP_FILES_H

#include <string>

class TempFile {
public:
    // Creates an empty file whose name ends in `suffix`.
    explicit TempFile(const std::string& suffix = "");
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::string& path() const { return path_; }
    void write(const void* data, size_t size) const;
    void copy_from(const std::string& source) const;

private:
    std::string path_;
};

#endif  // KIV_TEST_TEMP_FILES_H
