// Every variant of every kernel against its plain reference, on this machine:
// the AVX2 variants where the processor has AVX2, the portable ones always.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <numeric>
#include <set>
#include <string>

#include "ovila/core/error.hpp"
#include "ovila/genetic/kernels/feedback.hpp"
#include "ovila/genetic/kernels/ipx.hpp"
#include "test_support.hpp"

namespace ovila::genetic {
namespace {

std::vector<kernels::FeedbackKernels> feedback_variants() {
    std::vector<kernels::FeedbackKernels> variants = {{&kernels::marks_portable, &kernels::distance_portable}};
#if OVILA_AVX2_VARIANTS
    if (core::detected_features().avx2) variants.push_back({&kernels::marks_avx2, &kernels::distance_avx2});
#endif
    return variants;
}

// Widths 1 to 20 words (small kernels of every width, both sides of the
// vector threshold, and the large ones); permutations, distinct subsets and
// sequences with repeated genes.
TEST(Kernels, FeedbackScoresMatchTheWalk) {
    Xoshiro256 rng({15, 1, 5, 9});
    const auto variants = feedback_variants();
    for (std::uint64_t words = 1; words <= 20; ++words) {
        const std::uint64_t n = 64 * words - rng.below(64);
        std::vector<double> cells(n * n, 0.0);
        for (double& cell : cells) {
            const std::uint64_t r = rng.below(10);
            cell = r == 0 ? 1.0 : r == 1 ? std::numeric_limits<double>::quiet_NaN() : r == 2 ? -0.0 : 0.0;
        }
        const kernels::BitMatrix bm(cells, n);
        kernels::ScoreScratch scratch(bm);
        for (int round = 0; round < 12; ++round) {
            Genes genes(n);
            std::iota(genes.begin(), genes.end(), Gene{0});
            for (std::size_t i = 0; i + 1 < n; ++i) {
                std::swap(genes[i], genes[rng.range(i, n)]);
            }
            const int shape = round % 3;
            if (shape == 1) genes.resize(2 * words + rng.below(n - 2 * words + 1));
            if (shape == 2) genes[rng.below(n)] = genes[rng.below(n)];
            const bool distinct = shape != 2 || std::set<Gene>(genes.begin(), genes.end()).size() == genes.size();
            for (const bool weighted : {false, true}) {
                const std::uint64_t expected = kernels::feedback_walk(bm, genes, weighted);
                for (const auto& variant : variants) {
                    const auto fast = (weighted ? variant.distance : variant.marks)(bm, genes, scratch);
                    ASSERT_EQ(fast.has_value(), distinct) << "words " << words << " round " << round;
                    if (fast) {
                        ASSERT_EQ(*fast, expected) << "words " << words << " round " << round;
                    }
                }
            }
            ASSERT_EQ(kernels::lower_left_fast(bm, genes, scratch), kernels::lower_left_walk(bm, genes));
        }
        // Too short for word operations: every variant leaves it to the walk.
        const Genes few = {0, 1};
        for (const auto& variant : variants) {
            EXPECT_EQ(variant.marks(bm, few, scratch).has_value(), words == 1);
        }
        const Genes outside = {0, n, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22,
                               23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40};
        for (const auto& variant : variants) {
            EXPECT_THROW(variant.marks(bm, outside, scratch), core::InternalError);
            EXPECT_THROW(variant.distance(bm, outside, scratch), core::InternalError);
        }
        EXPECT_THROW(kernels::feedback_walk(bm, outside, false), core::InternalError);
    }
}

std::string fill_failure(auto&& fill) {
    try {
        fill();
    } catch (const core::InternalError& e) {
        return e.what();
    }
    return "";
}

// Permutations, repeated and missing values, lengths that differ and values
// far above the length; masks from sparse to dense. The children come with
// stale values, which must all be overwritten.
TEST(Kernels, IpxFillMatchesTheReference) {
    using Values = std::vector<std::uint64_t>;
    Xoshiro256 rng({27, 18, 28, 18});
    kernels::IpxScratch scratch;
    for (int round = 0; round < 2000; ++round) {
        const std::size_t n = static_cast<std::size_t>(rng.below(round < 1500 ? 20 : 300));
        Values a(n);
        std::iota(a.begin(), a.end(), std::uint64_t{0});
        Values b = a;
        for (std::size_t i = 0; i + 1 < n; ++i) {
            std::swap(a[i], a[rng.range(i, n)]);
            std::swap(b[i], b[rng.range(i, n)]);
        }
        const std::uint64_t shape = rng.below(5);
        if (shape == 1) {
            for (std::uint64_t& g : a) g = rng.below(n + 3);
            for (std::uint64_t& g : b) g = rng.below(n + 3);
        } else if (shape == 2) {
            a.resize(static_cast<std::size_t>(rng.below(n + 1)));
        } else if (shape == 3) {
            for (std::uint64_t& g : a) g += std::uint64_t{1} << 62;
            for (std::uint64_t& g : b) g += std::uint64_t{1} << 62;
        }
        std::vector<kernels::Word> keep((a.size() + 63) / 64);
        const std::uint64_t density = rng.below(4);
        for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
            if (rng.below(4) < density) kernels::set_bit(keep.data(), i);
        }
        Values ref1(a.size(), 7);
        Values ref2(a.size(), 7);
        Values fast1(a.size(), 7);
        Values fast2(a.size(), 7);
        const std::string ref_failure = fill_failure([&] { kernels::ipx_fill_reference(a, b, keep, ref1, ref2); });
        const std::string failure = fill_failure([&] { kernels::ipx_fill(a, b, keep, fast1, fast2, scratch); });
        ASSERT_EQ(failure, ref_failure) << "round " << round;
        if (failure.empty()) {
            ASSERT_EQ(fast1, ref1) << "round " << round;
            ASSERT_EQ(fast2, ref2) << "round " << round;
        }
    }
}

TEST(Kernels, IpxChildrenMustBeAsLongAsTheFirstParent) {
    const std::vector<std::uint64_t> a = {0, 1, 2};
    const std::vector<std::uint64_t> b = {2, 1, 0};
    const std::vector<kernels::Word> keep = {0b010};
    kernels::IpxScratch scratch;
    std::vector<std::uint64_t> right(3);
    std::vector<std::uint64_t> short_child(2);
    const std::string expected = "IPX children must be as long as the first parent";
    EXPECT_EQ(fill_failure([&] { kernels::ipx_fill(a, b, keep, right, short_child, scratch); }), expected);
    EXPECT_EQ(fill_failure([&] { kernels::ipx_fill_reference(a, b, keep, short_child, right); }), expected);
    std::vector<std::uint64_t> other(3);
    kernels::ipx_fill(a, b, keep, right, other, scratch);
    EXPECT_EQ(right, (std::vector<std::uint64_t>{2, 1, 0}));
    EXPECT_EQ(other, (std::vector<std::uint64_t>{0, 1, 2}));
}

}  // namespace
}  // namespace ovila::genetic
