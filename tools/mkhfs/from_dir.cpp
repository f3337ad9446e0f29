#include "from_dir.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace mkhfs {

namespace {

constexpr int64_t hfs_epoch_offset = 2082844800;

HfsDate to_hfs(int64_t unix_seconds) {
    int64_t v = unix_seconds + hfs_epoch_offset;
    return HfsDate(std::clamp<int64_t>(v, 0, UINT32_MAX));
}

std::vector<Xattr> read_xattrs(const std::filesystem::path& p) {
    std::vector<Xattr> out;
    ssize_t len = ::llistxattr(p.c_str(), nullptr, 0);
    if (len <= 0) return out;
    std::string names(size_t(len), '\0');
    len = ::llistxattr(p.c_str(), names.data(), names.size());
    if (len <= 0) return out;
    names.resize(size_t(len));
    for (size_t pos = 0; pos < names.size();) {
        std::string name = names.c_str() + pos;
        pos += name.size() + 1;
        // Only the user namespace is portable; its prefix is not part of the stored name.
        if (name.rfind("user.", 0) != 0) continue;
        ssize_t vlen = ::lgetxattr(p.c_str(), name.c_str(), nullptr, 0);
        if (vlen < 0) continue;
        std::string value(size_t(vlen), '\0');
        vlen = ::lgetxattr(p.c_str(), name.c_str(), value.data(), value.size());
        if (vlen < 0) continue;
        value.resize(size_t(vlen));
        Xattr x;
        x.name = name.substr(5);
        x.value.kind = Content::Kind::text;
        x.value.text = std::move(value);
        x.fork = x.value.text.size() > 3000;
        out.push_back(std::move(x));
    }
    return out;
}

Item describe(const std::filesystem::path& p) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0)
        throw std::runtime_error("cannot examine \"" + p.string() + "\": " + std::strerror(errno));
    Item it;
    it.name = p.filename().string();
    it.perms.owner = st.st_uid;
    it.perms.group = st.st_gid;
    it.perms.mode = uint16_t(st.st_mode & 07777);
    it.dates = Dates{to_hfs(st.st_mtim.tv_sec), to_hfs(st.st_mtim.tv_sec),
                     to_hfs(st.st_ctim.tv_sec), to_hfs(st.st_atim.tv_sec), 0};
    it.xattrs = read_xattrs(p);
    switch (st.st_mode & S_IFMT) {
    case S_IFDIR: {
        it.kind = Kind::folder;
        std::vector<std::filesystem::path> entries;
        for (const auto& e : std::filesystem::directory_iterator(p)) entries.push_back(e.path());
        std::sort(entries.begin(), entries.end());
        for (const auto& e : entries) it.children.push_back(describe(e));
        break;
    }
    case S_IFREG:
        it.kind = Kind::file;
        it.data.kind = Content::Kind::file;
        it.data.file = p;
        it.data.size = uint64_t(st.st_size);
        break;
    case S_IFLNK: {
        it.kind = Kind::symlink;
        std::string target(4096, '\0');
        ssize_t n = ::readlink(p.c_str(), target.data(), target.size());
        if (n < 0) throw std::runtime_error("cannot read link \"" + p.string() + "\"");
        target.resize(size_t(n));
        it.symlink_target = target;
        break;
    }
    case S_IFCHR:
    case S_IFBLK:
        it.kind = S_ISCHR(st.st_mode) ? Kind::chardev : Kind::blockdev;
        it.rdev = uint32_t(major(st.st_rdev) << 24 | (minor(st.st_rdev) & 0xFFFFFF));
        break;
    case S_IFIFO:
        it.kind = Kind::fifo;
        break;
    case S_IFSOCK:
        it.kind = Kind::socket;
        break;
    default:
        throw std::runtime_error("unsupported file type: \"" + p.string() + "\"");
    }
    // On disk '/' stands where a POSIX name shows ':'.
    std::replace(it.name.begin(), it.name.end(), ':', '/');
    return it;
}

} // namespace

std::vector<Item> items_from_directory(const std::filesystem::path& dir) {
    Item root = describe(dir);
    if (root.kind != Kind::folder)
        throw std::runtime_error("\"" + dir.string() + "\" is not a directory");
    return std::move(root.children);
}

} // namespace mkhfs
