#include "ovila/genetic/kernels/bit_matrix.hpp"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ovila::genetic::kernels {

namespace {

// Bit b set when cells[b] is a mark, for count <= 64 cells.
Word pack_marks(const double* cells, std::size_t count) {
    Word word = 0;
    std::size_t b = 0;
#if defined(__SSE2__)
    const __m128d zero = _mm_setzero_pd();
    for (; b + 2 <= count; b += 2) {
        // Not-equal is true for unordered operands, so NaN counts as a mark.
        const int pair = _mm_movemask_pd(_mm_cmpneq_pd(_mm_loadu_pd(cells + b), zero));
        word |= static_cast<Word>(pair) << b;
    }
#endif
    for (; b < count; ++b) {
        word |= static_cast<Word>(cells[b] != 0.0) << b;
    }
    return word;
}

}  // namespace

BitMatrix::BitMatrix(std::span<const double> cells, std::uint64_t size)
    : n(size), words(static_cast<std::size_t>((size + 63) / 64)) {
    const auto dim = static_cast<std::size_t>(n);
    rows.assign(dim * words, 0);
    cols.assign(dim * words, 0);
    row_marks.assign(dim, 0);
    col_marks.assign(dim, 0);
    if (words <= small_words) {
        units.assign(dim * words, 0);
        for (std::size_t g = 0; g < dim; ++g) {
            set_bit(units.data() + g * words, g);
        }
    }
    // Rows are packed 64 cells to a word without branches; the columns are
    // then set from the marks found, which are usually few.
    for (std::size_t r = 0; r < dim; ++r) {
        const double* row_cells = cells.data() + r * dim;
        Word* row_bits = rows.data() + r * words;
        std::uint64_t marks = 0;
        for (std::size_t k = 0; k < words; ++k) {
            const std::size_t base = k * 64;
            const std::size_t count = std::min<std::size_t>(64, dim - base);
            const Word word = pack_marks(row_cells + base, count);
            row_bits[k] = word;
            for (Word rest = word; rest != 0; rest &= rest - 1) {
                const std::size_t c = base + static_cast<std::size_t>(std::countr_zero(rest));
                set_bit(cols.data() + c * words, r);
                ++col_marks[c];
                ++marks;
            }
        }
        row_marks[r] = marks;
    }
}

}  // namespace ovila::genetic::kernels
