// SPDX-License-Identifier: MIT
// Writes a deterministic, realistic user data file of about the given size:
// user names, passwords of 6 to 24 printable characters, a name and e-mail
// field, and a role, id and home field.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

class Random {
public:
    std::uint64_t next()
    {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return state_;
    }
    std::size_t below(std::size_t bound) { return static_cast<std::size_t>(next() % bound); }

private:
    std::uint64_t state_ = 0x9e3779b97f4a7c15ULL;
};

constexpr const char* firstNames[] = {"alice", "bob",  "carol",   "dave", "erin",   "frank", "grace",  "heidi",
                                      "ivan",  "judy", "mallory", "niaj", "olivia", "peggy", "rupert", "sybil"};
constexpr const char* lastNames[] = {"smith",  "jones",    "taylor", "brown",    "williams", "wilson", "johnson",
                                     "davies", "robinson", "wright", "thompson", "evans",    "walker", "white"};
constexpr const char* roles[] = {"admin", "staff", "guest", "operator", "auditor", "developer"};
// Printable ASCII without the field terminator.
constexpr char passwordBytes[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789!#$%&*+-./;<=>?@[]^_{|}~";

template <std::size_t N> const char* pick(Random& random, const char* const (&names)[N])
{
    return names[random.below(N)];
}

} // namespace

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
    Random random;
    std::string record;
    std::uint64_t written = 0;
    for (std::uint64_t id = 0; written < target; ++id) {
        const std::string first = pick(random, firstNames);
        const std::string last = pick(random, lastNames);
        const std::string user = first.substr(0, 1) + last + std::to_string(id);
        record = user + ':';
        for (std::size_t n = 6 + random.below(19); n > 0; --n) {
            record += passwordBytes[random.below(sizeof passwordBytes - 1)];
        }
        record += ':';
        record += first + ' ' + last + " <" + first + '.' + last + std::to_string(id % 1000) + "@example.org>";
        record += ':';
        record += std::string(pick(random, roles)) + ',' + std::to_string(10000 + id) + ",/home/" + user + '\n';
        written += record.size();
        std::fwrite(record.data(), 1, record.size(), out);
    }
    return std::fclose(out) == 0 ? 0 : 1;
}
