// The libraries both programs are built with, for their version output.
#pragma once

#include <cstdio>

// Prints "Built with:" and one line per library the volume is read with
// (not FUSE, which only the mount uses), each line indented by four spaces,
// after `extra_lines` (the mount's FUSE lines, or null).
void hfs_print_library_versions(std::FILE* to, void (*extra_lines)(std::FILE*) = nullptr);
