// The mount options as a table of templates, without FUSE's types: what
// quorvel-extract reads with its own parser (quorvel hands the same entries
// to FUSE's parser as hfs_opts).
#pragma once

#include <span>

// "name" sets the int field at `offset` to `value`; "name=%conv" converts a
// value into the field at `offset` as the conversion says.
struct hfs_option_template {
    const char* templ;
    unsigned long offset;
    int value;
};

// The entries of hfs_opts that set a field of hfs_options.
std::span<const hfs_option_template> hfs_option_templates();
