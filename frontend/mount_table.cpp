#include "frontend/mount_table.h"

#include <fstream>
#include <sstream>

namespace {

// Undoes the octal escapes ("\040" for a space) of a path in
// /proc/self/mountinfo.
std::string unescape_mountinfo(const std::string& field) {
    auto octal = [](char c) { return c >= '0' && c <= '7'; };
    std::string path;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1]) &&
            octal(field[i + 2]) && octal(field[i + 3])) {
            path += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                      (field[i + 3] - '0'));
            i += 3;
        } else {
            path += field[i];
        }
    }
    return path;
}

} // namespace

std::optional<hfs_mount_entry> hfs_find_mount(std::string_view path) {
    std::ifstream mountinfo("/proc/self/mountinfo");
    std::string line;
    std::optional<hfs_mount_entry> found;
    while (std::getline(mountinfo, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        if (!(fields >> id >> parent >> device >> root >> point)) continue;
        if (unescape_mountinfo(point) != path) continue;
        std::string word, type, source;
        while (fields >> word && word != "-") {}
        fields >> type >> source;
        found = hfs_mount_entry{device, type, unescape_mountinfo(source)};
    }
    return found;
}

void hfs_raise_readahead(std::string_view path, unsigned kib) {
    const auto mount = hfs_find_mount(path);
    if (!mount || !mount->type.starts_with("fuse")) return;
    const std::string setting = "/sys/class/bdi/" + mount->device + "/read_ahead_kb";
    unsigned now = 0;
    if (std::ifstream current(setting); !(current >> now) || now >= kib) return;
    std::ofstream(setting) << kib << '\n';
}
