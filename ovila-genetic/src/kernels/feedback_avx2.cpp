// The AVX2 fast scores. Positions are weighted in 32-bit lanes, so
// sequences of 2^32 genes or more take the portable path.
#include "ovila/genetic/kernels/feedback.hpp"

#if OVILA_AVX2_VARIANTS

#include <algorithm>
#include <utility>

#include "ovila/core/error.hpp"
#include "ovila/genetic/kernels/avx2.hpp"

namespace ovila::genetic::kernels {

namespace {

constexpr std::size_t max_weighted_length = 0xFFFFFFFFU;

// sum over the positions (in order, or in reverse) of (Weighted ? i : 1) *
// the marks between the gene at i and the genes placed before it, reading
// the gene's column (or row), for matrices of W = 5 .. small_words words:
// the placed set lives in C = W/4 vector registers and the W%4 remaining
// words in scalar registers, and a gene is added by ORing its unit row in;
// no word past a row is read. Each byte of the per-gene count sums at most 4
// chunks (<= 32). With `Check`, bounds are checked on the way and nothing is
// returned when a gene repeats.
template <std::size_t W, bool Weighted, bool Rows, bool Reverse, bool Check>
[[gnu::always_inline]] OVILA_TARGET_AVX2 inline std::optional<std::uint64_t> placed_small(
    const BitMatrix& bm, std::span<const std::uint64_t> genes) {
    constexpr std::size_t C = W / 4;
    constexpr std::size_t T = W % 4;
    const __m256i zero = _mm256_setzero_si256();
    __m256i placed[C];
    for (std::size_t c = 0; c < C; ++c) {
        placed[c] = zero;
    }
    Word tail[T + 1] = {};
    __m256i total = zero;
    std::uint64_t tail_total = 0;
    const std::size_t len = genes.size();
    __m256i weight = _mm256_set1_epi64x(Reverse ? static_cast<long long>(len - 1) : 0);
    const __m256i step = _mm256_set1_epi64x(Reverse ? -1 : 1);
    for (std::size_t t = 0; t < len; ++t) {
        const std::size_t i = Reverse ? len - 1 - t : t;
        const std::uint64_t g = genes[i];
        if (Check && g >= bm.n) {
            core::internal_error("Matrix index out of bounds.");
        }
        const Word* bits = Rows ? bm.row(g) : bm.col(g);
        __m256i bytes = zero;
        for (std::size_t c = 0; c < C; ++c) {
            bytes = _mm256_add_epi8(bytes, avx2::byte_counts(_mm256_and_si256(avx2::load(bits + 4 * c), placed[c])));
        }
        std::uint64_t in_tail = 0;
        for (std::size_t k = 0; k < T; ++k) {
            in_tail += popcount(bits[4 * C + k] & tail[k]);
        }
        const __m256i sums = avx2::lane_sums(bytes);
        if constexpr (Weighted) {
            total = _mm256_add_epi64(total, _mm256_mul_epu32(sums, weight));
            weight = _mm256_add_epi64(weight, step);
            tail_total += static_cast<std::uint64_t>(i) * in_tail;
        } else {
            total = _mm256_add_epi64(total, sums);
            tail_total += in_tail;
        }
        const Word* unit = bm.unit(g);
        for (std::size_t c = 0; c < C; ++c) {
            placed[c] = _mm256_or_si256(placed[c], avx2::load(unit + 4 * c));
        }
        for (std::size_t k = 0; k < T; ++k) {
            tail[k] |= unit[4 * C + k];
        }
    }
    if constexpr (Check) {
        __m256i counts = zero;
        for (std::size_t c = 0; c < C; ++c) {
            counts = _mm256_add_epi64(counts, avx2::lane_sums(avx2::byte_counts(placed[c])));
        }
        std::uint64_t distinct = avx2::horizontal_sum(counts);
        for (std::size_t k = 0; k < T; ++k) {
            distinct += popcount(tail[k]);
        }
        if (distinct != len) return std::nullopt;
    }
    return avx2::horizontal_sum(total) + tail_total;
}

template <std::size_t W, bool Distance>
[[gnu::always_inline]] OVILA_TARGET_AVX2 inline std::optional<std::uint64_t> score_small(
    const BitMatrix& bm, std::span<const std::uint64_t> genes) {
    const std::optional<std::uint64_t> forward = placed_small<W, Distance, false, false, true>(bm, genes);
    if constexpr (Distance) {
        if (forward) return *forward - *placed_small<W, true, true, true, false>(bm, genes);
    }
    return forward;
}

// The score for bm.words in 5 .. small_words, one instance per width.
template <bool Distance, std::size_t... I>
OVILA_TARGET_AVX2 std::optional<std::uint64_t> score_small_table(const BitMatrix& bm, std::span<const std::uint64_t> genes,
                                                                 std::index_sequence<I...>) {
    std::optional<std::uint64_t> result;
    static_cast<void>(((bm.words == I + 5 ? (result = score_small<I + 5, Distance>(bm, genes), true) : false) || ...));
    return result;
}

// The same sum for any width: the placed set in the scratch, updated one
// 256-bit chunk at a time so that the next gene's loads are forwarded from a
// store of the same width. Bytes of the per-gene count are summed into
// 64-bit lanes every 31 chunks, before a byte can overflow.
OVILA_TARGET_AVX2 std::uint64_t placed_large(const BitMatrix& bm, std::span<const std::uint64_t> genes, Word* placed,
                                             bool rows, bool reverse, bool weighted) {
    const std::size_t words = bm.words;
    const std::size_t chunks = words / 4;
    std::fill(placed, placed + words, Word{0});
    const __m256i zero = _mm256_setzero_si256();
    const __m256i lanes = _mm256_setr_epi64x(0, 1, 2, 3);
    __m256i total = zero;
    std::uint64_t tail_total = 0;
    const std::size_t len = genes.size();
    for (std::size_t step = 0; step < len; ++step) {
        const std::size_t i = reverse ? len - 1 - step : step;
        const std::uint64_t g = genes[i];
        const Word* bits = rows ? bm.row(g) : bm.col(g);
        __m256i sums = zero;
        for (std::size_t c = 0; c < chunks;) {
            const std::size_t stop = std::min(chunks, c + 31);
            __m256i bytes = zero;
            for (; c < stop; ++c) {
                const __m256i v = _mm256_and_si256(avx2::load(bits + 4 * c), avx2::load(placed + 4 * c));
                bytes = _mm256_add_epi8(bytes, avx2::byte_counts(v));
            }
            sums = _mm256_add_epi64(sums, avx2::lane_sums(bytes));
        }
        std::uint64_t tail = 0;
        for (std::size_t k = 4 * chunks; k < words; ++k) {
            tail += popcount(bits[k] & placed[k]);
        }
        const std::uint64_t weight = weighted ? static_cast<std::uint64_t>(i) : 1U;
        total = _mm256_add_epi64(total, _mm256_mul_epu32(sums, _mm256_set1_epi64x(static_cast<long long>(weight))));
        tail_total += weight * tail;

        const auto word = static_cast<std::size_t>(g / 64);
        if (word < 4 * chunks) {
            auto* chunk = reinterpret_cast<__m256i*>(placed + (word & ~std::size_t{3}));
            const __m256i in_lane = _mm256_cmpeq_epi64(lanes, _mm256_set1_epi64x(static_cast<long long>(word & 3)));
            const __m256i bit =
                _mm256_sllv_epi64(_mm256_set1_epi64x(1), _mm256_set1_epi64x(static_cast<long long>(g % 64)));
            _mm256_storeu_si256(chunk, _mm256_or_si256(_mm256_loadu_si256(chunk), _mm256_and_si256(bit, in_lane)));
        } else {
            set_bit(placed, g);
        }
    }
    return avx2::horizontal_sum(total) + tail_total;
}

}  // namespace

std::optional<std::uint64_t> marks_avx2(const BitMatrix& bm, std::span<const std::uint64_t> genes, ScoreScratch& scratch) {
    if (bm.words < 5 || genes.size() > max_weighted_length) return marks_portable(bm, genes, scratch);
    if (!words_pay(bm, genes.size())) return std::nullopt;
    if (bm.words <= small_words) {
        return score_small_table<false>(bm, genes, std::make_index_sequence<small_words - 4>{});
    }
    if (!scratch.distinct(genes, bm.n)) return std::nullopt;
    return placed_large(bm, genes, scratch.placed(), false, false, false);
}

std::optional<std::uint64_t> distance_avx2(const BitMatrix& bm, std::span<const std::uint64_t> genes, ScoreScratch& scratch) {
    if (bm.words < 5 || genes.size() > max_weighted_length) return distance_portable(bm, genes, scratch);
    if (!words_pay(bm, genes.size())) return std::nullopt;
    if (bm.words <= small_words) {
        return score_small_table<true>(bm, genes, std::make_index_sequence<small_words - 4>{});
    }
    if (!scratch.distinct(genes, bm.n)) return std::nullopt;
    const std::uint64_t forward = placed_large(bm, genes, scratch.placed(), false, false, true);
    return forward - placed_large(bm, genes, scratch.placed(), true, true, true);
}

}  // namespace ovila::genetic::kernels

#endif
