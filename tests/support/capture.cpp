#include "tests/support/capture.h"

#include "access/device.h"

#include <cstdarg>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <stdexcept>
#include <unistd.h>
#include <utility>

namespace qtest {
namespace {

std::mutex messages_lock;
std::vector<std::string> messages;

void capture(const char* format, const char*, int, va_list args) {
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    std::lock_guard lock(messages_lock);
    messages.emplace_back(text);
}

} // namespace

void install_capturing_hooks() {
    hfslib_hooks hooks = hfs_device_hooks();
    hooks.err_hook = capture;
    hfslib_setup(&hooks);
    take_messages();
}

std::vector<std::string> take_messages() {
    std::lock_guard lock(messages_lock);
    return std::exchange(messages, {});
}

temp_file::temp_file(std::span<const uint8_t> contents) {
    char name[] = "/tmp/quorvel-test-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    path_ = name;
    size_t done = 0;
    while (done < contents.size()) {
        ssize_t n = write(fd, contents.data() + done, contents.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    close(fd);
}

temp_file::~temp_file() {
    unlink(path_.c_str());
}

void put_u16(std::vector<uint8_t>& bytes, size_t at, uint16_t value) {
    bytes.at(at) = static_cast<uint8_t>(value >> 8);
    bytes.at(at + 1) = static_cast<uint8_t>(value);
}

void put_u32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    put_u16(bytes, at, static_cast<uint16_t>(value >> 16));
    put_u16(bytes, at + 2, static_cast<uint16_t>(value));
}

void put_u64(std::vector<uint8_t>& bytes, size_t at, uint64_t value) {
    put_u32(bytes, at, static_cast<uint32_t>(value >> 32));
    put_u32(bytes, at + 4, static_cast<uint32_t>(value));
}

std::vector<uint8_t> pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 7 + (i >> 9)) & 0xFF);
    return bytes;
}

} // namespace qtest
