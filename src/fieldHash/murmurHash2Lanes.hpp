// SPDX-License-Identifier: MIT
#pragma once
// murmurHash2 of eight short fields at once, one field in each 32-bit lane of
// AVX2, for the record loop: the same hash as murmurHash2Inline, bit for bit,
// at about a quarter of its instructions a field.

#include "fieldHash/instructionSets.hpp"
#include "fieldHash/murmurHash2.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

namespace initHashData {

// Up to eight fields, in the order their records are written. Each is read
// in the lanes as the 32 bytes from its start, past its end: the caller
// keeps those bytes readable (the record loop's block is padded for its scan).
struct alignas(32) FieldBatch {
    static constexpr std::size_t size = 8;
    // The longest field the lanes take: its last word and tail lie in the 32
    // bytes read. A batch with a longer one is hashed one field at a time.
    static constexpr std::size_t laneBytes = 32;

    std::array<std::size_t, size> lengths;
    std::array<const char*, size> starts;

    [[gnu::always_inline]] void put(std::size_t lane, std::string_view field) noexcept
    {
        starts[lane] = field.data();
        lengths[lane] = field.size();
    }
    std::string_view field(std::size_t lane) const noexcept { return {starts[lane], lengths[lane]}; }
};

#if INITHASHDATA_AVX2

namespace lanes {

// One vector per field as loaded, one per word once transposed.
using Words = __m256i[FieldBatch::size];

[[gnu::target("avx2")]] inline __m256i times(__m256i a, __m256i b) noexcept { return _mm256_mullo_epi32(a, b); }

// Eight rows of eight words become eight columns: word j of every field in
// one vector, field i in lane i.
[[gnu::target("avx2")]] inline void transpose(Words& w) noexcept
{
    Words t;
    for (std::size_t i = 0; i < FieldBatch::size; i += 2) {
        t[i] = _mm256_unpacklo_epi32(w[i], w[i + 1]);
        t[i + 1] = _mm256_unpackhi_epi32(w[i], w[i + 1]);
    }
    for (std::size_t i = 0; i < FieldBatch::size; i += 4) {
        w[i] = _mm256_unpacklo_epi64(t[i], t[i + 2]);
        w[i + 1] = _mm256_unpackhi_epi64(t[i], t[i + 2]);
        w[i + 2] = _mm256_unpacklo_epi64(t[i + 1], t[i + 3]);
        w[i + 3] = _mm256_unpackhi_epi64(t[i + 1], t[i + 3]);
    }
    // Now w[j], j below 4, holds word j of fields 0 to 3 in its low half and
    // word j + 4 in its high half; w[j + 4] the same of fields 4 to 7.
    for (std::size_t j = 0; j < 4; ++j) {
        t[j] = _mm256_permute2x128_si256(w[j], w[j + 4], 0x20);
        t[j + 4] = _mm256_permute2x128_si256(w[j], w[j + 4], 0x31);
    }
    std::copy(std::begin(t), std::end(t), std::begin(w));
}

// The eight lengths as 32-bit lanes; each is below laneBytes.
[[gnu::target("avx2")]] inline __m256i lengthsOf(const FieldBatch& batch) noexcept
{
    const __m256i low = _mm256_load_si256(reinterpret_cast<const __m256i*>(batch.lengths.data()));
    const __m256i high = _mm256_load_si256(reinterpret_cast<const __m256i*>(batch.lengths.data() + 4));
    const __m256 packed = _mm256_shuffle_ps(_mm256_castsi256_ps(low), _mm256_castsi256_ps(high), 0x88);
    return _mm256_permute4x64_epi64(_mm256_castps_si256(packed), 0xd8);
}

} // namespace lanes

// Whether every field of a full batch fits the lanes.
[[gnu::target("avx2")]] inline bool fitsLanes(const FieldBatch& batch) noexcept
{
    const auto* lengths = reinterpret_cast<const __m256i*>(batch.lengths.data());
    const __m256i either = _mm256_or_si256(_mm256_load_si256(lengths), _mm256_load_si256(lengths + 1));
    return _mm256_testz_si256(either, _mm256_set1_epi64x(-std::int64_t{FieldBatch::laneBytes})) != 0;
}

// murmurHash2Inline of each field of a full batch that fits the lanes, field
// i in lane i, into hashes[i]. Every lane runs every step; a step that is not
// its own (a block past its field, the tail) leaves its state as it was by a
// blend, where one field at a time would branch.
[[gnu::target("avx2")]] inline void murmurHash2Lanes(const FieldBatch& batch, std::uint32_t seed,
                                                     std::array<std::uint32_t, FieldBatch::size>& hashes) noexcept
{
    lanes::Words words;
    for (std::size_t i = 0; i < FieldBatch::size; ++i) {
        words[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(batch.starts[i]));
    }
    lanes::transpose(words);

    const __m256i m = _mm256_set1_epi32(static_cast<int>(murmur::multiplier));
    const __m256i lengths = lanes::lengthsOf(batch);
    const __m256i blocks = _mm256_srli_epi32(lengths, 2);
    __m256i h = _mm256_xor_si256(_mm256_set1_epi32(static_cast<int>(seed)), lengths);
    __m256i tail = _mm256_setzero_si256();
    for (std::size_t j = 0; j < FieldBatch::size; ++j) {
        const __m256i index = _mm256_set1_epi32(static_cast<int>(j));
        // The word after a field's last block holds its tail.
        tail = _mm256_blendv_epi8(tail, words[j], _mm256_cmpeq_epi32(blocks, index));
        // No field below laneBytes has a block in word 7.
        if (j + 1 < FieldBatch::size) {
            __m256i k = lanes::times(words[j], m);
            k = _mm256_xor_si256(k, _mm256_srli_epi32(k, murmur::shift));
            k = lanes::times(k, m);
            const __m256i mixed = _mm256_xor_si256(lanes::times(h, m), k);
            h = _mm256_blendv_epi8(h, mixed, _mm256_cmpgt_epi32(blocks, index));
        }
    }
    // The tail's 0 to 3 bytes; a shift by 32 leaves none.
    const __m256i left = _mm256_and_si256(lengths, _mm256_set1_epi32(3));
    const __m256i unused = _mm256_sub_epi32(_mm256_set1_epi32(32), _mm256_slli_epi32(left, 3));
    h = _mm256_xor_si256(h, _mm256_and_si256(tail, _mm256_srlv_epi32(_mm256_set1_epi32(-1), unused)));
    h = _mm256_blendv_epi8(lanes::times(h, m), h, _mm256_cmpeq_epi32(left, _mm256_setzero_si256()));

    h = _mm256_xor_si256(h, _mm256_srli_epi32(h, murmur::finalShift1));
    h = lanes::times(h, m);
    h = _mm256_xor_si256(h, _mm256_srli_epi32(h, murmur::finalShift2));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(hashes.data()), h);
}

#endif // INITHASHDATA_AVX2

} // namespace initHashData
