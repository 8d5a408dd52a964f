// A file the tool was told to read (a scenario, a driver image, an image
// named by a scenario), mapped read-only once. Only regular files of a
// bounded size are taken: a device, a FIFO or a directory would block,
// never end, or fail halfway through a read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace model {

class InputFile {
public:
    InputFile() = default;
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    InputFile(InputFile&& other) noexcept;
    InputFile& operator=(InputFile&& other) noexcept;

    // Maps path when it is a regular file of at most maxBytes. On failure
    // returns false and one line in error: "cannot read " what, the path
    // and the reason.
    bool Open(const std::string& path, uint64_t maxBytes, std::string* error,
              const std::string& what = "");

    const uint8_t* Data() const { return data_; }
    size_t Size() const { return size_; }
    // The open descriptor, for a caller that copies the file elsewhere.
    int Descriptor() const { return fd_; }

private:
    void Close();

    int fd_ = -1;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace model
