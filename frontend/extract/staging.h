// Private folders in which extract makes each new folder, FIFO, socket,
// device node and symbolic link, and gives it its owner, mode, times and
// attributes, before renaming it into place. Only the extractor can write in
// them, so every change of metadata reaches the item it made, even when
// someone else can write in the destination and replaces names there at any
// moment.
#pragma once

#include "frontend/extract/unique_fd.h"

#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <vector>

class staging_area {
public:
    staging_area() = default;
    ~staging_area();
    staging_area(const staging_area&) = delete;
    staging_area& operator=(const staging_area&) = delete;

    // A staging folder on the file system of `folder` (so that rename works),
    // made in `folder` when that file system has none yet; -1 with errno set.
    int folder_for(int folder);
    // A name no item in a staging folder has yet.
    std::string new_name();
    // Whether `st` describes one of the staging folders.
    bool holds(const struct stat& st) const;
    // Removes the staging folders (empty by then); false with `error` naming
    // one that could not be removed.
    bool remove(std::string& error);

private:
    struct area {
        dev_t dev;
        ino_t ino;
        unique_fd parent; // the folder it was made in
        std::string name;
        unique_fd fd;
    };
    std::vector<area> areas_;
    uint64_t made_ = 0;
};
