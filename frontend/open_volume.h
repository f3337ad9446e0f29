// Opening a volume for serving, shared by quorvel and quorvel-extract: the
// checks of the options, the library's hooks, the volume and its journal,
// with the same messages and exit statuses in both programs.
#pragma once

#include "access/options.h"
#include "libhfs/libhfs.h"

// Checks what the options name beyond their syntax (the suffix, the ranges
// of the numbers, the partition). 0 when they can be used, else the exit
// status (1) after a message.
int hfs_check_options(const hfs_options& options);

// Installs the device hooks and opens the volume named by the options into
// `vol`. Returns 0, or the exit status after the message: the error number
// when the volume cannot be opened (with a line saying what the file is
// when that explains it: a folder, a compressed file, an Apple disk image,
// a file too small), 5 when its journal is dirty and not forced, EIO when
// its root folder cannot be read.
int hfs_open_volume(hfs_options& options, hfslib_vol& vol);
