// SPDX-License-Identifier: MIT
#pragma once
// Deterministic, realistic user records, for the benchmarks: user names,
// passwords of 6 to 24 printable characters, a name and e-mail field, and a
// role, id and home field.

#include <cstddef>
#include <cstdint>
#include <string>

namespace initHashData::bench {

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

// The records, in order, from the first; the same on every run.
class UserRecords {
public:
    // Appends the next record to `out`.
    void appendNext(std::string& out)
    {
        const std::string first = pick(random_, firstNames);
        const std::string last = pick(random_, lastNames);
        const std::string user = first.substr(0, 1) + last + std::to_string(id_);
        out += user + ':';
        for (std::size_t n = 6 + random_.below(19); n > 0; --n) {
            out += passwordBytes[random_.below(sizeof passwordBytes - 1)];
        }
        out += ':';
        out += first + ' ' + last + " <" + first + '.' + last + std::to_string(id_ % 1000) + "@example.org>";
        out += ':';
        out += std::string(pick(random_, roles)) + ',' + std::to_string(10000 + id_) + ",/home/" + user + '\n';
        ++id_;
    }

private:
    Random random_;
    std::uint64_t id_ = 0;
};

} // namespace initHashData::bench
