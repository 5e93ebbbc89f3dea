// Word-level helpers shared by the kernels and the operators: bit sets of
// 64-bit words, population counts and uniform draws below a bound.
#pragma once

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>

namespace ovila::genetic::kernels {

using Word = std::uint64_t;
__extension__ using u128 = unsigned __int128;

inline std::uint64_t popcount(Word word) { return static_cast<std::uint64_t>(std::popcount(word)); }

inline void set_bit(Word* bits, std::uint64_t index) { bits[index / 64] |= Word{1} << (index % 64); }
inline bool test_bit(const Word* bits, std::uint64_t index) { return ((bits[index / 64] >> (index % 64)) & 1U) != 0; }

// Multiply-and-reject: a uniform value in [0, n), n > 0, from words of the
// same width drawn by `draw()`. The high half of word * n is uniform once the
// products whose low half falls below 2^width mod n are thrown away.
template <std::unsigned_integral U, class Draw>
U below_by_rejection(U n, Draw&& draw) {
    using Wide = std::conditional_t<sizeof(U) == 8, u128, std::uint64_t>;
    static_assert(sizeof(Wide) == 2 * sizeof(U), "words of 32 or 64 bits");
    constexpr int width = 8 * sizeof(U);
    Wide product = static_cast<Wide>(draw()) * n;
    auto low = static_cast<U>(product);
    if (low < n) {
        const U threshold = static_cast<U>(U{0} - n) % n;
        while (low < threshold) {
            product = static_cast<Wide>(draw()) * n;
            low = static_cast<U>(product);
        }
    }
    return static_cast<U>(product >> width);
}

}  // namespace ovila::genetic::kernels
