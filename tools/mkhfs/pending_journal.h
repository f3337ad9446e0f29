// A volume whose journal holds pending transactions: S0 (the manifest's
// journal.pending.before) on disk, and the transactions that turn it into
// S1 (the manifest's own items) in the journal.
#pragma once

#include "volume_builder.h"

namespace mkhfs {

// Builds both states, puts S0 on disk with S1's new file contents in blocks
// S0 leaves free (file contents are not journaled), and journals every
// metadata block of S1 that differs. Throws std::runtime_error.
BuildSummary build_pending_journal(const Manifest& m, const std::filesystem::path& output);

} // namespace mkhfs
