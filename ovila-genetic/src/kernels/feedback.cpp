#include "ovila/genetic/kernels/feedback.hpp"

#include <algorithm>

#include "ovila/core/error.hpp"

namespace ovila::genetic::kernels {

namespace {

void check_bounds(const BitMatrix& bm, std::span<const std::uint64_t> genes) {
    for (const std::uint64_t g : genes) {
        if (g >= bm.n) {
            core::internal_error("Matrix index out of bounds.");
        }
    }
}

}  // namespace

std::uint64_t feedback_walk(const BitMatrix& bm, std::span<const std::uint64_t> genes, bool weighted) {
    check_bounds(bm, genes);
    const std::size_t len = genes.size();
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < len; ++i) {
        const Word* row = bm.row(genes[i]);
        for (std::size_t j = i + 1; j < len; ++j) {
            if (test_bit(row, genes[j])) {
                total += weighted ? static_cast<std::uint64_t>(j - i) : 1U;
            }
        }
    }
    return total;
}

std::uint64_t lower_left_walk(const BitMatrix& bm, std::span<const std::uint64_t> genes) {
    check_bounds(bm, genes);
    const std::uint64_t len = genes.size();
    std::uint64_t v = 0;
    for (std::uint64_t i = 0; i < len; ++i) {
        const Word* row = bm.row(genes[static_cast<std::size_t>(i)]);
        for (std::uint64_t j = 0; j < len; ++j) {
            if (test_bit(row, genes[static_cast<std::size_t>(j)])) {
                v += (len - 1 - i) + j;
            }
        }
    }
    return v;
}

bool ScoreScratch::distinct(std::span<const std::uint64_t> genes, std::uint64_t n) {
    if (++stamp_ == 0) {
        std::fill(stamps_.begin(), stamps_.end(), 0);
        stamp_ = 1;
    }
    bool distinct = true;
    for (const std::uint64_t g : genes) {
        if (g >= n) {
            core::internal_error("Matrix index out of bounds.");
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

FeedbackKernels feedback_kernels(core::Features features, const BitMatrix& bm) {
#if OVILA_AVX2_VARIANTS
    if (features.avx2 && bm.words >= 5) {
        return {&marks_avx2, &distance_avx2};
    }
#else
    static_cast<void>(features);
    static_cast<void>(bm);
#endif
    return {&marks_portable, &distance_portable};
}

}  // namespace ovila::genetic::kernels
