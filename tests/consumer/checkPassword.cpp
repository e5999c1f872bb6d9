// SPDX-License-Identifier: MIT
#include <initHashData/fieldHash.hpp>

#include <iostream>
#include <string>

// Prints the field 2 text of each argument, as userData.txt would hold it.
int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        std::cout << initHashData::renderHash(initHashData::fieldHash(std::string(argv[i]))).view() << '\n';
    }
}
