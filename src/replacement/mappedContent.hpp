// SPDX-License-Identifier: MIT
#pragma once
// Content held in memory, and the memory a run may take for it.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

namespace initHashData {

// The bytes of memory this process may still take without driving the
// system, or the memory cgroup it runs in or one above it, into the
// out-of-memory killer: the least of the system's MemAvailable and, for each
// cgroup with a memory limit (cgroup v2 or v1), the limit less what its
// members use and the kernel cannot reclaim (page cache aside).
[[nodiscard]] std::uint64_t freeMemory() noexcept;

// Content held in memory that the kernel counts as this process's own: an
// anonymous mapping, charged to it in the out-of-memory ranking as a file in
// memory is not, so that a shortage ends this process rather than a
// bystander. It grows only after freeMemory() says the growth fits, and
// answers ENOMEM instead.
class MappedContent {
public:
    MappedContent() noexcept = default;
    MappedContent(const MappedContent&) = delete;
    MappedContent& operator=(const MappedContent&) = delete;
    MappedContent(MappedContent&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0))
    {
    }
    MappedContent& operator=(MappedContent&& other) noexcept;
    ~MappedContent() { release(); }

    // Appends `bytes`; 0, or ENOMEM where memory is short, adding nothing.
    [[nodiscard]] int append(std::string_view bytes) noexcept;
    std::string_view view() const noexcept { return {data_, size_}; }
    void release() noexcept;

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

} // namespace initHashData
