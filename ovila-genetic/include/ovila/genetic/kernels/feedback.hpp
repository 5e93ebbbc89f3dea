// Scoring an order against a bit matrix. For the genes s_0 .. s_{L-1}:
//   marks:      m = the marks (s_i, s_j) with i < j
//   distance:   w = the sum of j - i over those marks
//   lower left: v = the sum of (L-1-i) + j over every mark (s_i, s_j)
// all modulo 2^64. A gene outside the matrix is an internal error.
//
// Each score has a plain reference (a cell-by-cell walk) and fast variants
// that take word operations over the bit rows; the fast ones give up
// (nothing) on a sequence that repeats a gene or is too short for word
// operations to pay, and the caller walks instead.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "ovila/genetic/kernels/bit_matrix.hpp"
#include "ovila/core/features.hpp"

namespace ovila::genetic::kernels {

// Reference walks: any sequence of genes, repeated ones too.
std::uint64_t feedback_walk(const BitMatrix& bm, std::span<const std::uint64_t> genes, bool weighted);
std::uint64_t lower_left_walk(const BitMatrix& bm, std::span<const std::uint64_t> genes);

// Working memory of the fast variants, reused from call to call (so one per
// thread): a set of placed genes and the marks that tell repeated genes.
class ScoreScratch {
public:
    explicit ScoreScratch(const BitMatrix& bm)
        : placed_(bm.words, 0), stamps_(static_cast<std::size_t>(bm.n), 0) {}

    Word* placed() { return placed_.data(); }
    // Whether the genes are pairwise distinct; every gene is looked at and
    // one outside the matrix is an internal error.
    bool distinct(std::span<const std::uint64_t> genes, std::uint64_t n);

private:
    std::vector<Word> placed_;
    std::vector<std::uint64_t> stamps_;
    std::uint64_t stamp_ = 0;
};

// Word operations cost about L * words, the walk about L * L / 2 cell tests.
inline bool words_pay(const BitMatrix& bm, std::size_t len) { return 2 * bm.words <= len; }

// m (weighted: w) of distinct genes, or nothing.
using FeedbackKernel = std::optional<std::uint64_t> (*)(const BitMatrix& bm, std::span<const std::uint64_t> genes,
                                                        ScoreScratch& scratch);

struct FeedbackKernels {
    FeedbackKernel marks;
    FeedbackKernel distance;
};

// The fastest variants for the given features and matrix (the AVX2 ones pay
// from 5 words per bit row on).
FeedbackKernels feedback_kernels(core::Features features, const BitMatrix& bm);

// The portable variants (also used by the AVX2 ones for what AVX2 does not
// speed up).
std::optional<std::uint64_t> marks_portable(const BitMatrix& bm, std::span<const std::uint64_t> genes, ScoreScratch& scratch);
std::optional<std::uint64_t> distance_portable(const BitMatrix& bm, std::span<const std::uint64_t> genes,
                                               ScoreScratch& scratch);
#if OVILA_AVX2_VARIANTS
std::optional<std::uint64_t> marks_avx2(const BitMatrix& bm, std::span<const std::uint64_t> genes, ScoreScratch& scratch);
std::optional<std::uint64_t> distance_avx2(const BitMatrix& bm, std::span<const std::uint64_t> genes, ScoreScratch& scratch);
#endif

// v with word operations (a full permutation from the precomputed row and
// column counts); any sequence, repeated genes walk.
std::uint64_t lower_left_fast(const BitMatrix& bm, std::span<const std::uint64_t> genes, ScoreScratch& scratch);

}  // namespace ovila::genetic::kernels
