// SPDX-License-Identifier: MIT
#pragma once
// Rendering user records that lie back to back in one block of input.

#include "fieldHash/hashText.hpp"
#include "fieldHash/murmurHash2.hpp"
#include "fieldHash/murmurHash2Lanes.hpp"
#include "fileIo/byteStream.hpp"
#include "userRecord/terminatorScanner.hpp"
#include "userRecord/userRecord.hpp"
#include <initHashData/fieldHash.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace initHashData {

// Writes to a ByteWriter the input of one block with fields replaced by hash
// texts. Bytes that go out as read are only marked and go out in one copy
// when the next field is replaced, so the bytes between two fields 2 (fields
// 3 and 4 and the next field 1) cost one copy. `width` is the size of the
// moves that copy.
template <std::size_t width> class RecordWriter {
public:
    [[gnu::always_inline]] RecordWriter(ByteWriter& out, const char* blockStart) noexcept
        : out_(out), to_(out.cursor()), roomEnd_(out.roomEnd()), drainPoint_(out.drainPoint()), pending_(blockStart),
          copyEnd_(blockStart)
    {
    }
    RecordWriter(const RecordWriter&) = delete;
    RecordWriter& operator=(const RecordWriter&) = delete;

    // The input from where the last copy or replaced field ended up to `end`
    // goes out as read.
    [[gnu::always_inline]] void copyThrough(const char* end) noexcept { copyEnd_ = end; }

    // `field`, which starts where the last copy ended, goes out as the
    // decimal text of `hash`.
    [[gnu::always_inline]] void replace(std::string_view field, std::uint32_t hash)
    {
        const auto span = static_cast<std::size_t>(copyEnd_ - pending_);
        // Room for the overrun of the copy and for the ten digits.
        if (span + copyAhead + 16 <= static_cast<std::size_t>(roomEnd_ - to_)) [[likely]] {
            to_ = copyOverrunning(to_, pending_, copyEnd_);
        } else {
            out_.handBack(to_);
            out_.append(std::string_view(pending_, span));
            to_ = out_.cursor();
        }
        to_ = writeHashText(to_, hash);
        if (to_ >= drainPoint_) {
            out_.handBack(to_);
            to_ = out_.cursor();
        }
        pending_ = copyEnd_ = field.data() + field.size();
    }

    // Copies the input up to `end` and hands everything to the ByteWriter; the
    // last call.
    void finish(const char* end)
    {
        out_.handBack(to_);
        out_.append(std::string_view(pending_, static_cast<std::size_t>(end - pending_)));
    }

private:
    // How many bytes a copy moves before it looks at the length: most spans
    // between two fields 2 are shorter.
    static constexpr std::size_t copyAhead = 96;
    static_assert(copyAhead % width == 0 && copyAhead < scanPadding);

    // Copies [from, to) in moves of `width` bytes, at least copyAhead of them,
    // which may write up to copyAhead - 1 bytes past the end and read as many
    // past `to`: both buffers have room for that.
    [[gnu::always_inline]] static char* copyOverrunning(char* out, const char* from, const char* to) noexcept
    {
#pragma GCC unroll 8
        for (std::size_t done = 0; done < copyAhead; done += width) {
            std::memcpy(out + done, from + done, width);
        }
        const auto length = static_cast<std::size_t>(to - from);
        for (std::size_t done = copyAhead; done < length; done += width) {
            std::memcpy(out + done, from + done, width);
        }
        return out + length;
    }

    ByteWriter& out_;
    // The writer's cursor is kept here, where no byte written can alias it.
    char* to_;
    const char* roomEnd_;
    const char* drainPoint_;
    const char* pending_; // input not yet copied out
    const char* copyEnd_; // where the input marked for copying ends
};

// Renders `record`: field 1, ":", the hash text of field 2, ":", field 3,
// ":", field 4, "\n". That is the record as read with field 2 replaced.
template <std::size_t width>
[[gnu::always_inline]] inline void writeUserRecord(const UserRecord& record, RecordWriter<width>& out)
{
    out.copyThrough(record.field2.data()); // field 1 and its colon
    out.replace(record.field2, murmurHash2Inline(record.field2.data(), record.field2.size(), hashSeed));
    // The colon, field 3, the colon, field 4 and the newline.
    out.copyThrough(record.field4.data() + record.field4.size() + 1);
}

#if INITHASHDATA_AVX2
// Renders the first `taken` records whose fields 2 `batch` holds, which lie
// back to back as every record does: a full batch of short fields is hashed
// at once in AVX2 lanes, any other one field at a time.
template <std::size_t width>
[[gnu::target("avx2")]] inline void writeUserRecords(const FieldBatch& batch, std::size_t taken,
                                                     RecordWriter<width>& out)
{
    std::array<std::uint32_t, FieldBatch::size> hashes;
    if (taken == FieldBatch::size && fitsLanes(batch)) [[likely]] {
        murmurHash2Lanes(batch, hashSeed, hashes);
    } else {
        for (std::size_t i = 0; i < taken; ++i) {
            hashes[i] = murmurHash2Inline(batch.starts[i], batch.lengths[i], hashSeed);
        }
    }
    for (std::size_t i = 0; i < taken; ++i) {
        out.copyThrough(batch.starts[i]); // from the last field 2 through this record's field 1
        out.replace(batch.field(i), hashes[i]);
    }
}
#endif

} // namespace initHashData
