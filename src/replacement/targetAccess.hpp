// SPDX-License-Identifier: MIT
#pragma once
// What the output's target lets the run do: write the file there, as open()
// would check, replace it, and make names beside it.

#include "fileIo/uniqueFd.hpp"
#include "pathWalk/pathWalk.hpp"
#include "replacement/decision.hpp"

namespace initHashData {

// Whether the directory is append-only or immutable, and would keep every
// name made in it; also where that cannot be learnt, as from a directory the
// process may not read and so holds by a path handle only.
[[nodiscard]] bool keepsEveryName(int directory);

// Whether a user other than this process's and root may add names to the
// directory, so that a name in it may be one that user chose; also where
// that cannot be told.
[[nodiscard]] bool othersMayAddNames(int directory);

// Whether the process may write the entry, by its effective ids, as open()
// would check; false with errno set where it may not.
[[nodiscard]] bool mayWrite(int directory, const char* entry, bool followLink);

// What the target's entry leads to, as target.existing last saw it.
[[nodiscard]] TargetKind kindOf(const OutputTarget& target);

// The file target.existing, opened for reading only where the entry still
// names it: an open for writing alone can change a file (XFS frees its room
// beyond the end, overlayfs copies it up), and the run may yet fail. None
// where it cannot be opened or another file took its place.
[[nodiscard]] UniqueFd openFoundFile(const OutputTarget& target);

} // namespace initHashData
