// A file the tool writes in full or not at all: it is written to a temporary
// file beside the destination and moved into place only on success, so a
// failed run leaves no file and no partial one, and keeps an earlier file of
// the same name.
#ifndef ZOR_OUTPUT_FILE_H
#define ZOR_OUTPUT_FILE_H

#include <string>

namespace zor {

class OutputFile {
public:
    // Creates the temporary file; throws std::runtime_error saying why the
    // destination cannot be written.
    explicit OutputFile(const std::string& destination);
    // Removes the temporary file unless it was committed.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    const std::string& destination() const { return destination_; }
    const std::string& temporary_path() const { return temporary_; }

    // Writes `bytes` to the temporary file; false on a failed write.
    bool write(const void* bytes, size_t length);

    // Gives the file the permissions of a newly created one and moves it to
    // the destination; throws std::runtime_error when it cannot.
    void commit();

private:
    std::string destination_;
    std::string temporary_;
    int fd_ = -1;
    bool committed_ = false;
};

}  // namespace zor

#endif  // ZOR_OUTPUT_FILE_H
