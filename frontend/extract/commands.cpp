// The commands of quorvel-extract and their table: ls, stat, cat and xattr
// print what a mount would show; extract (copy_out.cpp) copies it out. A new
// command is a function here and a line in the table at the end.
#include "frontend/extract/extract.h"

#include "access/file_reader.h"
#include "access/folder_reader.h"
#include "access/stat.h"
#include "access/xattrs.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

struct listing {
    std::vector<folder_entry>* entries;
    off_t last = 2;     // offset of the entry before
    size_t skipped = 0; // offsets passed over
};

int collect(void* buf, const char* name, const struct stat* st, int64_t offset) {
    auto* out = static_cast<listing*>(buf);
    // Entries get consecutive offsets; the listing passes over those whose
    // names cannot be shown. Entries named "." or ".." stored on the volume
    // are kept for the caller to judge.
    if (offset > out->last + 1) out->skipped += static_cast<size_t>(offset - out->last - 1);
    if (offset > out->last) out->last = offset;
    folder_entry entry{name, {}};
    if (st) entry.st = *st;
    out->entries->push_back(std::move(entry));
    return 0;
}

std::string mode_text(mode_t mode) {
    std::string text = S_ISDIR(mode)    ? "d"
                       : S_ISLNK(mode)  ? "l"
                       : S_ISCHR(mode)  ? "c"
                       : S_ISBLK(mode)  ? "b"
                       : S_ISFIFO(mode) ? "p"
                       : S_ISSOCK(mode) ? "s"
                                        : "-";
    const char* flags = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i) text += (mode & (0400 >> i)) ? flags[i] : '-';
    if (mode & S_ISUID) text[3] = (mode & S_IXUSR) ? 's' : 'S';
    if (mode & S_ISGID) text[6] = (mode & S_IXGRP) ? 's' : 'S';
    if (mode & S_ISVTX) text[9] = (mode & S_IXOTH) ? 't' : 'T';
    return text;
}

std::string time_text(const struct timespec& when) {
    struct tm utc {};
    time_t seconds = when.tv_sec;
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
    return text;
}

int link_target(hfslib_vol* vol, const std::string& path, std::string& target) {
    char buf[4097];
    if (int err = hfs_read_link(vol, path, buf)) return err;
    target = buf;
    return 0;
}

void print_long(hfslib_vol* vol, const std::string& path, const std::string& name,
                const struct stat& st) {
    std::string size =
        S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)
            ? std::to_string(major(st.st_rdev)) + ", " + std::to_string(minor(st.st_rdev))
            : std::to_string(st.st_size);
    std::printf("%s %3lu %5u %5u %10s %s UTC %s", mode_text(st.st_mode).c_str(),
                static_cast<unsigned long>(st.st_nlink), st.st_uid, st.st_gid, size.c_str(),
                time_text(st.st_mtim).c_str(), printable(name).c_str());
    std::string target;
    if (S_ISLNK(st.st_mode) && link_target(vol, path, target) == 0)
        std::printf(" -> %s", printable(target).c_str());
    std::putchar('\n');
}

// Lists `start`; with `recursive`, every folder below it too, depth first
// from a stack of its own (the volume decides how deep it goes). A folder
// met again through a folder hard link is not listed again.
int list(hfslib_vol* vol, const std::string& start, bool long_form, bool recursive) {
    struct stat st {};
    if (int err = hfs_stat_path(vol, start, &st)) {
        report_error(start, err);
        return 1;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (long_form)
            print_long(vol, start, start, st);
        else
            std::printf("%s\n", printable(start).c_str());
        return 0;
    }
    int status = 0;
    std::vector<std::string> pending{start};
    std::set<ino_t> listed{st.st_ino};
    for (bool first = true; !pending.empty(); first = false) {
        const std::string path = std::move(pending.back());
        pending.pop_back();
        std::vector<folder_entry> entries;
        if (int err = list_folder(vol, path, entries)) {
            report_error(path, err);
            status = 1;
            continue;
        }
        if (recursive) std::printf("%s%s:\n", first ? "" : "\n", printable(path).c_str());
        for (folder_entry& entry : entries) {
            const std::string full = join_path(path, entry.name);
            if (long_form || recursive) {
                if (int err = hfs_stat_path(vol, full, &entry.st)) {
                    report_error(full, err);
                    status = 1;
                    continue;
                }
            }
            if (long_form)
                print_long(vol, full, entry.name, entry.st);
            else
                std::printf("%s\n", printable(entry.name).c_str());
        }
        if (!recursive) break;
        for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry)
            if (S_ISDIR(entry->st.st_mode) && entry->name != "." && entry->name != ".." &&
                listed.insert(entry->st.st_ino).second)
                pending.push_back(join_path(path, entry->name));
    }
    return status;
}

} // namespace

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        // C1 controls (U+0080 to U+009F) are escaped as their two bytes.
        const bool c1 = byte == 0xC2 && i + 1 < text.size() &&
                        static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\t') {
            out += "\\t";
        } else if (byte == '\r') {
            out += "\\r";
        } else if (byte < 0x20 || byte == 0x7F || c1) {
            for (int k = 0; k < (c1 ? 2 : 1); ++k) {
                const auto escaped = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
                char octal[5];
                std::snprintf(octal, sizeof octal, "\\%03o", escaped);
                out += octal;
            }
            if (c1) ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

void report_error(const std::string& what, int negative_errno) {
    std::fprintf(stderr, "quorvel-extract: %s: %s\n", printable(what).c_str(),
                 std::strerror(-negative_errno));
}

std::string join_path(const std::string& path, const std::string& name) {
    return path == "/" ? "/" + name : path + "/" + name;
}

int list_folder(hfslib_vol* vol, const std::string& path, std::vector<folder_entry>& entries,
                size_t* skipped) {
    hfs_folder_reader folder;
    if (int err = folder.open(vol, path)) return err;
    listing out{&entries};
    const int err = folder.read(HFS_FIRST_CHILD, collect, &out);
    if (skipped) *skipped = out.skipped;
    return err;
}

namespace {

int command_ls(hfslib_vol* vol, const std::vector<std::string>& args, const extract_options&) {
    bool long_form = false, recursive = false;
    std::string path = "/";
    for (const std::string& arg : args) {
        if (arg == "-l")
            long_form = true;
        else if (arg == "-R")
            recursive = true;
        else if (arg == "-lR" || arg == "-Rl")
            long_form = recursive = true;
        else
            path = arg;
    }
    return list(vol, path, long_form, recursive);
}

int command_stat(hfslib_vol* vol, const std::vector<std::string>& args, const extract_options&) {
    if (args.size() != 1) {
        std::fprintf(stderr, "usage: quorvel-extract VOLUME stat PATH\n");
        return 1;
    }
    struct stat st {};
    if (int err = hfs_stat_path(vol, args[0], &st)) {
        report_error(args[0], err);
        return 1;
    }
    std::printf("  File: %s\n", printable(args[0]).c_str());
    std::printf("  Size: %lld\tBlocks: %lld\tIO Block: %ld\n", static_cast<long long>(st.st_size),
                static_cast<long long>(st.st_blocks), static_cast<long>(st.st_blksize));
    std::printf(" Inode: %lu\tLinks: %lu", static_cast<unsigned long>(st.st_ino),
                static_cast<unsigned long>(st.st_nlink));
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        std::printf("\tDevice type: %u,%u", major(st.st_rdev), minor(st.st_rdev));
    std::printf("\nAccess: (%04o/%s)  Uid: %u  Gid: %u\n", st.st_mode & 07777,
                mode_text(st.st_mode).c_str(), st.st_uid, st.st_gid);
    std::printf("Access: %s UTC\nModify: %s UTC\nChange: %s UTC\n", time_text(st.st_atim).c_str(),
                time_text(st.st_mtim).c_str(), time_text(st.st_ctim).c_str());
    return 0;
}

// Files go to standard output as they are, runs of zeros as holes when it is
// a regular file; a file that would take the output past --max-size is
// refused.
int command_cat(hfslib_vol* vol, const std::vector<std::string>& args, const extract_options& how) {
    if (args.empty()) {
        std::fprintf(stderr, "usage: quorvel-extract VOLUME cat PATH...\n");
        return 1;
    }
    int status = 0;
    std::vector<uint8_t> buf(1 << 20);
    sparse_output out(STDOUT_FILENO);
    uint64_t claimed = 0;
    for (const std::string& path : args) {
        struct stat st {};
        if (int err = hfs_stat_path(vol, path, &st)) {
            report_error(path, err);
            status = 1;
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            report_error(path, -EISDIR);
            status = 1;
            continue;
        }
        const auto size = static_cast<uint64_t>(st.st_size);
        if (size > how.max_size - claimed) {
            std::fprintf(stderr, "quorvel-extract: %s: the output would reach %s\n",
                         printable(path).c_str(), over_limit(claimed + size, how.max_size).c_str());
            status = 1;
            continue;
        }
        claimed += size;
        hfs_file_reader file;
        if (int err = file.open(vol, path)) {
            report_error(path, err);
            status = 1;
            continue;
        }
        for (int64_t offset = 0;;) {
            const int got = file.read(buf, offset);
            if (got < 0) {
                report_error(path, got);
                status = 1;
                break;
            }
            if (got == 0) break;
            if (int err = out.write(std::span(buf).first(static_cast<size_t>(got)))) {
                report_error("standard output", -err);
                return 1;
            }
            offset += got;
        }
    }
    if (int err = out.finish()) {
        report_error("standard output", -err);
        return 1;
    }
    return status;
}

int command_xattr(hfslib_vol* vol, const std::vector<std::string>& args, const extract_options&) {
    if (args.empty() || args.size() > 2) {
        std::fprintf(stderr, "usage: quorvel-extract VOLUME xattr PATH [NAME]\n");
        return 1;
    }
    const std::string& path = args[0];
    if (args.size() == 2) {
        int size = hfs_get_xattr(vol, path, args[1], {});
        if (size < 0) {
            report_error(args[0] + ": " + args[1], size);
            return 1;
        }
        std::vector<char> value(static_cast<size_t>(size) + 1);
        size = hfs_get_xattr(vol, path, args[1], value);
        if (size < 0) {
            report_error(args[0] + ": " + args[1], size);
            return 1;
        }
        std::fwrite(value.data(), 1, static_cast<size_t>(size), stdout);
        return 0;
    }
    int size = hfs_list_xattrs(vol, path, {}, hfs_xattr_scope::every_item);
    if (size < 0) {
        report_error(args[0], size);
        return 1;
    }
    std::vector<char> names(static_cast<size_t>(size) + 1);
    size = hfs_list_xattrs(vol, path, names, hfs_xattr_scope::every_item);
    if (size < 0) {
        report_error(args[0], size);
        return 1;
    }
    for (size_t at = 0; at < static_cast<size_t>(size); at += std::strlen(&names[at]) + 1)
        std::printf("%s\n", printable(&names[at]).c_str());
    return 0;
}

constexpr extract_command commands[] = {
    {"ls", "ls [-l] [-R] [PATH]", "list a folder (the root by default)", command_ls},
    {"stat", "stat PATH", "show an item's attributes", command_stat},
    {"cat", "cat PATH...", "write files' contents to standard output", command_cat},
    {"xattr", "xattr PATH [NAME]", "list extended attributes, or write one's value", command_xattr},
    {"extract", "extract [PATH] DEST", "copy PATH (the whole volume by default) to DEST",
     command_extract},
    {"partitions", "partitions", "list the disk's partitions and the file system of each", nullptr,
     [](const hfs_options& options, const std::vector<std::string>& args, const extract_options&) {
         return command_partitions(options, args);
     }},
    {"disk", "disk",
     "write the whole disk a disk image (.dmg, .sparseimage,\n"
     "                           .sparsebundle) decodes to on standard output",
     nullptr,
     [](const hfs_options& options, const std::vector<std::string>& args,
        const extract_options& how) { return command_disk(options, args, how); }},
    {"journal", "journal [--json]",
     "show the journal: each pending transaction, its blocks and\n"
     "                           where a replay would stop",
     nullptr,
     [](const hfs_options& options, const std::vector<std::string>& args, const extract_options&) {
         return command_journal(options, args);
     }},
    {"verify", "verify", "decode a whole .dmg and check it against its checksums", nullptr,
     [](const hfs_options& options, const std::vector<std::string>& args, const extract_options&) {
         return command_verify(options, args);
     }},
};

} // namespace

std::span<const extract_command> extract_commands() {
    return commands;
}
