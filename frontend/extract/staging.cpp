// The staging folders of extract (see staging.h).
#include "frontend/extract/staging.h"

#include "frontend/extract/extract.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>

namespace {

// A folder name no one can guess in advance.
std::string random_name() {
    uint64_t bits = 0;
    if (getrandom(&bits, sizeof bits, 0) != static_cast<ssize_t>(sizeof bits))
        bits = static_cast<uint64_t>(getpid()) * 0x9E3779B97F4A7C15u ^
               static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&bits));
    char name[40];
    std::snprintf(name, sizeof name, ".quorvel-extract.%016" PRIx64, bits);
    return name;
}

} // namespace

staging_area::~staging_area() {
    std::string error;
    if (!remove(error)) std::fprintf(stderr, "quorvel-extract: %s\n", error.c_str());
}

int staging_area::folder_for(int folder) {
    struct stat st {};
    if (fstat(folder, &st) != 0) return -1;
    for (const area& a : areas_)
        if (a.dev == st.st_dev) return a.fd.get();
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string name = random_name();
        if (mkdirat(folder, name.c_str(), 0700) != 0) {
            if (errno == EEXIST) continue;
            return -1;
        }
        // Someone who can write in `folder` may have put a folder of their
        // own in its place: only a folder of ours that no one else may
        // write in will do (the mode also sets the mask of an inherited
        // access list).
        unique_fd fd(openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat made {};
        if (!fd.valid() || fstat(fd.get(), &made) != 0) return -1;
        if (made.st_uid != geteuid() || made.st_dev != st.st_dev || (made.st_mode & 022) != 0 ||
            fchmod(fd.get(), 0700) != 0) {
            errno = EPERM;
            return -1;
        }
        unique_fd parent(fcntl(folder, F_DUPFD_CLOEXEC, 0));
        if (!parent.valid()) return -1;
        areas_.push_back(
            {made.st_dev, made.st_ino, std::move(parent), std::move(name), std::move(fd)});
        return areas_.back().fd.get();
    }
    errno = EEXIST;
    return -1;
}

std::string staging_area::new_name() {
    return std::to_string(made_++);
}

bool staging_area::holds(const struct stat& st) const {
    for (const area& a : areas_)
        if (a.dev == st.st_dev && a.ino == st.st_ino) return true;
    return false;
}

bool staging_area::remove(std::string& error) {
    bool ok = true;
    for (area& a : areas_) {
        // Only the folder made, if it is still where it was made.
        struct stat st {};
        std::string why;
        if (fstatat(a.parent.get(), a.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            why = std::strerror(errno);
        else if (st.st_dev != a.dev || st.st_ino != a.ino)
            why = "it was moved or replaced";
        else if (unlinkat(a.parent.get(), a.name.c_str(), AT_REMOVEDIR) != 0)
            why = std::strerror(errno);
        if (!why.empty()) {
            error = "cannot remove the staging folder " + printable(a.name) + ": " + why;
            ok = false;
        }
    }
    areas_.clear();
    return ok;
}
