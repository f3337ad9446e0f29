// extract: copies a subtree of the volume into a folder of this system,
// keeping names, modes, owners (when run as root), times, symbolic links,
// hard links and extended attributes. Items that cannot be read are listed
// at the end; the copy goes on past them.
//
// The destination may hold links planted by someone else, someone else may
// replace names in it while the copy runs, and the volume is untrusted:
// everything below DEST is created relative to folder descriptors the
// extractor opened itself, without following any link; a regular file gets
// its metadata through the descriptor that created it, and every other item
// (a new DEST and new folders too) is made and given its metadata in a
// staging folder only the extractor can write in, then renamed into place.
// The walk keeps its own stack so the depth of the volume's tree costs no
// call stack.
#include "frontend/extract/extract.h"
#include "frontend/extract/staging.h"
#include "frontend/extract/unique_fd.h"

#include "access/file_reader.h"
#include "access/stat.h"
#include "access/xattrs.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <linux/limits.h>
#include <map>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr size_t no_place = std::numeric_limits<size_t>::max();

// Folder descriptors held open along the path being copied (besides DEST's);
// those further up are closed and opened again from their parent on the way
// back.
constexpr size_t open_folder_window = 64;

constexpr int folder_open_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::string errno_text(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// Whether a name read from the volume can be created as one entry of a
// folder here.
bool usable_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

class copier {
public:
    copier(hfslib_vol* vol, const extract_options& how)
        : vol_(vol), progress_(!how.quiet && isatty(STDERR_FILENO)),
          same_permissions_(how.same_permissions), max_size_(how.max_size),
          resource_fork_attributes_(how.resource_fork_attributes) {}

    // Copies the volume's `source` to `dest` on this system; the exit status.
    int copy(const std::string& source, const std::string& dest);

private:
    // A folder created (or found) below DEST: its parent folder and name,
    // and its device and inode, to recognise it when it is opened again.
    // Entry 0 is DEST itself, or the folder a single file is copied into.
    struct place {
        size_t parent;
        std::string name;
        dev_t dev = 0;
        ino_t ino = 0;
    };
    // A folder being copied.
    struct frame {
        size_t place;
        size_t source_length; // of source_ while inside this folder
        unique_fd fd;         // closed while far up the path
        dev_t dev;            // of the folder created, to recognise it when
        ino_t ino;            // it is opened again
        struct stat st;       // the volume folder's attributes
        bool keep_as_is;      // an existing folder: its metadata is not touched
        std::vector<folder_entry> entries;
        size_t next = 0;
    };
    // The first copy of an item with several names.
    struct first_copy {
        size_t folder;
        std::string name;
    };

    void walk();
    void list_entries(std::vector<folder_entry>& entries);
    bool enter_folder(int parent, size_t parent_place, const std::string& name,
                      const struct stat& st);
    void finish_folder(frame& folder, size_t depth);
    void copy_leaf(int parent, size_t parent_place, const std::string& name, const struct stat& st);
    bool copy_file(int parent, const std::string& name, const struct stat& st);
    void link_folder_again(int parent, size_t parent_place, const std::string& name, size_t first);
    bool clear_place(int parent, const std::string& name);
    unique_fd make_folder(int parent, const std::string& name);
    bool place_staged(int stage, const std::string& staged, int parent, const std::string& name);
    int open_place(size_t place);
    bool reopen(size_t depth);
    void check_resource_fork();
    void copy_attributes(int fd, int parent, const std::string& name, mode_t mode);
    void set_metadata(int fd, int parent, const std::string& name, const struct stat& st);
    void failed(const std::string& source, const std::string& why);
    void show_progress(bool last = false);
    int finish();

    hfslib_vol* vol_;
    bool progress_;
    bool same_permissions_;
    uint64_t max_size_;
    uint64_t claimed_ = 0; // the sizes of the files copied so far
    bool resource_fork_attributes_;
    bool as_root_ = geteuid() == 0;
    uint64_t files_ = 0;
    uint64_t bytes_ = 0;
    std::string source_; // the volume path at hand
    std::vector<frame> stack_;
    std::vector<place> places_;
    std::map<ino_t, size_t> folders_;    // volume folder -> its copy in places_
    std::map<ino_t, first_copy> linked_; // item with several names -> its first copy
    std::vector<std::string> failures_;  // volume path: why
    std::vector<std::string> devices_;   // device nodes not made
    std::vector<uint8_t> buf_ = std::vector<uint8_t>(1 << 20);
    staging_area staging_;
};

void copier::failed(const std::string& source, const std::string& why) {
    failures_.push_back(printable(source) + ": " + why);
}

void copier::show_progress(bool last) {
    if (!progress_) return;
    std::fprintf(stderr, "\r%llu files, %.1f MiB%s", static_cast<unsigned long long>(files_),
                 static_cast<double>(bytes_) / 1048576.0, last ? "\n" : "");
}

int copier::copy(const std::string& source, const std::string& dest) {
    struct stat st {};
    if (int err = hfs_stat_path(vol_, source, &st)) {
        report_error(source, err);
        return 1;
    }
    source_ = source;
    if (!S_ISDIR(st.st_mode)) {
        // A file goes into DEST when DEST is a folder, else it becomes DEST.
        // DEST is the user's own choice: the path to it is followed.
        std::string folder = dest, name;
        struct stat existing {};
        if (stat(dest.c_str(), &existing) != 0 || !S_ISDIR(existing.st_mode)) {
            const size_t slash = dest.find_last_of('/');
            folder = slash == std::string::npos ? "." : slash == 0 ? "/" : dest.substr(0, slash);
            name = dest.substr(slash == std::string::npos ? 0 : slash + 1);
        } else {
            std::string trimmed = source;
            while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
            name = trimmed.substr(trimmed.find_last_of('/') + 1);
        }
        unique_fd parent(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!parent.valid()) {
            report_error(dest, -errno);
            return 1;
        }
        if (!usable_name(name)) {
            report_error(dest, -EISDIR);
            return 1;
        }
        places_.push_back({no_place, folder, 0, 0});
        copy_leaf(parent.get(), 0, name, st);
        show_progress(true);
        return finish();
    }

    // An existing folder is copied into and otherwise left as it is; a new
    // one gets the volume folder's metadata.
    // The path to DEST's parent is followed (the user's choice).
    bool existed = true;
    unique_fd fd(open(dest.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid() && errno == ENOENT) {
        existed = false;
        std::string trimmed = dest;
        while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
        const size_t slash = trimmed.find_last_of('/');
        const std::string folder = slash == std::string::npos ? "."
                                   : slash == 0               ? "/"
                                                              : trimmed.substr(0, slash);
        unique_fd parent(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (parent.valid()) fd = make_folder(parent.get(), trimmed.substr(slash + 1));
    }
    struct stat made {};
    if (!fd.valid() || fstat(fd.get(), &made) != 0) {
        report_error(dest, -errno);
        return 1;
    }
    places_.push_back({no_place, dest, made.st_dev, made.st_ino});
    folders_.emplace(st.st_ino, 0);
    frame root{0, source_.size(), std::move(fd), made.st_dev, made.st_ino, st, existed, {}, 0};
    list_entries(root.entries);
    stack_.push_back(std::move(root));
    walk();
    show_progress(true);
    return finish();
}

// The entries of the folder source_; what cannot be listed is reported.
void copier::list_entries(std::vector<folder_entry>& entries) {
    size_t skipped = 0;
    if (int err = list_folder(vol_, source_, entries, &skipped))
        failed(source_, std::strerror(-err));
    if (skipped)
        failed(source_,
               "left out: " + std::to_string(skipped) + " entry(ies) whose names cannot be shown");
}

void copier::walk() {
    while (!stack_.empty()) {
        const size_t depth = stack_.size() - 1;
        if (stack_[depth].next == stack_[depth].entries.size()) {
            finish_folder(stack_[depth], depth);
            stack_.pop_back();
            continue;
        }
        const folder_entry entry = stack_[depth].entries[stack_[depth].next++];
        source_.resize(stack_[depth].source_length);
        if (source_ != "/") source_ += '/';
        source_ += entry.name;
        if (!usable_name(entry.name)) {
            failed(source_, "left out: this name cannot be used here");
            continue;
        }
        struct stat st {};
        if (int err = hfs_stat_path(vol_, source_, &st)) {
            failed(source_, std::strerror(-err));
            continue;
        }
        if (!reopen(depth)) continue;
        frame& folder = stack_[depth];
        if (S_ISDIR(st.st_mode))
            enter_folder(folder.fd.get(), folder.place, entry.name, st);
        else
            copy_leaf(folder.fd.get(), folder.place, entry.name, st);
    }
}

// Opens the folder at `depth` again if it was closed, walking down from the
// nearest open one. False (the rest of that folder is given up) when a
// folder on the way is no longer the one created.
bool copier::reopen(size_t depth) {
    if (stack_[depth].fd.valid()) return true;
    size_t open_at = depth;
    while (!stack_[open_at].fd.valid()) --open_at;
    unique_fd walked;
    int from = stack_[open_at].fd.get();
    for (size_t d = open_at + 1; d <= depth; ++d) {
        frame& folder = stack_[d];
        unique_fd fd(openat(from, places_[folder.place].name.c_str(), folder_open_flags));
        struct stat st {};
        if (!fd.valid() || fstat(fd.get(), &st) != 0 || st.st_dev != folder.dev ||
            st.st_ino != folder.ino) {
            source_.resize(stack_[depth].source_length);
            failed(source_, "the copy of this folder was moved or replaced while extracting");
            stack_[depth].next = stack_[depth].entries.size();
            return false;
        }
        if (d + open_folder_window > depth) {
            folder.fd = std::move(fd);
            from = folder.fd.get();
        } else {
            walked = std::move(fd);
            from = walked.get();
        }
    }
    return true;
}

bool copier::enter_folder(int parent, size_t parent_place, const std::string& name,
                          const struct stat& st) {
    // A folder met again (a folder hard link) is copied once; the later
    // names become symbolic links to the first copy.
    if (auto seen = folders_.find(st.st_ino); seen != folders_.end()) {
        link_folder_again(parent, parent_place, name, seen->second);
        return false;
    }
    // An existing folder is copied into and otherwise left as it is: its
    // metadata is not the extractor's to change.
    struct stat existing {};
    unique_fd fd;
    const bool existed = fstatat(parent, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
                         S_ISDIR(existing.st_mode) && !staging_.holds(existing);
    if (existed) {
        fd.reset(openat(parent, name.c_str(), folder_open_flags));
    } else {
        if (!clear_place(parent, name)) return false;
        fd = make_folder(parent, name);
        if (!fd.valid()) return false;
    }
    struct stat made {};
    if (!fd.valid() || fstat(fd.get(), &made) != 0) {
        failed(source_, errno_text("cannot open the copy"));
        return false;
    }
    places_.push_back({parent_place, name, made.st_dev, made.st_ino});
    folders_.emplace(st.st_ino, places_.size() - 1);
    frame folder{places_.size() - 1,
                 source_.size(),
                 std::move(fd),
                 made.st_dev,
                 made.st_ino,
                 st,
                 existed,
                 {},
                 0};
    list_entries(folder.entries);
    stack_.push_back(std::move(folder));
    if (stack_.size() > open_folder_window + 1)
        stack_[stack_.size() - 1 - open_folder_window].fd.reset();
    return true;
}

void copier::finish_folder(frame& folder, size_t depth) {
    if (folder.keep_as_is) return;
    source_.resize(folder.source_length);
    if (!reopen(depth)) return;
    copy_attributes(folder.fd.get(), -1, {}, S_IFDIR);
    set_metadata(folder.fd.get(), -1, {}, folder.st);
}

void copier::link_folder_again(int parent, size_t parent_place, const std::string& name,
                               size_t first) {
    // The link's text: up from the folder holding it to the nearest common
    // folder, then down to the first copy.
    auto chain = [this](size_t at) {
        std::vector<size_t> up;
        for (; at != no_place; at = places_[at].parent) up.push_back(at);
        return std::vector<size_t>(up.rbegin(), up.rend());
    };
    const std::vector<size_t> from = chain(parent_place), to = chain(first);
    size_t common = 0;
    while (common < from.size() && common < to.size() && from[common] == to[common]) ++common;
    std::string text;
    for (size_t i = common; i < from.size(); ++i) text += "../";
    for (size_t i = common; i < to.size(); ++i) text += places_[to[i]].name + "/";
    if (text.empty()) text = "./";
    text.pop_back();
    if (!clear_place(parent, name)) return;
    if (symlinkat(text.c_str(), parent, name.c_str()) != 0) {
        failed(source_, errno_text("cannot create a link to the folder's first copy"));
        return;
    }
    ++files_;
}

// Removes what is at `name` so an item can be created there afresh (never
// writing through what someone else put there). A folder goes only if empty.
bool copier::clear_place(int parent, const std::string& name) {
    struct stat existing {};
    if (fstatat(parent, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) != 0) return true;
    if (staging_.holds(existing)) {
        failed(source_, "cannot replace the extractor's own staging folder");
        return false;
    }
    if (unlinkat(parent, name.c_str(), S_ISDIR(existing.st_mode) ? AT_REMOVEDIR : 0) == 0 ||
        errno == ENOENT)
        return true;
    failed(source_, errno_text("cannot replace what is there"));
    return false;
}

// A new folder `name` in `parent`, made in the staging folder and renamed
// into place (replacing an empty folder that got there since); an invalid
// descriptor after reporting why.
unique_fd copier::make_folder(int parent, const std::string& name) {
    const int stage = staging_.folder_for(parent);
    const std::string staged = staging_.new_name();
    unique_fd fd;
    if (stage < 0 || mkdirat(stage, staged.c_str(), 0700) != 0) {
        failed(source_, errno_text("cannot create"));
        return fd;
    }
    fd.reset(openat(stage, staged.c_str(), folder_open_flags));
    if (!fd.valid()) {
        failed(source_, errno_text("cannot open the copy"));
        (void)unlinkat(stage, staged.c_str(), AT_REMOVEDIR);
        return fd;
    }
    if (!place_staged(stage, staged, parent, name)) fd.reset();
    return fd;
}

// Renames the item made as `staged` in the staging folder `stage` to `name`
// in `parent`, replacing what is in the way; false (the item removed) after
// reporting why.
bool copier::place_staged(int stage, const std::string& staged, int parent,
                          const std::string& name) {
    if (clear_place(parent, name)) {
        if (renameat(stage, staged.c_str(), parent, name.c_str()) == 0) return true;
        failed(source_, errno_text("cannot move into place"));
    }
    struct stat st {};
    const bool folder =
        fstatat(stage, staged.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    (void)unlinkat(stage, staged.c_str(), folder ? AT_REMOVEDIR : 0);
    return false;
}

// A descriptor of the copy `place`, opened from DEST down without following
// links; -1 when it cannot be opened or a folder on the way is no longer the
// one created. The caller closes it.
int copier::open_place(size_t place) {
    std::vector<size_t> down;
    for (size_t at = place; at != 0 && at != no_place; at = places_[at].parent) down.push_back(at);
    if (stack_.empty()) return -1;
    unique_fd fd(dup(stack_[0].fd.get()));
    for (size_t i = down.size(); i-- > 0 && fd.valid();) {
        fd.reset(openat(fd.get(), places_[down[i]].name.c_str(), folder_open_flags));
        struct stat st {};
        if (fd.valid() && (fstat(fd.get(), &st) != 0 || st.st_dev != places_[down[i]].dev ||
                           st.st_ino != places_[down[i]].ino))
            fd.reset();
    }
    return fd.release();
}

void copier::copy_leaf(int parent, size_t parent_place, const std::string& name,
                       const struct stat& st) {
    if ((S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) && !same_permissions_) {
        devices_.push_back(printable(source_));
        return;
    }
    // A second name of an item (a hard link) becomes a hard link again.
    if (st.st_nlink > 1) {
        if (auto first = linked_.find(st.st_ino); first != linked_.end()) {
            if (!clear_place(parent, name)) return;
            unique_fd folder;
            int from = parent;
            if (first->second.folder != parent_place) {
                folder.reset(open_place(first->second.folder));
                from = folder.get();
            }
            if (from < 0 || linkat(from, first->second.name.c_str(), parent, name.c_str(), 0) != 0)
                failed(source_, errno_text("cannot link"));
            return;
        }
    }
    if (S_ISREG(st.st_mode)) {
        if (!copy_file(parent, name, st)) return;
        check_resource_fork();
    } else {
        // Made and set up where no one else can reach it, then moved.
        const int stage = staging_.folder_for(parent);
        const std::string staged = staging_.new_name();
        if (stage < 0) {
            failed(source_, errno_text("cannot create"));
            return;
        }
        if (S_ISLNK(st.st_mode)) {
            char target[4097];
            if (int err = hfs_read_link(vol_, source_, target)) {
                failed(source_, std::strerror(-err));
                return;
            }
            if (symlinkat(target, stage, staged.c_str()) != 0) {
                failed(source_, errno_text("cannot create"));
                return;
            }
        } else if (mknodat(stage, staged.c_str(), (st.st_mode & S_IFMT) | 0600, st.st_rdev) != 0) {
            failed(source_, errno_text("cannot create this special file"));
            return;
        }
        copy_attributes(-1, stage, staged, st.st_mode);
        set_metadata(-1, stage, staged, st);
        if (!place_staged(stage, staged, parent, name)) return;
    }
    ++files_;
    if (st.st_nlink > 1) linked_.emplace(st.st_ino, first_copy{parent_place, name});
}

// A regular file, with its attributes and metadata; runs of zeros become
// holes. Nothing is created when the volume's file cannot be opened or its
// size would take the copy past --max-size.
bool copier::copy_file(int parent, const std::string& name, const struct stat& st) {
    const auto size = static_cast<uint64_t>(st.st_size);
    if (size > max_size_ - claimed_) {
        failed(source_,
               (claimed_ == 0 ? "left out: it claims " : "left out: the copy would reach ") +
                   over_limit(claimed_ + size, max_size_));
        return false;
    }
    claimed_ += size;
    hfs_file_reader file;
    if (int err = file.open(vol_, source_)) {
        failed(source_, std::strerror(-err));
        return false;
    }
    unique_fd out;
    if (clear_place(parent, name)) {
        out.reset(openat(parent, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                         0600));
        if (!out.valid()) failed(source_, errno_text("cannot create"));
    }
    bool ok = out.valid();
    sparse_output to(out.get());
    off_t offset = 0;
    while (ok && offset < st.st_size) {
        const int got = file.read(buf_, offset);
        if (got <= 0) {
            failed(source_, got < 0 ? std::strerror(-got) : "ends before its size");
            ok = false;
            break;
        }
        if (int err = to.write(std::span(buf_).first(static_cast<size_t>(got)))) {
            failed(source_, std::string("cannot write: ") + std::strerror(err));
            ok = false;
            break;
        }
        offset += got;
        bytes_ += static_cast<uint64_t>(got);
        show_progress();
    }
    if (int err = ok ? to.finish() : 0) {
        failed(source_, std::string("cannot write: ") + std::strerror(err));
        ok = false;
    }
    if (!ok) return false;
    copy_attributes(out.get(), -1, {}, st.st_mode);
    set_metadata(out.get(), -1, {}, st);
    if (close(out.release()) != 0) {
        failed(source_, errno_text("cannot write"));
        return false;
    }
    return true;
}

// A resource fork too large to be an attribute is left out: it is reported.
void copier::check_resource_fork() {
    if (!resource_fork_attributes_) return;
    struct stat fork {};
    const std::string path = source_ + "/rsrc";
    if (hfs_stat_path(vol_, path, &fork) == 0 && S_ISREG(fork.st_mode) && fork.st_size > INT_MAX)
        failed(source_, "left out: its resource fork of " + std::to_string(fork.st_size) +
                            " bytes is too large for an attribute");
}

// Attributes go through `fd` for files and folders, else by name in
// `parent`, a staging folder.
void copier::copy_attributes(int fd, int parent, const std::string& name, mode_t mode) {
    int size = hfs_list_xattrs(vol_, source_, {}, hfs_xattr_scope::every_item);
    if (size <= 0) return;
    std::vector<char> names(static_cast<size_t>(size));
    size = hfs_list_xattrs(vol_, source_, names, hfs_xattr_scope::every_item);
    if (size <= 0) return;
    // Linux keeps user attributes only on files and folders.
    const bool plain = S_ISREG(mode) || S_ISDIR(mode);
    const std::string by_name = "/proc/self/fd/" + std::to_string(parent) + "/" + name;
    for (size_t at = 0; at < static_cast<size_t>(size); at += std::strlen(&names[at]) + 1) {
        const char* attribute = &names[at];
        if (!plain && std::strncmp(attribute, "user.", 5) == 0) continue;
        int length = hfs_get_xattr(vol_, source_, attribute, {});
        // Linux holds no value over XATTR_SIZE_MAX: a larger one (a volume
        // may claim up to 2 GiB) is neither read nor held in memory.
        if (length > XATTR_SIZE_MAX) {
            failed(source_,
                   "cannot write attribute " + printable(attribute) + ": " + std::strerror(E2BIG));
            continue;
        }
        std::vector<char> value(static_cast<size_t>(length > 0 ? length : 0) + 1);
        if (length >= 0) length = hfs_get_xattr(vol_, source_, attribute, value);
        if (length < 0) {
            failed(source_, std::string("attribute ") + printable(attribute) + ": " +
                                std::strerror(-length));
            continue;
        }
        const size_t bytes = static_cast<size_t>(length);
        const int set = plain ? fsetxattr(fd, attribute, value.data(), bytes, 0)
                              : lsetxattr(by_name.c_str(), attribute, value.data(), bytes, 0);
        // Where the destination cannot hold attributes, they are left out.
        if (set != 0 && errno != ENOTSUP && errno != EPERM)
            failed(source_,
                   "cannot write attribute " + printable(attribute) + ": " + std::strerror(errno));
    }
}

// Owner (as root), mode and times, through `fd` or by name in `parent`, a
// staging folder.
void copier::set_metadata(int fd, int parent, const std::string& name, const struct stat& st) {
    // Set-user-ID, set-group-ID and sticky bits from an untrusted volume are
    // kept only when asked for.
    const mode_t mode = st.st_mode & (same_permissions_ ? 07777 : 0777);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (fd >= 0) {
        if (as_root_) (void)fchown(fd, st.st_uid, st.st_gid);
        (void)fchmod(fd, mode);
        (void)futimens(fd, times);
        return;
    }
    if (as_root_) (void)fchownat(parent, name.c_str(), st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW);
    if (!S_ISLNK(st.st_mode)) (void)fchmodat(parent, name.c_str(), mode, 0);
    (void)utimensat(parent, name.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

int copier::finish() {
    int status = 0;
    std::string error;
    if (!staging_.remove(error)) failures_.push_back(error);
    if (!devices_.empty()) {
        std::fprintf(stderr,
                     "quorvel-extract: %zu device node(s) not created (--same-permissions "
                     "creates them):\n",
                     devices_.size());
        for (const std::string& device : devices_) std::fprintf(stderr, "    %s\n", device.c_str());
        status = 1;
    }
    if (failures_.empty()) return status;
    std::fprintf(stderr, "quorvel-extract: %zu item(s) could not be extracted:\n",
                 failures_.size());
    for (const std::string& failure : failures_) std::fprintf(stderr, "    %s\n", failure.c_str());
    return 1;
}

} // namespace

int command_extract(hfslib_vol* vol, const std::vector<std::string>& args,
                    const extract_options& how) {
    if (args.empty() || args.size() > 2) {
        std::fprintf(stderr, "usage: quorvel-extract VOLUME extract [PATH] DEST\n");
        return 1;
    }
    copier c(vol, how);
    return c.copy(args.size() == 2 ? args[0] : "/", args.back());
}
