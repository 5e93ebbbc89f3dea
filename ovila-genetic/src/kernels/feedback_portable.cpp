// The portable fast scores: for matrices of up to `small_words` words per
// bit row the placed set is a local array of W words (W known at compile
// time, so the loops unroll); above that it lives in the scratch.
#include <utility>

#include "ovila/core/error.hpp"
#include "ovila/genetic/kernels/feedback.hpp"

namespace ovila::genetic::kernels {

namespace {

// Four running counts, so that the additions do not wait on each other.
template <std::size_t W>
[[gnu::always_inline]] inline std::uint64_t count_small(const Word* bits, const Word (&placed)[W]) {
    std::uint64_t counts[4] = {};
    for (std::size_t k = 0; k < W; ++k) {
        counts[k % 4] += popcount(bits[k] & placed[k]);
    }
    return (counts[0] + counts[1]) + (counts[2] + counts[3]);
}

// A gene is added by ORing its unit row in, which keeps the set in
// registers; one word is simply shifted in.
template <std::size_t W>
[[gnu::always_inline]] inline void place_small(Word (&placed)[W], const BitMatrix& bm, std::uint64_t g) {
    if constexpr (W == 1) {
        placed[0] |= Word{1} << (g % 64);
    } else {
        const Word* unit = bm.unit(g);
        for (std::size_t k = 0; k < W; ++k) {
            placed[k] |= unit[k];
        }
    }
}

// sum over j of (Weighted ? j : 1) * (marks into position j from earlier
// positions), checking every gene's bounds on the way; nothing when a gene
// repeats (fewer bits in the final set than genes).
template <std::size_t W, bool Weighted>
[[gnu::always_inline]] inline std::optional<std::uint64_t> forward_small(const BitMatrix& bm,
                                                                         std::span<const std::uint64_t> genes) {
    Word placed[W] = {};
    std::uint64_t total = 0;
    const std::size_t len = genes.size();
    for (std::size_t j = 0; j < len; ++j) {
        const std::uint64_t g = genes[j];
        if (g >= bm.n) {
            core::internal_error("Matrix index out of bounds.");
        }
        const std::uint64_t count = count_small<W>(bm.col(g), placed);
        total += Weighted ? static_cast<std::uint64_t>(j) * count : count;
        place_small<W>(placed, bm, g);
    }
    std::uint64_t distinct = 0;
    for (std::size_t k = 0; k < W; ++k) {
        distinct += popcount(placed[k]);
    }
    if (distinct != len) return std::nullopt;
    return total;
}

// sum over i of i * (marks from position i to later positions), for
// distinct in-bounds genes.
template <std::size_t W>
[[gnu::always_inline]] inline std::uint64_t backward_small(const BitMatrix& bm, std::span<const std::uint64_t> genes) {
    Word placed[W] = {};
    std::uint64_t total = 0;
    for (std::size_t i = genes.size(); i-- > 0;) {
        const std::uint64_t g = genes[i];
        total += static_cast<std::uint64_t>(i) * count_small<W>(bm.row(g), placed);
        place_small<W>(placed, bm, g);
    }
    return total;
}

// w = sum_j j*a_j - sum_i i*b_i, with a_j the marks into position j from
// earlier positions and b_i the marks from position i to later positions.
template <std::size_t W, bool Distance>
[[gnu::always_inline]] inline std::optional<std::uint64_t> score_small(const BitMatrix& bm,
                                                                       std::span<const std::uint64_t> genes) {
    const std::optional<std::uint64_t> forward = forward_small<W, Distance>(bm, genes);
    if constexpr (Distance) {
        if (forward) return *forward - backward_small<W>(bm, genes);
    }
    return forward;
}

// The score for bm.words in 1 .. small_words, one instance per width.
template <bool Distance, std::size_t... I>
[[gnu::always_inline]] inline std::optional<std::uint64_t> score_small_table(const BitMatrix& bm,
                                                                             std::span<const std::uint64_t> genes,
                                                                             std::index_sequence<I...>) {
    std::optional<std::uint64_t> result;
    static_cast<void>(((bm.words == I + 1 ? (result = score_small<I + 1, Distance>(bm, genes), true) : false) || ...));
    return result;
}

// sum over the positions (in order, or in reverse) of (Weighted ? i : 1) *
// the marks between the gene at i and the genes placed before it, reading
// the gene's column (or row).
template <bool Rows, bool Reverse, bool Weighted>
std::uint64_t placed_large(const BitMatrix& bm, std::span<const std::uint64_t> genes, Word* placed) {
    const std::size_t words = bm.words;
    const std::size_t len = genes.size();
    std::fill(placed, placed + words, Word{0});
    std::uint64_t total = 0;
    for (std::size_t step = 0; step < len; ++step) {
        const std::size_t i = Reverse ? len - 1 - step : step;
        const Word* bits = Rows ? bm.row(genes[i]) : bm.col(genes[i]);
        std::uint64_t c0 = 0;
        std::uint64_t c1 = 0;
        std::uint64_t c2 = 0;
        std::uint64_t c3 = 0;
        std::size_t k = 0;
        for (; k + 4 <= words; k += 4) {
            c0 += popcount(bits[k] & placed[k]);
            c1 += popcount(bits[k + 1] & placed[k + 1]);
            c2 += popcount(bits[k + 2] & placed[k + 2]);
            c3 += popcount(bits[k + 3] & placed[k + 3]);
        }
        for (; k < words; ++k) {
            c0 += popcount(bits[k] & placed[k]);
        }
        const std::uint64_t count = (c0 + c1) + (c2 + c3);
        total += Weighted ? static_cast<std::uint64_t>(i) * count : count;
        set_bit(placed, genes[i]);
    }
    return total;
}

template <bool Distance>
[[gnu::always_inline]] inline std::optional<std::uint64_t> score_portable(const BitMatrix& bm,
                                                                          std::span<const std::uint64_t> genes,
                                                                          ScoreScratch& scratch) {
    if (bm.words == 0 || !words_pay(bm, genes.size())) return std::nullopt;
    if (bm.words <= small_words) {
        return score_small_table<Distance>(bm, genes, std::make_index_sequence<small_words>{});
    }
    if (!scratch.distinct(genes, bm.n)) return std::nullopt;
    const std::uint64_t forward = placed_large<false, false, Distance>(bm, genes, scratch.placed());
    if constexpr (Distance) {
        return forward - placed_large<true, true, true>(bm, genes, scratch.placed());
    }
    return forward;
}

// v = sum_i (L-1-i)*(marks in row s_i among present genes)
//   + sum_j j*(marks in column s_j among present genes).
std::uint64_t lower_left_bits(const BitMatrix& bm, std::span<const std::uint64_t> genes, Word* present) {
    const std::size_t words = bm.words;
    const std::uint64_t len = genes.size();
    std::fill(present, present + words, Word{0});
    for (const std::uint64_t g : genes) {
        set_bit(present, g);
    }
    std::uint64_t v = 0;
    for (std::uint64_t i = 0; i < len; ++i) {
        const Word* row = bm.row(genes[static_cast<std::size_t>(i)]);
        const Word* col = bm.col(genes[static_cast<std::size_t>(i)]);
        std::uint64_t in_row = 0;
        std::uint64_t in_col = 0;
        for (std::size_t k = 0; k < words; ++k) {
            in_row += popcount(row[k] & present[k]);
            in_col += popcount(col[k] & present[k]);
        }
        v += (len - 1 - i) * in_row + i * in_col;
    }
    return v;
}

}  // namespace

OVILA_POPCOUNT_CLONES
std::optional<std::uint64_t> marks_portable(const BitMatrix& bm, std::span<const std::uint64_t> genes, ScoreScratch& scratch) {
    return score_portable<false>(bm, genes, scratch);
}

OVILA_POPCOUNT_CLONES
std::optional<std::uint64_t> distance_portable(const BitMatrix& bm, std::span<const std::uint64_t> genes,
                                               ScoreScratch& scratch) {
    return score_portable<true>(bm, genes, scratch);
}

OVILA_POPCOUNT_CLONES
std::uint64_t lower_left_fast(const BitMatrix& bm, std::span<const std::uint64_t> genes, ScoreScratch& scratch) {
    const bool distinct = scratch.distinct(genes, bm.n);
    if (distinct && genes.size() == bm.n) {
        // A full permutation: every row and column count is the precomputed one.
        const std::uint64_t len = genes.size();
        std::uint64_t v = 0;
        for (std::uint64_t i = 0; i < len; ++i) {
            const auto g = static_cast<std::size_t>(genes[static_cast<std::size_t>(i)]);
            v += (len - 1 - i) * bm.row_marks[g] + i * bm.col_marks[g];
        }
        return v;
    }
    if (distinct && words_pay(bm, genes.size())) {
        return lower_left_bits(bm, genes, scratch.placed());
    }
    return lower_left_walk(bm, genes);
}

}  // namespace ovila::genetic::kernels
