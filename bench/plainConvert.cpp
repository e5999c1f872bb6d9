// SPDX-License-Identifier: MIT
// The plain design the tool is measured against: iostreams, std::getline per
// field, std::string fields, the whole converted text held in memory and
// written at the end. Same input, same output bytes.
#include <initHashData/fieldHash.hpp>

#include <fstream>
#include <iostream>
#include <string>

int main()
{
    std::string name;
    std::getline(std::cin, name);
    std::ifstream in(name, std::ios::binary);
    std::string converted;
    std::string field1;
    std::string field2;
    std::string field3;
    std::string field4;
    while (true) {
        field1.clear();
        field2.clear();
        field3.clear();
        field4.clear();
        if (!std::getline(in, field1, ':')) {
            break;
        }
        std::getline(in, field2, ':') && std::getline(in, field3, ':') && std::getline(in, field4, '\n');
        converted += field1;
        converted += ':';
        converted += std::to_string(initHashData::fieldHash(field2));
        converted += ':';
        converted += field3;
        converted += ':';
        converted += field4;
        converted += '\n';
    }
    std::ofstream("userData.txt", std::ios::binary | std::ios::trunc) << converted;
}
