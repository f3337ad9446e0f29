#include "tests/support/builder.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>

namespace qtest {

std::string scratch() {
    std::filesystem::create_directories(QUORVEL_TEST_SCRATCH);
    return QUORVEL_TEST_SCRATCH;
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::optional<std::vector<uint8_t>> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<uint8_t> sample(const std::string& kind, size_t size, uint32_t seed) {
    std::vector<uint8_t> out(size);
    std::mt19937 gen(seed);
    if (kind == "random") {
        for (auto& b : out) b = static_cast<uint8_t>(gen());
        return out;
    }
    static const char* const words[] = {"volume ", "chunk ",     "extent ", "catalog ",
                                        "fork ",   "attribute ", "node ",   "leaf\n"};
    size_t at = 0;
    while (at < size) {
        const char* w = words[gen() % 8];
        for (; *w && at < size; ++w) out[at++] = static_cast<uint8_t>(*w);
    }
    return out;
}

std::optional<std::string> build(const std::string& name, const std::string& manifest,
                                 std::string* log) {
    const std::string dir = scratch();
    const std::string json = dir + "/" + name + ".json";
    const std::string image = dir + "/" + name + ".img";
    const std::string out = dir + "/" + name + ".log";
    write_file(json, std::vector<uint8_t>(manifest.begin(), manifest.end()));
    std::filesystem::remove(image);
    const std::string cmd = std::string("'") + QUORVEL_MKHFS + "' --quiet '" + json + "' '" +
                            image + "' > '" + out + "' 2>&1";
    const int rc = std::system(cmd.c_str());
    if (log) {
        auto text = read_file(out);
        *log = text ? std::string(text->begin(), text->end()) : std::string();
    }
    if (rc != 0 || !std::filesystem::exists(image)) return std::nullopt;
    return image;
}

int mount_image(const std::string& image, qtest::device& dev, hfslib_vol& vol) {
    dev.fd = ::open(image.c_str(), O_RDONLY);
    if (dev.fd < 0) return -1;
    return qtest::mount(dev, vol);
}

std::optional<std::string> extract_7z(const std::string& name, const std::string& image) {
    if (std::system("command -v 7zz > /dev/null 2>&1") != 0) return std::nullopt;
    const std::string dir = scratch() + "/" + name + ".7z";
    std::filesystem::remove_all(dir);
    const std::string cmd = "7zz x -y -o'" + dir + "' '" + image + "' > /dev/null 2>&1";
    // 7-Zip exits non-zero when it skips an item it cannot read; what it
    // did extract is still compared.
    (void)std::system(cmd.c_str());
    if (!std::filesystem::exists(dir)) return std::nullopt;
    return dir;
}

std::optional<std::vector<uint8_t>> icat(const std::string& image, uint32_t cnid) {
    if (std::system("command -v icat > /dev/null 2>&1") != 0) return std::nullopt;
    const std::string out = image + "." + std::to_string(cnid) + ".icat";
    const std::string cmd =
        "icat -f hfs '" + image + "' " + std::to_string(cnid) + " > '" + out + "' 2>/dev/null";
    if (std::system(cmd.c_str()) != 0) return std::nullopt;
    return read_file(out);
}

std::string to_utf8(const hfslib_uname& name) {
    std::string s;
    for (uint16_t i = 0; i < name.length; ++i) {
        const uint16_t u = name.units[i];
        if (u < 0x80) {
            s += static_cast<char>(u);
        } else if (u < 0x800) {
            s += static_cast<char>(0xC0 | (u >> 6));
            s += static_cast<char>(0x80 | (u & 0x3F));
        } else {
            s += static_cast<char>(0xE0 | (u >> 12));
            s += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (u & 0x3F));
        }
    }
    return s;
}

std::vector<uint16_t> units(const std::string& ascii) {
    return std::vector<uint16_t>(ascii.begin(), ascii.end());
}

} // namespace qtest
