#include "access/disk_image/file_io.h"

#include <cstring>
#include <fcntl.h>

namespace dimg {

namespace {

// Looks at the file before opening it (a device is not even opened when it
// is refused), opens it without blocking (a FIFO put in its place meanwhile
// opens at once, and nothing is read from it), checks the descriptor with
// `accept` before the caller reads, and makes it blocking again. `what`
// names what the file should have been.
template <typename Accept>
int open_checked(int dir, const char* name, int flags, Accept accept, const char* what,
                 unique_fd& out, struct stat& st, std::string& why) {
    out.reset();
    const auto refuse = [&] {
        why = std::string("is ") + file_kind(st.st_mode) + ", not " + what;
        return -EINVAL;
    };
    const int stat_flags = (flags & O_NOFOLLOW) != 0 ? AT_SYMLINK_NOFOLLOW : 0;
    if (::fstatat(dir, name, &st, stat_flags) == 0 && !accept(st.st_mode)) return refuse();
    unique_fd fd(::openat(dir, name, flags | O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        const int err = -errno;
        why =
            err == -ENOENT ? "is missing" : std::string("cannot be opened: ") + std::strerror(-err);
        return err;
    }
    if (::fstat(fd.get(), &st) != 0) {
        const int err = -errno;
        why = std::string("cannot be examined: ") + std::strerror(-err);
        return err;
    }
    if (!accept(st.st_mode)) return refuse();
    const int status = ::fcntl(fd.get(), F_GETFL);
    if (status < 0 || ::fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK) != 0) {
        const int err = -errno;
        why = std::string("cannot be opened: ") + std::strerror(-err);
        return err;
    }
    out = std::move(fd);
    return 0;
}

} // namespace

const char* file_kind(mode_t mode) {
    switch (mode & S_IFMT) {
    case S_IFREG:
        return "a regular file";
    case S_IFDIR:
        return "a folder";
    case S_IFLNK:
        return "a symbolic link";
    case S_IFIFO:
        return "a FIFO";
    case S_IFSOCK:
        return "a socket";
    case S_IFBLK:
        return "a block device";
    case S_IFCHR:
        return "a character device";
    default:
        return "a file of unknown type";
    }
}

int open_image_part(int dir, const char* name, unique_fd& out, struct stat& st, std::string& why) {
    return open_checked(
        dir, name, O_NOFOLLOW, [](mode_t mode) { return S_ISREG(mode); }, "a regular file", out, st,
        why);
}

int open_volume_path(const char* path, unique_fd& out, struct stat& st, std::string& why) {
    const int err = open_checked(
        AT_FDCWD, path, 0,
        [](mode_t mode) {
            return S_ISREG(mode) || S_ISBLK(mode) || S_ISCHR(mode) || S_ISDIR(mode);
        },
        "a disk, disk image or volume file", out, st, why);
    if (err != 0 && err != -EINVAL) why = std::strerror(-err); // "x: No such file or directory"
    return err;
}

} // namespace dimg
