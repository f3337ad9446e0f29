// mkhfs: writes an HFS+ or HFSX volume image from a JSON manifest and/or an
// existing directory tree.
#include "container.h"
#include "disk.h"
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
        "  --container FORMAT    wrap the output: raw (no container), udif, sparseimage,\n"
        "                        sparsebundle (OUTPUT is then a folder)\n"
        "  --partition-map MAP   none (the volume alone) or gpt (a partitioned disk)\n"
        "  --encoding ENC        UDIF runs: raw, zlib, bzip2 or lzma\n"
        "  --quiet          print nothing on success\n"
        "  -h, --help       show this text\n",
        to);
}

// A file removed when the scope ends.
struct TempFile {
    explicit TempFile(std::filesystem::path p) : path(std::move(p)) {}
    ~TempFile() {
        std::error_code ec;
        std::filesystem::remove(path, ec);
    }
    std::filesystem::path path;
};

void print_summary(const std::filesystem::path& image, const mkhfs::BuildSummary& s) {
    std::printf("%s: %llu bytes, %u blocks (%u free), %u files, %u folders, catalog depth %u\n",
                image.c_str(), static_cast<unsigned long long>(s.image_bytes), s.total_blocks,
                s.free_blocks, s.files, s.folders, s.catalog_depth);
}

// Command-line choices override the manifest's "container".
bool apply_container_options(mkhfs::Container& c, const std::string& format, const std::string& map,
                             const std::string& encoding) {
    using C = mkhfs::Container;
    if (format == "raw")
        c.format = C::Format::raw;
    else if (format == "udif")
        c.format = C::Format::udif;
    else if (format == "sparseimage")
        c.format = C::Format::sparseimage;
    else if (format == "sparsebundle")
        c.format = C::Format::sparsebundle;
    else if (!format.empty())
        return std::fprintf(stderr, "mkhfs: unknown container %s\n", format.c_str()), false;
    if (map == "gpt" || map == "none")
        c.gpt = map == "gpt";
    else if (!map.empty())
        return std::fprintf(stderr, "mkhfs: unknown partition map %s\n", map.c_str()), false;
    if (encoding == "raw")
        c.encoding = C::Encoding::raw;
    else if (encoding == "zlib")
        c.encoding = C::Encoding::zlib;
    else if (encoding == "bzip2")
        c.encoding = C::Encoding::bzip2;
    else if (encoding == "lzma")
        c.encoding = C::Encoding::lzma;
    else if (!encoding.empty())
        return std::fprintf(stderr, "mkhfs: unknown encoding %s\n", encoding.c_str()), false;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> positional;
    std::string from_dir, name, container, partition_map, encoding;
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
        } else if (a == "--container" && i + 1 < argc) {
            container = argv[++i];
        } else if (a == "--partition-map" && i + 1 < argc) {
            partition_map = argv[++i];
        } else if (a == "--encoding" && i + 1 < argc) {
            encoding = argv[++i];
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
        if (!apply_container_options(m.container, container, partition_map, encoding)) {
            usage(stderr);
            return 2;
        }
        const std::filesystem::path output = positional.back();
        const auto& c = m.container;
        if (c.format == mkhfs::Container::Format::raw && !c.gpt) {
            auto s = mkhfs::build_volume(m, output);
            if (!quiet) print_summary(output, s);
            return 0;
        }
        // The volume is made first, then read back into the container.
        TempFile volume(output.string() + ".mkhfs-volume");
        auto s = mkhfs::build_volume(m, volume.path);
        mkhfs::Disk disk(c, volume.path, m.volume.hfsx);
        auto cs = mkhfs::write_container(c, disk, output);
        if (!quiet) {
            print_summary("volume", s);
            using F = mkhfs::Container::Format;
            static const char* formats[] = {"raw disk", "UDIF", "sparse image", "sparse bundle"};
            std::printf("%s: %s of a %llu-byte disk%s", output.c_str(), formats[int(c.format)],
                        static_cast<unsigned long long>(disk.bytes()), c.gpt ? " (GPT)" : "");
            if (c.format != F::raw)
                std::printf(", %llu bytes in %llu %s",
                            static_cast<unsigned long long>(cs.output_bytes),
                            static_cast<unsigned long long>(cs.pieces),
                            c.format == F::udif ? "runs" : "bands");
            std::printf("\n");
        }
        return 0;
    } catch (const mkhfs::ManifestError& e) {
        std::fprintf(stderr, "mkhfs: bad manifest: %s\n", e.what());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mkhfs: %s\n", e.what());
        return 1;
    }
}
