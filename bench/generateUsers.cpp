// SPDX-License-Identifier: MIT
// Writes a deterministic, realistic user data file of about the given size
// (userRecords.hpp).
#include "userRecords.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: generateUsers BYTES FILE\n");
        return 2;
    }
    const auto target = std::strtoull(argv[1], nullptr, 10);
    std::FILE* out = std::fopen(argv[2], "wb");
    if (out == nullptr) {
        std::perror(argv[2]);
        return 1;
    }
    initHashData::bench::UserRecords records;
    std::string record;
    for (std::uint64_t written = 0; written < target; written += record.size()) {
        record.clear();
        records.appendNext(record);
        std::fwrite(record.data(), 1, record.size(), out);
    }
    return std::fclose(out) == 0 ? 0 : 1;
}
