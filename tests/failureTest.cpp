// SPDX-License-Identifier: MIT
#include "fileIo/failure.hpp"

#include <gtest/gtest.h>

namespace initHashData {
namespace {

TEST(Failure, QuoteNameEscapesControlBytesQuotesAndBackslashes)
{
    using namespace std::string_view_literals;
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"users.txt"sv, "'users.txt'"sv},
        {""sv, "''"sv},
        {"users.txt\r"sv, "'users.txt\\r'"sv},
        {"users.txt "sv, "'users.txt '"sv},
        {"a\tb\nc"sv, "'a\\tb\\nc'"sv},
        {"it's\\"sv, "'it\\'s\\\\'"sv},
        {"\x01\x7f"sv, "'\\x01\\x7f'"sv},
        {"b\xc3\xa4r"sv, "'b\xc3\xa4r'"sv},
        // C1 controls, raw or in UTF-8, and bidirectional overrides would steer the terminal.
        {"a\x9b"
         "2J"sv,
         "'a\\x9b2J'"sv},
        {"a\xc2\x9b"
         "2J"sv,
         "'a\\xc2\\x9b2J'"sv},
        {"txt.\xe2\x80\xae"
         "exe"sv,
         "'txt.\\xe2\\x80\\xaeexe'"sv},
        {"\xe2\x82\xac\xff\xc3"sv, "'\xe2\x82\xac\\xff\\xc3'"sv},
    };
    for (const auto& [name, expected] : cases) {
        EXPECT_EQ(quoteName(name), expected);
    }
}

} // namespace
} // namespace initHashData
