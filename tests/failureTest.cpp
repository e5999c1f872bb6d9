// SPDX-License-Identifier: MIT
#include "fileIo/failure.hpp"

#include <gtest/gtest.h>

namespace initHashData {
namespace {

TEST(Failure, QuoteNameEscapesControlBytesQuotesAndBackslashes)
{
    using namespace std::string_view_literals;
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"users.txt"sv, "'users.txt'"sv},      {""sv, "''"sv},
        {"users.txt\r"sv, "'users.txt\\r'"sv}, {"users.txt "sv, "'users.txt '"sv},
        {"a\tb\nc"sv, "'a\\tb\\nc'"sv},        {"it's\\"sv, "'it\\'s\\\\'"sv},
        {"\x01\x7f"sv, "'\\x01\\x7f'"sv},      {"b\xc3\xa4r"sv, "'b\xc3\xa4r'"sv},
    };
    for (const auto& [name, expected] : cases) {
        EXPECT_EQ(quoteName(name), expected);
    }
}

} // namespace
} // namespace initHashData
