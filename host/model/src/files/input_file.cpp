// Input files: checked to be regular and bounded before a byte is read,
// then mapped whole (see model/input_file.h).
#include "model/input_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace model {

InputFile::~InputFile()
{
    Close();
}

InputFile::InputFile(InputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0))
{
}

InputFile& InputFile::operator=(InputFile&& other) noexcept
{
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

bool InputFile::Open(const std::string& path, uint64_t maxBytes, std::string* error,
                     const std::string& what)
{
    Close();
    const std::string cannot = "cannot read " + what + path + ": ";
    // Non-blocking, so that opening a FIFO with no writer returns at once;
    // what is not a regular file is refused before any read.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = cannot + std::strerror(errno);
        return false;
    }
    struct stat status = {};
    if (fstat(fd, &status) != 0) {
        *error = cannot + std::strerror(errno);
        ::close(fd);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        *error = cannot +
                 (S_ISDIR(status.st_mode) ? "it is a directory" : "it is not a regular file");
        ::close(fd);
        return false;
    }
    const auto size = static_cast<uint64_t>(status.st_size);
    if (size > maxBytes) {
        *error = cannot + std::to_string(size) + " bytes, more than the " +
                 std::to_string(maxBytes) + " it may have";
        ::close(fd);
        return false;
    }
    if (size > 0) {
        void* mapped = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (mapped == MAP_FAILED) {
            *error = cannot + std::strerror(errno);
            ::close(fd);
            return false;
        }
        data_ = static_cast<const uint8_t*>(mapped);
    }
    fd_ = fd;
    size_ = static_cast<size_t>(size);
    return true;
}

void InputFile::Close()
{
    if (data_ != nullptr) {
        munmap(const_cast<uint8_t*>(data_), size_);
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = -1;
    data_ = nullptr;
    size_ = 0;
}

}  // namespace model
