// SPDX-License-Identifier: MIT
// The records that span lines, as the record loop notes them.
#include "userRecord/userRecord.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace initHashData {

void LineNotes::note(std::uint64_t newlines, bool blank, bool blankAtEnd)
{
    if (newlines > 0) {
        if (named.size() < namedAtMost) {
            named.push_back({line, newlines, blank, blankAtEnd});
        }
        ++count;
    }
    line += newlines + 1;
}

void LineNotes::noteWholeRecords(std::string_view records)
{
    for (std::size_t start = 0; start < records.size();) {
        std::size_t colon = start;
        for (int field = 0; field < 3; ++field) {
            colon = records.find(':', colon) + 1;
        }
        const std::size_t newline = records.find('\n', colon);
        note(static_cast<std::uint64_t>(std::count(records.begin() + static_cast<std::ptrdiff_t>(start),
                                                   records.begin() + static_cast<std::ptrdiff_t>(colon), '\n')),
             records[start] == '\n');
        start = newline + 1;
    }
}

} // namespace initHashData
