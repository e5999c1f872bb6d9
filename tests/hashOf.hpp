// SPDX-License-Identifier: MIT
#pragma once
// What every suite expects in field 2, from the installed header alone.

#include <initHashData/fieldHash.hpp>

#include <string>
#include <string_view>

namespace initHashData::testing {

// The text that replaces a field 2 of these bytes in the output.
inline std::string hashOf(std::string_view field2) { return std::string(renderHash(fieldHash(field2)).view()); }

} // namespace initHashData::testing
