#include "evaluator.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

namespace ovila {

// ---------------------------------------------------------------------------
// Shared formula pieces
// ---------------------------------------------------------------------------

namespace {

constexpr const char* kOutOfBounds = "Matrix index out of bounds.";

// All scores are formed modulo 2^64 and only then converted to a double.
std::uint64_t feedback_marks_total(std::uint64_t offset, std::uint64_t n, std::uint64_t m) {
    return (offset - m) + (n * (n - 1)) / 2;
}

std::uint64_t feedback_distance_total(std::uint64_t offset, std::uint64_t n, std::uint64_t w) {
    return (offset - w) + ((n * n - 1) * n) / 6;
}

std::uint64_t lower_left_total(std::uint64_t offset, std::uint64_t v) { return offset + v; }

double to_fitness(std::uint64_t value) { return static_cast<double>(value); }

// Row-major cell lookup of the reference walks.
bool cell_marked(std::span<const double> matrix, std::uint64_t n, Gene row, Gene col) {
    if (row >= n || col >= n) {
        internal_error(kOutOfBounds);
    }
    return matrix[static_cast<std::size_t>(row * n + col)] != 0.0;
}

void check_square(std::span<const double> matrix, std::uint64_t n) {
    if (matrix.size() != n * n) {
        internal_error("matrix storage does not hold n*n cells");
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Reference walks
// ---------------------------------------------------------------------------

double feedback_marks_direct(std::span<const double> matrix, std::uint64_t n, std::uint64_t offset,
                             std::span<const Gene> genes) {
    check_square(matrix, n);
    const std::size_t len = genes.size();
    std::uint64_t m = 0;
    for (std::size_t i = 0; i < len; ++i) {
        for (std::size_t j = i + 1; j < len; ++j) {
            if (cell_marked(matrix, n, genes[i], genes[j])) {
                ++m;
            }
        }
    }
    return to_fitness(feedback_marks_total(offset, n, m));
}

double feedback_distance_direct(std::span<const double> matrix, std::uint64_t n, std::uint64_t offset,
                                std::span<const Gene> genes) {
    check_square(matrix, n);
    const std::size_t len = genes.size();
    std::uint64_t w = 0;
    for (std::size_t i = 0; i < len; ++i) {
        for (std::size_t j = i + 1; j < len; ++j) {
            if (cell_marked(matrix, n, genes[i], genes[j])) {
                w += j - i;
            }
        }
    }
    return to_fitness(feedback_distance_total(offset, n, w));
}

double lower_left_distance_direct(std::span<const double> matrix, std::uint64_t n, std::uint64_t offset,
                                  std::span<const Gene> genes) {
    check_square(matrix, n);
    const std::uint64_t len = genes.size();
    std::uint64_t v = 0;
    for (std::uint64_t i = 0; i < len; ++i) {
        for (std::uint64_t j = 0; j < len; ++j) {
            if (cell_marked(matrix, n, genes[i], genes[j])) {
                v += (len - 1 - i) + j;
            }
        }
    }
    return to_fitness(lower_left_total(offset, v));
}

// ---------------------------------------------------------------------------
// Evaluator interface
// ---------------------------------------------------------------------------

double Evaluator::evaluate(Chromosome& chromosome) const {
    if (!chromosome.fitness) {
        chromosome.fitness = score(chromosome.genes);
    }
    return *chromosome.fitness;
}

void Evaluator::evaluate_population(std::span<Chromosome> chromosomes) const {
    for (Chromosome& chromosome : chromosomes) {
        evaluate(chromosome);
    }
}

// ---------------------------------------------------------------------------
// Engine evaluators
// ---------------------------------------------------------------------------

namespace {

#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__)
#define OVILA_POPCOUNT_CLONES __attribute__((target_clones("popcnt", "default")))
#else
#define OVILA_POPCOUNT_CLONES
#endif

using Word = std::uint64_t;

// Bit b set when cells[b] is a mark (not equal to 0.0: NaN is a mark, -0.0
// is not), for count <= 64 cells.
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

// Marks of an n*n matrix as bit rows (bit c of row r: cell (r, c)) and bit
// columns (bit r of column c: cell (r, c)), each `words` 64-bit words long.
// Matrices of at most this many words per bit row (1024 genes) are scored by
// the small kernels below.
constexpr std::size_t kSmallWords = 16;

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

    BitMatrix(std::span<const double> cells, std::uint64_t size)
        : n(size), words(static_cast<std::size_t>((size + 63) / 64)) {
        const auto dim = static_cast<std::size_t>(n);
        rows.assign(dim * words, 0);
        cols.assign(dim * words, 0);
        row_marks.assign(dim, 0);
        col_marks.assign(dim, 0);
        if (words <= kSmallWords) {
            units.assign(dim * words, 0);
            for (std::size_t g = 0; g < dim; ++g) {
                units[g * words + g / 64] = Word{1} << (g % 64);
            }
        }
        // Rows are packed 64 cells to a word without branches; the columns
        // are then set from the marks found, which are usually few.
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
                    cols[c * words + r / 64] |= Word{1} << (r % 64);
                    ++col_marks[c];
                    ++marks;
                }
            }
            row_marks[r] = marks;
        }
    }

    const Word* row(Gene r) const { return rows.data() + static_cast<std::size_t>(r) * words; }
    const Word* col(Gene c) const { return cols.data() + static_cast<std::size_t>(c) * words; }
    const Word* unit(Gene g) const { return units.data() + static_cast<std::size_t>(g) * words; }
    static bool test(const Word* bits, Gene index) { return ((bits[index / 64] >> (index % 64)) & 1U) != 0; }
};

void set_bit(Word* bits, Gene index) { bits[index / 64] |= Word{1} << (index % 64); }

void clear_bits(Word* bits, std::size_t words) {
    for (std::size_t k = 0; k < words; ++k) {
        bits[k] = 0;
    }
}

// m: marks from each position to every later one, counted against the set of
// genes already placed.
OVILA_POPCOUNT_CLONES
std::uint64_t marks_bits(const BitMatrix& bm, std::span<const Gene> genes, Word* placed) {
    const std::size_t words = bm.words;
    clear_bits(placed, words);
    std::uint64_t m = 0;
    for (const Gene g : genes) {
        const Word* col = bm.col(g);
        // Four running counts, so that the additions do not wait on each other.
        std::uint64_t c0 = 0;
        std::uint64_t c1 = 0;
        std::uint64_t c2 = 0;
        std::uint64_t c3 = 0;
        std::size_t k = 0;
        for (; k + 4 <= words; k += 4) {
            c0 += static_cast<std::uint64_t>(std::popcount(col[k] & placed[k]));
            c1 += static_cast<std::uint64_t>(std::popcount(col[k + 1] & placed[k + 1]));
            c2 += static_cast<std::uint64_t>(std::popcount(col[k + 2] & placed[k + 2]));
            c3 += static_cast<std::uint64_t>(std::popcount(col[k + 3] & placed[k + 3]));
        }
        for (; k < words; ++k) {
            c0 += static_cast<std::uint64_t>(std::popcount(col[k] & placed[k]));
        }
        m += (c0 + c1) + (c2 + c3);
        set_bit(placed, g);
    }
    return m;
}

// w = sum_j j*a_j - sum_i i*b_i, with a_j the marks into position j from
// earlier positions and b_i the marks from position i to later positions.
OVILA_POPCOUNT_CLONES
std::uint64_t distance_bits(const BitMatrix& bm, std::span<const Gene> genes, Word* placed) {
    const std::size_t words = bm.words;
    const std::size_t len = genes.size();
    std::uint64_t forward = 0;
    clear_bits(placed, words);
    for (std::size_t j = 0; j < len; ++j) {
        const Word* col = bm.col(genes[j]);
        std::uint64_t count = 0;
        for (std::size_t k = 0; k < words; ++k) {
            count += static_cast<std::uint64_t>(std::popcount(col[k] & placed[k]));
        }
        forward += static_cast<std::uint64_t>(j) * count;
        set_bit(placed, genes[j]);
    }
    std::uint64_t backward = 0;
    clear_bits(placed, words);
    for (std::size_t i = len; i-- > 0;) {
        const Word* row = bm.row(genes[i]);
        std::uint64_t count = 0;
        for (std::size_t k = 0; k < words; ++k) {
            count += static_cast<std::uint64_t>(std::popcount(row[k] & placed[k]));
        }
        backward += static_cast<std::uint64_t>(i) * count;
        set_bit(placed, genes[i]);
    }
    return forward - backward;
}

// v = sum_i (L-1-i)*(marks in row s_i among present genes)
//   + sum_j j*(marks in column s_j among present genes).
OVILA_POPCOUNT_CLONES
std::uint64_t lower_left_bits(const BitMatrix& bm, std::span<const Gene> genes, Word* present) {
    const std::size_t words = bm.words;
    const std::uint64_t len = genes.size();
    clear_bits(present, words);
    for (const Gene g : genes) {
        set_bit(present, g);
    }
    std::uint64_t v = 0;
    for (std::uint64_t i = 0; i < len; ++i) {
        const Word* row = bm.row(genes[static_cast<std::size_t>(i)]);
        const Word* col = bm.col(genes[static_cast<std::size_t>(i)]);
        std::uint64_t in_row = 0;
        std::uint64_t in_col = 0;
        for (std::size_t k = 0; k < words; ++k) {
            in_row += static_cast<std::uint64_t>(std::popcount(row[k] & present[k]));
            in_col += static_cast<std::uint64_t>(std::popcount(col[k] & present[k]));
        }
        v += (len - 1 - i) * in_row + i * in_col;
    }
    return v;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define OVILA_AVX2_KERNEL 1

bool cpu_has_avx2() {
    static const bool has = __builtin_cpu_supports("avx2") != 0;
    return has;
}

// sum over the positions (in order, or in reverse) of weight(i) * the marks
// between the gene at i and the genes placed before it, reading the gene's
// column (or row); weight(i) is i or 1. Positions are counted in 32-bit
// lanes: callers keep the length below 2^32. Bytes of the vector popcount
// (nibble lookups) are summed into 64-bit lanes every 31 chunks, before a
// byte can overflow. The placed set is updated one 256-bit chunk at a time,
// so that the next gene's loads are forwarded from a store of the same width.
__attribute__((target("avx2,popcnt"))) std::uint64_t placed_marks_avx2(const BitMatrix& bm,
                                                                         std::span<const Gene> genes,
                                                                         Word* placed, bool rows, bool reverse,
                                                                         bool weighted) {
    const std::size_t words = bm.words;
    const std::size_t chunks = words / 4;
    clear_bits(placed, words);
    const __m256i lut = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1, 2, 1, 2, 2, 3, 1,
                                         2, 2, 3, 2, 3, 3, 4);
    const __m256i nibble = _mm256_set1_epi8(0x0f);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i lanes = _mm256_setr_epi64x(0, 1, 2, 3);
    __m256i total = zero;
    std::uint64_t tail_total = 0;
    const std::size_t len = genes.size();
    for (std::size_t step = 0; step < len; ++step) {
        const std::size_t i = reverse ? len - 1 - step : step;
        const Gene g = genes[i];
        const Word* bits = rows ? bm.row(g) : bm.col(g);
        __m256i sums = zero;
        for (std::size_t c = 0; c < chunks;) {
            const std::size_t stop = std::min(chunks, c + 31);
            __m256i bytes = zero;
            for (; c < stop; ++c) {
                const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bits + 4 * c));
                const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(placed + 4 * c));
                const __m256i v = _mm256_and_si256(a, b);
                const __m256i lo = _mm256_shuffle_epi8(lut, _mm256_and_si256(v, nibble));
                const __m256i hi = _mm256_shuffle_epi8(lut, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble));
                bytes = _mm256_add_epi8(bytes, _mm256_add_epi8(lo, hi));
            }
            sums = _mm256_add_epi64(sums, _mm256_sad_epu8(bytes, zero));
        }
        std::uint64_t tail = 0;
        for (std::size_t k = 4 * chunks; k < words; ++k) {
            tail += static_cast<std::uint64_t>(std::popcount(bits[k] & placed[k]));
        }
        const std::uint64_t weight = weighted ? static_cast<std::uint64_t>(i) : 1U;
        total = _mm256_add_epi64(total, _mm256_mul_epu32(sums, _mm256_set1_epi64x(static_cast<long long>(weight))));
        tail_total += weight * tail;

        const auto word = static_cast<std::size_t>(g / 64);
        if (word < 4 * chunks) {
            auto* chunk = reinterpret_cast<__m256i*>(placed + (word & ~std::size_t{3}));
            const __m256i in_lane = _mm256_cmpeq_epi64(lanes, _mm256_set1_epi64x(static_cast<long long>(word & 3)));
            const __m256i bit = _mm256_sllv_epi64(_mm256_set1_epi64x(1), _mm256_set1_epi64x(static_cast<long long>(g % 64)));
            _mm256_storeu_si256(chunk, _mm256_or_si256(_mm256_loadu_si256(chunk), _mm256_and_si256(bit, in_lane)));
        } else {
            set_bit(placed, g);
        }
    }
    alignas(32) std::uint64_t parts[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(parts), total);
    return parts[0] + parts[1] + parts[2] + parts[3] + tail_total;
}
#endif

// Matrices of at most 1024 genes: the set of placed genes is a local array of
// W words (W known at compile time, so the counting loop unrolls), and every
// gene is bounds-checked on the way (no separate pass); a repeated gene shows
// as fewer bits in the final set than genes. A gene is added by ORing its
// unit row into the set, which keeps the set in registers (1.3x to 1.6x
// faster than setting one word in memory for 2 to 4 words); one word is
// simply shifted in.
template <std::size_t W>
[[gnu::always_inline]] inline void place_small(Word (&placed)[W], const BitMatrix& bm, Gene g) {
    if constexpr (W == 1) {
        placed[0] |= Word{1} << (g % 64);
    } else {
        const Word* unit = bm.unit(g);
        for (std::size_t k = 0; k < W; ++k) {
            placed[k] |= unit[k];
        }
    }
}

template <std::size_t W>
[[gnu::always_inline]] inline std::uint64_t count_small(const Word* bits, const Word (&placed)[W]) {
    // Four running counts, so that the additions do not wait on each other.
    std::uint64_t counts[4] = {};
    for (std::size_t k = 0; k < W; ++k) {
        counts[k % 4] += static_cast<std::uint64_t>(std::popcount(bits[k] & placed[k]));
    }
    return (counts[0] + counts[1]) + (counts[2] + counts[3]);
}

// sum over j of (Weighted ? j : 1) * (marks into position j from earlier
// positions). An index outside the matrix aborts; `repeated` tells whether a
// gene occurs twice (the sum is then meaningless).
template <std::size_t W, bool Weighted>
[[gnu::always_inline]] inline std::uint64_t forward_small(const BitMatrix& bm, std::span<const Gene> genes,
                                                          bool& repeated) {
    Word placed[W] = {};
    std::uint64_t total = 0;
    const std::size_t len = genes.size();
    for (std::size_t j = 0; j < len; ++j) {
        const Gene g = genes[j];
        if (g >= bm.n) {
            internal_error(kOutOfBounds);
        }
        const std::uint64_t count = count_small<W>(bm.col(g), placed);
        total += Weighted ? static_cast<std::uint64_t>(j) * count : count;
        place_small<W>(placed, bm, g);
    }
    std::uint64_t distinct = 0;
    for (std::size_t k = 0; k < W; ++k) {
        distinct += static_cast<std::uint64_t>(std::popcount(placed[k]));
    }
    repeated = distinct != len;
    return total;
}

// sum over i of i * (marks from position i to later positions), for distinct in-bounds genes.
template <std::size_t W>
[[gnu::always_inline]] inline std::uint64_t backward_small(const BitMatrix& bm, std::span<const Gene> genes) {
    Word placed[W] = {};
    std::uint64_t total = 0;
    for (std::size_t i = genes.size(); i-- > 0;) {
        const Gene g = genes[i];
        total += static_cast<std::uint64_t>(i) * count_small<W>(bm.row(g), placed);
        place_small<W>(placed, bm, g);
    }
    return total;
}

template <std::size_t W, bool Distance>
[[gnu::always_inline]] inline std::uint64_t score_small(const BitMatrix& bm, std::span<const Gene> genes,
                                                        bool& repeated) {
    const std::uint64_t forward = forward_small<W, Distance>(bm, genes, repeated);
    if constexpr (Distance) {
        return repeated ? 0 : forward - backward_small<W>(bm, genes);
    }
    return forward;
}

template <bool Distance>
[[gnu::always_inline]] inline std::uint64_t dispatch_small(const BitMatrix& bm, std::span<const Gene> genes,
                                                           bool& repeated) {
    switch (bm.words) {
        case 1:
            return score_small<1, Distance>(bm, genes, repeated);
        case 2:
            return score_small<2, Distance>(bm, genes, repeated);
        case 3:
            return score_small<3, Distance>(bm, genes, repeated);
        case 4:
            return score_small<4, Distance>(bm, genes, repeated);
        case 5:
            return score_small<5, Distance>(bm, genes, repeated);
        case 6:
            return score_small<6, Distance>(bm, genes, repeated);
        case 7:
            return score_small<7, Distance>(bm, genes, repeated);
        case 8:
            return score_small<8, Distance>(bm, genes, repeated);
        case 9:
            return score_small<9, Distance>(bm, genes, repeated);
        case 10:
            return score_small<10, Distance>(bm, genes, repeated);
        case 11:
            return score_small<11, Distance>(bm, genes, repeated);
        case 12:
            return score_small<12, Distance>(bm, genes, repeated);
        case 13:
            return score_small<13, Distance>(bm, genes, repeated);
        case 14:
            return score_small<14, Distance>(bm, genes, repeated);
        case 15:
            return score_small<15, Distance>(bm, genes, repeated);
        default:
            return score_small<16, Distance>(bm, genes, repeated);
    }
}

#ifdef OVILA_AVX2_KERNEL
// The small kernels for 5 <= W <= 16 words with AVX2: the placed set lives in
// C = W/4 vector registers and the W%4 remaining words in scalar registers,
// and a gene is added by ORing its unit row in (1.2x to 1.45x faster than
// selecting the lane by comparison); no word past a row is read. Per gene,
// each byte of the nibble-lookup popcount sums at most 4 chunks (<= 32), and
// the bytes are summed into 64-bit lanes once. Positions are weighted in
// 32-bit lanes: callers keep the length below 2^32.
template <std::size_t W, bool Weighted, bool Rows, bool Reverse>
__attribute__((target("avx2,popcnt"), always_inline)) inline std::uint64_t placed_small_avx2(
    const BitMatrix& bm, std::span<const Gene> genes, bool check, bool& repeated) {
    constexpr std::size_t C = W / 4;
    constexpr std::size_t T = W % 4;
    const __m256i lut = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1, 2, 1, 2, 2, 3, 1,
                                         2, 2, 3, 2, 3, 3, 4);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
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
        const Gene g = genes[i];
        if (check && g >= bm.n) {
            internal_error(kOutOfBounds);
        }
        const Word* bits = Rows ? bm.row(g) : bm.col(g);
        __m256i bytes = zero;
        for (std::size_t c = 0; c < C; ++c) {
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bits + 4 * c));
            const __m256i v = _mm256_and_si256(a, placed[c]);
            const __m256i lo = _mm256_shuffle_epi8(lut, _mm256_and_si256(v, nibble));
            const __m256i hi = _mm256_shuffle_epi8(lut, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble));
            bytes = _mm256_add_epi8(bytes, _mm256_add_epi8(lo, hi));
        }
        std::uint64_t in_tail = 0;
        for (std::size_t k = 0; k < T; ++k) {
            in_tail += static_cast<std::uint64_t>(std::popcount(bits[4 * C + k] & tail[k]));
        }
        const __m256i sums = _mm256_sad_epu8(bytes, zero);
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
            placed[c] = _mm256_or_si256(placed[c], _mm256_loadu_si256(reinterpret_cast<const __m256i*>(unit + 4 * c)));
        }
        for (std::size_t k = 0; k < T; ++k) {
            tail[k] |= unit[4 * C + k];
        }
    }
    if (check) {
        __m256i counts = zero;
        for (std::size_t c = 0; c < C; ++c) {
            const __m256i v = placed[c];
            const __m256i lo = _mm256_shuffle_epi8(lut, _mm256_and_si256(v, nibble));
            const __m256i hi = _mm256_shuffle_epi8(lut, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble));
            counts = _mm256_add_epi64(counts, _mm256_sad_epu8(_mm256_add_epi8(lo, hi), zero));
        }
        alignas(32) std::uint64_t parts[4];
        _mm256_store_si256(reinterpret_cast<__m256i*>(parts), counts);
        std::uint64_t distinct = parts[0] + parts[1] + parts[2] + parts[3];
        for (std::size_t k = 0; k < T; ++k) {
            distinct += static_cast<std::uint64_t>(std::popcount(tail[k]));
        }
        repeated = distinct != len;
    }
    alignas(32) std::uint64_t parts[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(parts), total);
    return parts[0] + parts[1] + parts[2] + parts[3] + tail_total;
}

template <std::size_t W, bool Distance>
__attribute__((target("avx2,popcnt"), always_inline)) inline std::uint64_t score_small_avx2(
    const BitMatrix& bm, std::span<const Gene> genes, bool& repeated) {
    const std::uint64_t forward = placed_small_avx2<W, Distance, false, false>(bm, genes, true, repeated);
    if constexpr (Distance) {
        if (repeated) {
            return 0;
        }
        bool unused = false;
        return forward - placed_small_avx2<W, true, true, true>(bm, genes, false, unused);
    }
    return forward;
}

// The small score for 5 <= bm.words <= kSmallWords on a CPU with AVX2.
template <bool Distance>
__attribute__((target("avx2,popcnt"))) std::uint64_t small_avx2(const BitMatrix& bm, std::span<const Gene> genes,
                                                               bool& repeated) {
    switch (bm.words) {
        case 5:
            return score_small_avx2<5, Distance>(bm, genes, repeated);
        case 6:
            return score_small_avx2<6, Distance>(bm, genes, repeated);
        case 7:
            return score_small_avx2<7, Distance>(bm, genes, repeated);
        case 8:
            return score_small_avx2<8, Distance>(bm, genes, repeated);
        case 9:
            return score_small_avx2<9, Distance>(bm, genes, repeated);
        case 10:
            return score_small_avx2<10, Distance>(bm, genes, repeated);
        case 11:
            return score_small_avx2<11, Distance>(bm, genes, repeated);
        case 12:
            return score_small_avx2<12, Distance>(bm, genes, repeated);
        case 13:
            return score_small_avx2<13, Distance>(bm, genes, repeated);
        case 14:
            return score_small_avx2<14, Distance>(bm, genes, repeated);
        case 15:
            return score_small_avx2<15, Distance>(bm, genes, repeated);
        default:
            return score_small_avx2<16, Distance>(bm, genes, repeated);
    }
}
#endif

// m as marks_bits computes it, for 1 <= bm.words <= kSmallWords.
OVILA_POPCOUNT_CLONES
std::uint64_t marks_small(const BitMatrix& bm, std::span<const Gene> genes, bool& repeated) {
    return dispatch_small<false>(bm, genes, repeated);
}

// w as distance_bits computes it, for 1 <= bm.words <= kSmallWords.
OVILA_POPCOUNT_CLONES
std::uint64_t distance_small(const BitMatrix& bm, std::span<const Gene> genes, bool& repeated) {
    return dispatch_small<true>(bm, genes, repeated);
}

// Cell-by-cell walks over the bit matrix, for any sequence of in-bounds genes.
std::uint64_t marks_walk(const BitMatrix& bm, std::span<const Gene> genes, bool weighted) {
    const std::size_t len = genes.size();
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < len; ++i) {
        const Word* row = bm.row(genes[i]);
        for (std::size_t j = i + 1; j < len; ++j) {
            if (BitMatrix::test(row, genes[j])) {
                total += weighted ? static_cast<std::uint64_t>(j - i) : 1U;
            }
        }
    }
    return total;
}

std::uint64_t lower_left_walk(const BitMatrix& bm, std::span<const Gene> genes) {
    const std::uint64_t len = genes.size();
    std::uint64_t v = 0;
    for (std::uint64_t i = 0; i < len; ++i) {
        const Word* row = bm.row(genes[static_cast<std::size_t>(i)]);
        for (std::uint64_t j = 0; j < len; ++j) {
            if (BitMatrix::test(row, genes[static_cast<std::size_t>(j)])) {
                v += (len - 1 - i) + j;
            }
        }
    }
    return v;
}

class ValueEvaluator final : public Evaluator {
public:
    explicit ValueEvaluator(double value) : value_(value) {}
    double score(std::span<const Gene>) const override { return value_; }

private:
    double value_;
};

// The three matrix scores. Sequences of distinct genes are scored with word
// operations on the bit matrix; sequences that repeat a gene fall back to the
// cell-by-cell walk. Both give the same integer before conversion.
//
// The scratch members make `score` unsuitable for concurrent use; a run
// calls its evaluator from one thread only.
class MatrixEvaluator final : public Evaluator {
public:
    MatrixEvaluator(EvaluatorKind kind, std::shared_ptr<const BitMatrix> bits, std::uint64_t offset)
        : kind_(kind), offset_(offset), shared_bits_(std::move(bits)), bits_(*shared_bits_),
          stamps_(static_cast<std::size_t>(bits_.n), 0), scratch_(bits_.words, 0) {}

    double score(std::span<const Gene> genes) const override {
        const std::size_t len = genes.size();
        const std::uint64_t n = bits_.n;
        switch (kind_) {
            case EvaluatorKind::FeedbackMarks: {
                if (len == 0) {
                    internal_error("an empty gene sequence reached the FeedbackMarks evaluator");
                }
                // Fewer than two genes put no cell above the diagonal: nothing is looked at.
                std::uint64_t m = 0;
                bool repeated = true;
                if (len >= 2 && small_bits(len)) {
                    m = small_avx2_ok(len) ? marks_small_fast(genes, repeated) : marks_small(bits_, genes, repeated);
                }
                if (len >= 2 && repeated) {
                    const bool distinct = check_genes(genes);
                    m = distinct && prefer_bits(len) ? marks_large(genes) : marks_walk(bits_, genes, false);
                }
                return to_fitness(feedback_marks_total(offset_, n, m));
            }
            case EvaluatorKind::FeedbackDistance: {
                if (len == 0) {
                    internal_error("an empty gene sequence reached the FeedbackDistance evaluator");
                }
                std::uint64_t w = 0;
                bool repeated = true;
                if (len >= 2 && small_bits(len)) {
                    w = small_avx2_ok(len) ? distance_small_fast(genes, repeated)
                                           : distance_small(bits_, genes, repeated);
                }
                if (len >= 2 && repeated) {
                    const bool distinct = check_genes(genes);
                    w = distinct && prefer_bits(len) ? distance_large(genes) : marks_walk(bits_, genes, true);
                }
                return to_fitness(feedback_distance_total(offset_, n, w));
            }
            case EvaluatorKind::LowerLeftDistance: {
                std::uint64_t v = 0;
                if (len >= 1) {
                    const bool distinct = check_genes(genes);
                    if (distinct && len == n) {
                        v = lower_left_permutation(genes);
                    } else if (distinct && prefer_bits(len)) {
                        v = lower_left_bits(bits_, genes, scratch_.data());
                    } else {
                        v = lower_left_walk(bits_, genes);
                    }
                }
                return to_fitness(lower_left_total(offset_, v));
            }
            case EvaluatorKind::Value:
                break;
        }
        internal_error("matrix evaluator built with a non-matrix kind");
    }

private:
    // Word operations cost about L*words; the walk about L*L/2 cell tests.
    bool prefer_bits(std::size_t len) const { return 2 * bits_.words <= len; }
    // Distinct in-bounds genes, at least 2 * words of them.
    std::uint64_t marks_large(std::span<const Gene> genes) const {
#ifdef OVILA_AVX2_KERNEL
        if (use_avx2(genes.size())) {
            return placed_marks_avx2(bits_, genes, scratch_.data(), false, false, false);
        }
#endif
        return marks_bits(bits_, genes, scratch_.data());
    }
    std::uint64_t distance_large(std::span<const Gene> genes) const {
#ifdef OVILA_AVX2_KERNEL
        if (use_avx2(genes.size())) {
            const std::uint64_t forward = placed_marks_avx2(bits_, genes, scratch_.data(), false, false, true);
            return forward - placed_marks_avx2(bits_, genes, scratch_.data(), true, true, true);
        }
#endif
        return distance_bits(bits_, genes, scratch_.data());
    }
    bool use_avx2(std::size_t len) const {
#ifdef OVILA_AVX2_KERNEL
        return use_avx2_ && bits_.words >= 4 && len <= 0xFFFFFFFFU;
#else
        static_cast<void>(len);
        return false;
#endif
    }

    // The vector small kernels: 5 to 16 words per bit row.
    bool small_avx2_ok(std::size_t len) const {
#ifdef OVILA_AVX2_KERNEL
        return use_avx2_ && bits_.words >= 5 && len <= 0xFFFFFFFFU;
#else
        static_cast<void>(len);
        return false;
#endif
    }
    std::uint64_t marks_small_fast(std::span<const Gene> genes, bool& repeated) const {
#ifdef OVILA_AVX2_KERNEL
        return small_avx2<false>(bits_, genes, repeated);
#else
        return marks_small(bits_, genes, repeated);
#endif
    }
    std::uint64_t distance_small_fast(std::span<const Gene> genes, bool& repeated) const {
#ifdef OVILA_AVX2_KERNEL
        return small_avx2<true>(bits_, genes, repeated);
#else
        return distance_small(bits_, genes, repeated);
#endif
    }

    bool small_bits(std::size_t len) const {
        return bits_.words >= 1 && bits_.words <= kSmallWords && prefer_bits(len);
    }

    // Every gene of the sequence is looked at; an index outside the matrix
    // aborts. Returns whether the genes are pairwise distinct.
    bool check_genes(std::span<const Gene> genes) const {
        if (++stamp_ == 0) {
            std::fill(stamps_.begin(), stamps_.end(), 0);
            stamp_ = 1;
        }
        bool distinct = true;
        for (const Gene g : genes) {
            if (g >= bits_.n) {
                internal_error(kOutOfBounds);
            }
            std::uint64_t& seen = stamps_[static_cast<std::size_t>(g)];
            if (seen == stamp_) {
                distinct = false;
            } else {
                seen = stamp_;
            }
        }
        return distinct;
    }

    // A full permutation: every row and column count is the precomputed one.
    std::uint64_t lower_left_permutation(std::span<const Gene> genes) const {
        const std::uint64_t len = genes.size();
        std::uint64_t v = 0;
        for (std::uint64_t i = 0; i < len; ++i) {
            const auto g = static_cast<std::size_t>(genes[static_cast<std::size_t>(i)]);
            v += (len - 1 - i) * bits_.row_marks[g] + i * bits_.col_marks[g];
        }
        return v;
    }

    EvaluatorKind kind_;
    std::uint64_t offset_;
    std::shared_ptr<const BitMatrix> shared_bits_;  // shared with every evaluator of the same cells
    const BitMatrix& bits_;
    mutable std::vector<std::uint64_t> stamps_;
    mutable std::uint64_t stamp_ = 0;
    mutable std::vector<Word> scratch_;
#ifdef OVILA_AVX2_KERNEL
    bool use_avx2_ = cpu_has_avx2();
#endif
};

}  // namespace

std::unique_ptr<Evaluator> build_evaluator(const EvaluatorOptions& options) {
    if (const auto* value = std::get_if<ValueEvaluatorOptions>(&options)) {
        return std::make_unique<ValueEvaluator>(value->value);
    }
    const auto& matrix = std::get<MatrixEvaluatorOptions>(options);
    if (matrix.kind != EvaluatorKind::FeedbackDistance && matrix.kind != EvaluatorKind::FeedbackMarks &&
        matrix.kind != EvaluatorKind::LowerLeftDistance) {
        throw ConfigError("unrecognized evaluator options");
    }
    const std::uint64_t len = matrix.matrix.size();
    const auto d = static_cast<std::uint64_t>(std::sqrt(static_cast<double>(len)));
    if (d * d != len) {
        throw ConfigError("Vector should be of size dimensions^2. " + std::to_string(d) + "*" + std::to_string(d) +
                          " != " + std::to_string(len));
    }
    // The bit matrix depends on the cells only (d follows from their count).
    auto bits = std::static_pointer_cast<const BitMatrix>(matrix.matrix.derived(
        [&]() -> std::shared_ptr<const void> { return std::make_shared<const BitMatrix>(matrix.matrix, d); }));
    return std::make_unique<MatrixEvaluator>(matrix.kind, std::move(bits), matrix.offset.value_or(1));
}

}  // namespace ovila
