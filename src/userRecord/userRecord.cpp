// SPDX-License-Identifier: MIT
#include "userRecord/userRecord.hpp"

#include "fileIo/failure.hpp"
#include <initHashData/fieldHash.hpp>

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace initHashData {

namespace {

// memcpy for the short pieces of a record, inline: most user names and hash
// texts are 8 to 16 bytes, which two overlapping 8-byte moves cover.
char* copyBytes(char* to, std::string_view bytes) noexcept
{
    const std::size_t n = bytes.size();
    if (n >= 8 && n <= 16) {
        std::memcpy(to, bytes.data(), 8);
        std::memcpy(to + n - 8, bytes.data() + n - 8, 8);
    } else {
        std::memcpy(to, bytes.data(), n);
    }
    return to + n;
}

void appendHashOf(std::string_view field2, ByteWriter& out) { out.append(renderHash(fieldHash(field2)).view()); }

enum class FieldEnd { terminator, endOfInput };

// Hands the bytes of the current field, up to `terminator`, to `take` in one or
// more pieces and consumes the terminator.
template <class Take> FieldEnd streamField(ByteReader& in, char terminator, Take take)
{
    for (;;) {
        const std::string_view block = in.buffered();
        if (const void* hit = std::memchr(block.data(), terminator, block.size())) {
            const auto length = static_cast<std::size_t>(static_cast<const char*>(hit) - block.data());
            take(block.substr(0, length));
            in.consume(length + 1);
            return FieldEnd::terminator;
        }
        take(block);
        in.consume(block.size());
        if (!in.refill()) {
            return FieldEnd::endOfInput;
        }
    }
}

// memchr, with the first 16 bytes probed inline: user names and passwords
// mostly end there, and then no library call is made.
const char* findByte(const char* from, const char* end, char byte) noexcept
{
#if defined(__SSE2__)
    if (end - from >= 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
        const auto hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, _mm_set1_epi8(byte))));
        if (hits != 0) {
            return from + std::countr_zero(hits);
        }
        from += 16;
    }
#endif
    return static_cast<const char*>(std::memchr(from, byte, static_cast<std::size_t>(end - from)));
}

// The record lies wholly in the current block: the common case, served
// without copying field 2.
bool tryWholeRecord(ByteReader& in, ByteWriter& out)
{
    const std::string_view block = in.buffered();
    const char* const start = block.data();
    const char* const end = start + block.size();
    const char* cut[4];
    const char* from = start;
    for (int i = 0; i < 4; ++i) {
        const char terminator = i < 3 ? ':' : '\n';
        cut[i] = findByte(from, end, terminator);
        if (cut[i] == nullptr) {
            return false;
        }
        from = cut[i] + 1;
    }
    const auto offset = [start](const char* at) { return static_cast<std::size_t>(at - start); };
    writeUserRecord({block.substr(0, offset(cut[3])), offset(cut[0]) + 1, offset(cut[1])}, out);
    in.consume(static_cast<std::size_t>(from - start));
    return true;
}

} // namespace

void writeUserRecord(const UserRecord& record, ByteWriter& out)
{
    const HashText hash = renderHash(fieldHash(record.field2()));
    const std::string_view digits = hash.view();
    const std::string_view head(record.text.data(), record.field2Begin);
    const std::string_view tail(record.text.data() + record.field2End, record.text.size() - record.field2End);
    char* p = out.reserve(head.size() + digits.size() + tail.size() + 1);
    if (p == nullptr) {
        out.append(head);
        out.append(digits);
        out.append(tail);
        out.put('\n');
        return;
    }
    p = copyBytes(p, head);
    p = copyBytes(p, digits);
    p = copyBytes(p, tail);
    *p++ = '\n';
    out.commit(p);
}

bool readUserRecord(ByteReader& in, ByteWriter& out, std::string& field2, std::uint64_t field2Limit)
{
    if (in.buffered().empty() && !in.refill()) {
        return false;
    }
    if (tryWholeRecord(in, out)) {
        return true;
    }

    // The record spans blocks, or the input ends inside it: each field that the
    // input reaches is streamed, the ones it does not reach stay empty.
    const auto copy = [&out](std::string_view piece) { out.append(piece); };
    FieldEnd end = streamField(in, ':', copy);
    out.put(':');

    field2.clear();
    if (end == FieldEnd::terminator) {
        end = streamField(in, ':', [&](std::string_view piece) {
            if (piece.size() > field2Limit - field2.size()) {
                throw Failure("cannot convert " + quoteName(in.name()) +
                              ": a record's second field is too long to hash (4 GiB or more)");
            }
            field2.append(piece);
        });
    }
    appendHashOf(field2, out);
    out.put(':');

    if (end == FieldEnd::terminator) {
        end = streamField(in, ':', copy);
    }
    out.put(':');
    if (end == FieldEnd::terminator) {
        streamField(in, '\n', copy);
    }
    out.put('\n');
    return true;
}

} // namespace initHashData
