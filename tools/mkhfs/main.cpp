// mkhfs: writes an HFS+ or HFSX volume image from a JSON manifest and/or an
// existing directory tree.
#include "from_dir.h"
#include "manifest.h"
#include "volume_builder.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

void usage(std::FILE* to) {
    std::fputs(
        "usage: mkhfs [options] MANIFEST.json OUTPUT.img\n"
        "       mkhfs [options] --from-dir DIR [MANIFEST.json] OUTPUT.img\n"
        "\n"
        "Writes an HFS+ or HFSX volume image described by a JSON manifest (see\n"
        "tools/mkhfs/README.md). With --from-dir the items of DIR are added to the\n"
        "root folder; the manifest, when given, supplies the volume options.\n"
        "\n"
        "options:\n"
        "  --from-dir DIR   take files, folders, links, devices and user.* xattrs from DIR\n"
        "  --hfsx           (with --from-dir and no manifest) make a case-sensitive HFSX volume\n"
        "  --name NAME      (with --from-dir and no manifest) volume name\n"
        "  --quiet          print nothing on success\n"
        "  -h, --help       show this text\n",
        to);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> positional;
    std::string from_dir, name;
    bool hfsx = false, quiet = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "--from-dir" && i + 1 < argc) {
            from_dir = argv[++i];
        } else if (a == "--name" && i + 1 < argc) {
            name = argv[++i];
        } else if (a == "--hfsx") {
            hfsx = true;
        } else if (a == "--quiet") {
            quiet = true;
        } else if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "mkhfs: unknown option %s\n", a.c_str());
            usage(stderr);
            return 2;
        } else {
            positional.push_back(a);
        }
    }
    const size_t want_min = from_dir.empty() ? 2 : 1;
    if (positional.size() < want_min || positional.size() > 2) {
        usage(stderr);
        return 2;
    }
    try {
        mkhfs::Manifest m;
        if (positional.size() == 2) {
            m = mkhfs::load_manifest(positional[0]);
        } else {
            m.volume.hfsx = hfsx;
            if (hfsx) m.volume.key_compare = 0xBC;
            m.volume.name =
                name.empty() ? std::filesystem::absolute(from_dir).filename().string() : name;
            if (m.volume.name.empty()) m.volume.name = "untitled";
            m.root.kind = mkhfs::Kind::folder;
            m.volume.create = m.volume.modify = m.volume.check = 3786825600u; // 2024-01-01
        }
        if (!from_dir.empty()) {
            auto items = mkhfs::items_from_directory(from_dir);
            for (auto& it : items) m.root.children.push_back(std::move(it));
        }
        auto s = mkhfs::build_volume(m, positional.back());
        if (!quiet)
            std::printf(
                "%s: %llu bytes, %u blocks (%u free), %u files, %u folders, catalog depth %u\n",
                positional.back().c_str(), static_cast<unsigned long long>(s.image_bytes),
                s.total_blocks, s.free_blocks, s.files, s.folders, s.catalog_depth);
        return 0;
    } catch (const mkhfs::ManifestError& e) {
        std::fprintf(stderr, "mkhfs: bad manifest: %s\n", e.what());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mkhfs: %s\n", e.what());
        return 1;
    }
}
