// SPDX-License-Identifier: MIT
#pragma once
// The hidden names a temporary file beside the target takes while it is
// linked there, and the removal of the staging files that ended runs left
// under them.

#include <string>

namespace initHashData {

// How many staging names of a user's are the same in every run, so that a
// later run finds those a killed run left without reading the directory; the
// names drawn after them are random.
inline constexpr int stagingSlots = 4;

// A hidden name beside `entry`, ".<entry>.<16 hex digits>", the entry cut
// short where the whole would be too long a name: this user's slot
// `attempt`, or at random once the slots are taken.
[[nodiscard]] std::string stagingName(const std::string& entry, int attempt);

// Removes the staging files beside `entry` in `directory` that runs of this
// user's which have ended left under the slots' names, but not `own`, the
// name of this run's file.
void removeLeftOvers(int directory, const std::string& entry, const std::string& own);

} // namespace initHashData
