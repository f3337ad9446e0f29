// extract: copies a subtree of the volume into a folder of this system,
// keeping names, modes, owners (when run as root), times, symbolic links,
// hard links and extended attributes. Items that cannot be read are listed
// at the end; the copy goes on past them.
#include "extract.h"
#include "frontend.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <set>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

class copier {
public:
    explicit copier(bool quiet) : progress_(!quiet && isatty(STDERR_FILENO)) {}

    // Copies the volume's `source` to `dest` on this system.
    void copy(const std::string& source, const std::string& dest);
    int finish();

private:
    void copy_item(const std::string& source, const std::string& dest, const struct stat& st);
    bool copy_file(const std::string& source, const std::string& dest, const struct stat& st);
    void copy_folder(const std::string& source, const std::string& dest, const struct stat& st);
    void copy_attributes(const std::string& source, const std::string& dest);
    void set_metadata(const std::string& dest, const struct stat& st);
    void failed(const std::string& source, const std::string& why);
    void show_progress(bool last = false);

    bool progress_;
    bool as_root_ = geteuid() == 0;
    uint64_t files_ = 0;
    uint64_t bytes_ = 0;
    std::vector<std::string> failures_;
    std::vector<std::string> refused_;    // attributes the destination could not hold
    std::map<ino_t, std::string> linked_; // inode -> first copy of every item copied
    std::set<ino_t> open_folders_;        // folders being copied (a folder link cycle)
    std::vector<char> buf_ = std::vector<char>(1 << 20);
};

void copier::failed(const std::string& source, const std::string& why) {
    failures_.push_back(source + ": " + why);
}

void copier::show_progress(bool last) {
    if (!progress_) return;
    std::fprintf(stderr, "\r%llu files, %.1f MiB%s", static_cast<unsigned long long>(files_),
                 static_cast<double>(bytes_) / 1048576.0, last ? "\n" : "");
}

void copier::copy(const std::string& source, const std::string& dest) {
    struct stat st {};
    if (int err = op_getattr(source.c_str(), &st)) {
        failed(source, std::strerror(-err));
        return;
    }
    std::string target = dest;
    struct stat existing {};
    if (!S_ISDIR(st.st_mode) && stat(dest.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) {
        size_t slash = source.find_last_of('/');
        target = dest + "/" + source.substr(slash + 1);
    }
    copy_item(source, target, st);
    show_progress(true);
}

void copier::copy_item(const std::string& source, const std::string& dest, const struct stat& st) {
    if (S_ISDIR(st.st_mode)) {
        copy_folder(source, dest, st);
        return;
    }
    // A second name of an item (a hard link, or a file seen again through a
    // folder link) becomes a hard link again.
    {
        auto [it, first] = linked_.emplace(st.st_ino, dest);
        if (!first) {
            if (link(it->second.c_str(), dest.c_str()) != 0)
                failed(source, std::string("cannot link: ") + std::strerror(errno));
            return;
        }
    }
    if (S_ISREG(st.st_mode)) {
        if (!copy_file(source, dest, st)) return;
    } else if (S_ISLNK(st.st_mode)) {
        char target[4097];
        if (int err = op_readlink(source.c_str(), target, sizeof target)) {
            failed(source, std::strerror(-err));
            return;
        }
        if (symlink(target, dest.c_str()) != 0) {
            failed(source, std::string("cannot create: ") + std::strerror(errno));
            return;
        }
    } else if (mknod(dest.c_str(), (st.st_mode & S_IFMT) | 0600, st.st_rdev) != 0) {
        failed(source, std::string("cannot create this special file: ") + std::strerror(errno));
        return;
    }
    ++files_;
    copy_attributes(source, dest);
    set_metadata(dest, st);
}

bool copier::copy_file(const std::string& source, const std::string& dest, const struct stat& st) {
    fuse_file_info fi{};
    if (int err = op_open(source.c_str(), &fi)) {
        failed(source, std::strerror(-err));
        return false;
    }
    int out = open(dest.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) {
        failed(source, std::string("cannot create: ") + std::strerror(errno));
        op_release(source.c_str(), &fi);
        return false;
    }
    bool ok = true;
    off_t offset = 0;
    while (offset < st.st_size) {
        int got = op_read(source.c_str(), buf_.data(), buf_.size(), offset, &fi);
        if (got < 0) {
            failed(source, std::strerror(-got));
            ok = false;
            break;
        }
        if (got == 0) {
            failed(source, "ends before its size");
            ok = false;
            break;
        }
        for (ssize_t done = 0; done < got;) {
            ssize_t n = write(out, buf_.data() + done, static_cast<size_t>(got - done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                failed(source, std::string("cannot write: ") + std::strerror(errno));
                ok = false;
                break;
            }
            done += n;
        }
        if (!ok) break;
        offset += got;
        bytes_ += static_cast<uint64_t>(got);
        show_progress();
    }
    op_release(source.c_str(), &fi);
    if (close(out) != 0 && ok) {
        failed(source, std::string("cannot write: ") + std::strerror(errno));
        ok = false;
    }
    return ok;
}

void copier::copy_folder(const std::string& source, const std::string& dest,
                         const struct stat& st) {
    if (open_folders_.contains(st.st_ino)) {
        failed(source, "a folder link leads back into its own folder; not copied again");
        return;
    }
    if (mkdir(dest.c_str(), 0700) != 0 && errno != EEXIST) {
        failed(source, std::string("cannot create: ") + std::strerror(errno));
        return;
    }
    std::vector<folder_entry> entries;
    if (int err = list_folder(source, entries)) {
        failed(source, std::strerror(-err));
    } else {
        open_folders_.insert(st.st_ino);
        for (const folder_entry& entry : entries) {
            const std::string from = join_path(source, entry.name);
            struct stat child {};
            if (int err = op_getattr(from.c_str(), &child)) {
                failed(from, std::strerror(-err));
                continue;
            }
            copy_item(from, dest + "/" + entry.name, child);
        }
        open_folders_.erase(st.st_ino);
    }
    copy_attributes(source, dest);
    set_metadata(dest, st);
}

void copier::copy_attributes(const std::string& source, const std::string& dest) {
    int size = op_listxattr(source.c_str(), nullptr, 0);
    if (size <= 0) return;
    std::vector<char> names(static_cast<size_t>(size));
    size = op_listxattr(source.c_str(), names.data(), names.size());
    if (size <= 0) return;
    for (size_t at = 0; at < static_cast<size_t>(size); at += std::strlen(&names[at]) + 1) {
        const char* name = &names[at];
        int length = op_getxattr(source.c_str(), name, nullptr, 0);
        std::vector<char> value(static_cast<size_t>(length > 0 ? length : 0) + 1);
        if (length >= 0) length = op_getxattr(source.c_str(), name, value.data(), value.size());
        if (length < 0) {
            failed(source, std::string("attribute ") + name + ": " + std::strerror(-length));
            continue;
        }
        // Where the destination cannot hold attributes, they are left out.
        if (lsetxattr(dest.c_str(), name, value.data(), static_cast<size_t>(length), 0) != 0 &&
            errno != ENOTSUP && errno != EPERM)
            failed(source,
                   std::string("cannot write attribute ") + name + ": " + std::strerror(errno));
    }
}

void copier::set_metadata(const std::string& dest, const struct stat& st) {
    if (as_root_) (void)lchown(dest.c_str(), st.st_uid, st.st_gid);
    if (!S_ISLNK(st.st_mode)) (void)chmod(dest.c_str(), st.st_mode & 07777);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    (void)utimensat(AT_FDCWD, dest.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

int copier::finish() {
    if (!refused_.empty()) {
        std::fprintf(stderr,
                     "quorvel-extract: the destination could not hold %zu extended "
                     "attribute(s):\n",
                     refused_.size());
        for (const std::string& attribute : refused_)
            std::fprintf(stderr, "    %s\n", attribute.c_str());
    }
    if (failures_.empty()) return 0;
    std::fprintf(stderr, "quorvel-extract: %zu item(s) could not be extracted:\n",
                 failures_.size());
    for (const std::string& failure : failures_) std::fprintf(stderr, "    %s\n", failure.c_str());
    return 1;
}

} // namespace

int command_extract(const std::vector<std::string>& args, bool quiet) {
    if (args.empty() || args.size() > 2) {
        std::fprintf(stderr, "usage: quorvel-extract VOLUME extract [PATH] DEST\n");
        return 1;
    }
    const std::string source = args.size() == 2 ? args[0] : "/";
    const std::string dest = args.back();
    copier c(quiet);
    c.copy(source, dest);
    return c.finish();
}
