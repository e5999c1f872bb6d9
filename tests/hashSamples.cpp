// SPDX-License-Identifier: MIT
// Prints passwords of every length from 0 to 40, of any bytes (NUL, bytes above
// 0x7f, text that is not UTF-8), one a line: the bytes in hex, a space, and
// their field 2 text, for checkers in other languages to be held to.
#include <initHashData/fieldHash.hpp>

#include <cstdio>
#include <random>
#include <string>

int main()
{
    constexpr int maxLength = 40;
    constexpr int perLength = 30;
    std::mt19937 generator(20261209U); // fixed, so that a failure repeats
    std::uniform_int_distribution<int> byte(0, 255);
    std::string password;
    for (int i = 0; i < (maxLength + 1) * perLength; ++i) {
        password.clear();
        for (int j = 0; j < i % (maxLength + 1); ++j) {
            password.push_back(static_cast<char>(byte(generator)));
        }
        for (const char c : password) {
            std::printf("%02x", static_cast<unsigned>(static_cast<unsigned char>(c)));
        }
        const std::string text(initHashData::renderHash(initHashData::fieldHash(password)).view());
        std::printf(" %s\n", text.c_str());
    }
}
