// Describes an existing directory tree as manifest items, so that a volume can
// be made from it.
#pragma once

#include "manifest.h"

#include <filesystem>

namespace mkhfs {

// Files refer to their source files (read at build time), symbolic links keep
// their targets, devices and FIFOs their numbers; modes, owners, dates and
// extended attributes are taken over.
std::vector<Item> items_from_directory(const std::filesystem::path& dir);

} // namespace mkhfs
