// SPDX-License-Identifier: MIT
#include "replacement/mappedContent.hpp"

#include "fileIo/procFile.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace initHashData {

namespace {

constexpr std::uint64_t unlimited = std::numeric_limits<std::uint64_t>::max();
constexpr std::size_t mebibyte = std::size_t{1} << 20;
// What is left for others after a growth: room for their next allocations,
// and for the page cache that keeps the system from thrashing.
constexpr std::uint64_t margin = std::uint64_t{64} * mebibyte;
// The most a growth adds at once, so that memory is checked as it is taken.
constexpr std::size_t largestGrowth = 64 * mebibyte;

// A number alone in a cgroup file: "max", an empty file or none read as unlimited.
std::uint64_t cgroupNumber(const std::string& path)
{
    const std::string text = readSmallFile(path);
    return text.empty() || text[0] < '0' || text[0] > '9' ? unlimited : std::strtoull(text.c_str(), nullptr, 10);
}

// What a cgroup with `limit` and `used` bytes, of which `cached` are page
// cache, has free.
std::uint64_t freeUnder(std::uint64_t limit, std::uint64_t used, std::uint64_t cached)
{
    if (limit == unlimited) {
        return unlimited;
    }
    const std::uint64_t kept = used - std::min(used, cached);
    return limit - std::min(limit, kept);
}

// The cgroup v2 path of this process, or that of its v1 memory controller,
// from /proc/self/cgroup; `v2` says which.
std::string cgroupPath(bool& v2)
{
    const std::string text = readSmallFile("/proc/self/cgroup");
    std::string unified;
    for (std::size_t begin = 0; begin < text.size();) {
        std::size_t end = text.find('\n', begin);
        end = end == std::string::npos ? text.size() : end;
        const std::string_view line(text.data() + begin, end - begin);
        begin = end + 1;
        const std::size_t first = line.find(':');
        const std::size_t second = line.find(':', first + 1);
        if (first == std::string_view::npos || second == std::string_view::npos) {
            continue;
        }
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string_view path = line.substr(second + 1);
        if (controllers.empty()) {
            unified = path;
        }
        for (std::size_t at = 0; at <= controllers.size();) {
            std::size_t comma = controllers.find(',', at);
            comma = comma == std::string_view::npos ? controllers.size() : comma;
            if (controllers.substr(at, comma - at) == "memory") {
                v2 = false;
                return std::string(path);
            }
            at = comma + 1;
        }
    }
    v2 = true;
    return unified;
}

// What this process's memory cgroups have free, the tightest first.
std::uint64_t cgroupFree()
{
    bool v2 = true;
    std::string path = cgroupPath(v2);
    if (path.empty() || path[0] != '/') {
        return unlimited;
    }
    // Each ancestor's limit holds too, over what all its members use, up to
    // the root, which has none (in a cgroup namespace, the root seen is the
    // container's own group). Page cache can be reclaimed: it counts as free.
    const std::string mount = v2 ? "/sys/fs/cgroup" : "/sys/fs/cgroup/memory";
    std::uint64_t least = unlimited;
    for (;; path.erase(std::max<std::size_t>(path.rfind('/'), 1))) {
        const std::string group = mount + (path == "/" ? std::string() : path);
        const std::uint64_t limit =
            v2 ? std::min(cgroupNumber(group + "/memory.max"), cgroupNumber(group + "/memory.high"))
               : cgroupNumber(group + "/memory.limit_in_bytes");
        if (limit != unlimited) {
            const std::string stat = readSmallFile(group + "/memory.stat");
            const std::string_view prefix = v2 ? "" : "total_";
            least = std::min(least,
                             freeUnder(limit, cgroupNumber(group + (v2 ? "/memory.current" : "/memory.usage_in_bytes")),
                                       valueAfter(stat, std::string(prefix) + "inactive_file ", 1, 0) +
                                           valueAfter(stat, std::string(prefix) + "active_file ", 1, 0)));
        }
        if (path == "/") {
            return least;
        }
    }
}

std::size_t pageRounded(std::size_t size)
{
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return (size + page - 1) / page * page;
}

} // namespace

std::uint64_t freeMemory() noexcept
{
    try {
        const std::uint64_t system = valueAfter(readSmallFile("/proc/meminfo"), "MemAvailable:", 1024, unlimited);
        return std::min(system, cgroupFree());
    } catch (...) {
        return 0; // no memory even to ask
    }
}

MappedContent& MappedContent::operator=(MappedContent&& other) noexcept
{
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

int MappedContent::append(std::string_view bytes) noexcept
{
    if (bytes.empty()) {
        return 0; // nothing to copy, and perhaps no mapping yet to copy to
    }
    if (bytes.size() > capacity_ - size_) {
        const std::size_t needed = bytes.size() - (capacity_ - size_);
        const std::size_t growth =
            pageRounded(std::max(needed, std::min(std::max(capacity_, mebibyte), largestGrowth)));
        if (growth > std::numeric_limits<std::size_t>::max() - capacity_ || freeMemory() < growth + margin) {
            return ENOMEM;
        }
        void* grown = data_ == nullptr
                          ? ::mmap(nullptr, growth, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                          : ::mremap(data_, capacity_, capacity_ + growth, MREMAP_MAYMOVE);
        if (grown == MAP_FAILED) {
            return ENOMEM;
        }
        data_ = static_cast<char*>(grown);
        capacity_ += growth;
    }
    std::memcpy(data_ + size_, bytes.data(), bytes.size());
    size_ += bytes.size();
    return 0;
}

void MappedContent::release() noexcept
{
    if (data_ != nullptr) {
        ::munmap(data_, capacity_);
    }
    data_ = nullptr;
    size_ = capacity_ = 0;
}

} // namespace initHashData
