// The marks of an n*n matrix as bit rows and bit columns, built once per
// set of cells and read by the scoring kernels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ovila/genetic/kernels/bits.hpp"

namespace ovila::genetic::kernels {

// Matrices of at most this many words per bit row (1024 genes) are scored by
// the small kernels, whose set of placed genes lives in registers.
inline constexpr std::size_t small_words = 16;

// Bit c of row r and bit r of column c: cell (r, c) is a mark (not equal to
// 0.0: NaN is a mark, -0.0 is not). Rows and columns are `words` words long.
struct BitMatrix {
    std::uint64_t n = 0;
    std::size_t words = 0;
    std::vector<Word> rows;
    std::vector<Word> cols;
    // For the small kernels: row g holds gene g's bit alone, so that adding a
    // gene to a set of placed genes is W loads and ORs (no shifts, compares
    // or stores the next gene's loads would have to wait for).
    std::vector<Word> units;
    std::vector<std::uint64_t> row_marks;  // marks in each full row
    std::vector<std::uint64_t> col_marks;  // marks in each full column

    BitMatrix(std::span<const double> cells, std::uint64_t size);

    const Word* row(std::uint64_t r) const { return rows.data() + static_cast<std::size_t>(r) * words; }
    const Word* col(std::uint64_t c) const { return cols.data() + static_cast<std::size_t>(c) * words; }
    const Word* unit(std::uint64_t g) const { return units.data() + static_cast<std::size_t>(g) * words; }
};

}  // namespace ovila::genetic::kernels
