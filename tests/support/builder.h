// Builder volumes for the attribute and compressed-file tests: writes a
// manifest and its data files into the test scratch folder, runs mkhfs, and
// mounts the result; plus extraction with 7-Zip for comparison.
#pragma once

#include "libhfs/libhfs.h"
#include "tests/support/volume.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qtest {

std::string scratch();
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);
std::optional<std::vector<uint8_t>> read_file(const std::string& path);

// Deterministic bytes: `kind` "random" (incompressible) or "text".
std::vector<uint8_t> sample(const std::string& kind, size_t size, uint32_t seed = 1);

// Runs mkhfs on `manifest` (JSON text) as scratch()/NAME.json, writing
// scratch()/NAME.img; the image path, or nullopt (with the tool's output in
// `log`) when the builder fails.
std::optional<std::string> build(const std::string& name, const std::string& manifest,
                                 std::string* log = nullptr);

// Opens the image into dev (file-backed) and mounts it; 0 on success.
int mount_image(const std::string& image, qtest::device& dev, hfslib_vol& vol);

// Extracts the image with `7zz x` into scratch()/NAME.7z; the folder, or
// nullopt when 7-Zip is absent or fails.
std::optional<std::string> extract_7z(const std::string& name, const std::string& image);

// The data of `cnid` as The Sleuth Kit's icat reads it (decompressed for
// the decmpfs types it knows); nullopt when icat is absent or fails.
std::optional<std::vector<uint8_t>> icat(const std::string& image, uint32_t cnid);

std::string to_utf8(const hfslib_uname& name);
std::vector<uint16_t> units(const std::string& ascii);

} // namespace qtest
