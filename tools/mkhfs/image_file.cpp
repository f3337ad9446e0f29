#include "image_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace mkhfs {

namespace {
[[noreturn]] void io_error(const std::filesystem::path& p, const char* what) {
    throw std::runtime_error(std::string(what) + " \"" + p.string() +
                             "\": " + std::strerror(errno));
}
} // namespace

ImageFile::ImageFile(const std::filesystem::path& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) io_error(path, "cannot create");
}

ImageFile::~ImageFile() {
    if (fd_ >= 0) ::close(fd_);
}

void ImageFile::write(uint64_t offset, std::span<const uint8_t> bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done, off_t(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            io_error(path_, "cannot write");
        }
        done += size_t(n);
    }
}

void ImageFile::set_size(uint64_t size) {
    if (::ftruncate(fd_, off_t(size)) != 0) io_error(path_, "cannot size");
}

void ImageFile::finish() {
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) io_error(path_, "cannot close");
}

} // namespace mkhfs
