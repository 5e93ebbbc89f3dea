#include <gtest/gtest.h>

#include <limits>
#include <numeric>
#include <thread>

#include "ovila/core/error.hpp"
#include "ovila/genetic/evaluator.hpp"
#include "ovila/core/features.hpp"
#include "ovila/genetic/random.hpp"
#include "test_support.hpp"

namespace ovila::genetic {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr EvaluatorKind FM = EvaluatorKind::FeedbackMarks;
constexpr EvaluatorKind FD = EvaluatorKind::FeedbackDistance;
constexpr EvaluatorKind LL = EvaluatorKind::LowerLeftDistance;

double score(EvaluatorKind kind, const std::vector<double>& cells, const Genes& genes,
             std::optional<std::uint64_t> offset = std::nullopt) {
    return build_evaluator(MatrixEvaluatorOptions{offset, cells, kind})->score(genes);
}

// The formulas walked cell by cell over the row-major matrix (an index
// outside the matrix is an internal error), modulo 2^64.
double direct(EvaluatorKind kind, std::span<const double> cells, std::uint64_t n, std::uint64_t offset,
              std::span<const Gene> genes) {
    const std::uint64_t len = genes.size();
    std::uint64_t sum = 0;
    for (std::uint64_t i = 0; i < len; ++i) {
        for (std::uint64_t j = kind == LL ? 0 : i + 1; j < len; ++j) {
            if (genes[i] >= n || genes[j] >= n) throw core::InternalError("Matrix index out of bounds.");
            if (cells[genes[i] * n + genes[j]] == 0.0) continue;
            sum += kind == FM ? 1 : kind == FD ? j - i : (len - 1 - i) + j;
        }
    }
    const std::uint64_t total = kind == FM   ? (offset - sum) + n * (n - 1) / 2
                                : kind == FD ? (offset - sum) + ((n * n - 1) * n) / 6
                                             : offset + sum;
    return static_cast<double>(total);
}

// The evaluator built under each processor-feature choice this machine
// allows (portable kernels only, and every feature it has).
std::vector<std::unique_ptr<Evaluator>> under_each_features(const EvaluatorOptions& options) {
    std::vector<std::unique_ptr<Evaluator>> built;
    const core::Features previous = core::set_features({false});
    built.push_back(build_evaluator(options));
    core::set_features(core::detected_features());
    built.push_back(build_evaluator(options));
    core::set_features(previous);
    return built;
}

std::string refusal(EvaluatorOptions options) {
    try {
        build_evaluator(options);
    } catch (const core::ConfigError& e) {
        return e.what();
    }
    return "(accepted)";
}

TEST(BuildEvaluator, RefusalsAndConstant) {
    EXPECT_EQ(refusal(MatrixEvaluatorOptions{std::nullopt, std::vector<double>(10), FM}),
              "Vector should be of size dimensions^2. 3*3 != 10");
    EXPECT_EQ(refusal(MatrixEvaluatorOptions{std::nullopt, std::vector<double>(9), FM}), "(accepted)");
    // The kind is checked before the matrix.
    EXPECT_EQ(refusal(MatrixEvaluatorOptions{std::nullopt, std::vector<double>(10), EvaluatorKind::Value}),
              "unrecognized evaluator options");
    EXPECT_EQ(score(LL, {}, {}, 5), 5.0);  // an empty matrix is 0x0

    auto constant = build_evaluator(ValueEvaluatorOptions{2.5, FM});
    std::vector<Chromosome> chromosomes;
    chromosomes.emplace_back(Genes{0});
    chromosomes.emplace_back(-7.0, Genes{1});
    constant->evaluate_population(chromosomes);
    EXPECT_EQ(chromosomes[0].fitness, 2.5);
    EXPECT_EQ(chromosomes[1].fitness, -7.0);  // present values are kept
}

// 3x3 with marks at (0,1) and (1,2).
const std::vector<double> kChain = {0, 1, 0, 0, 0, 1, 0, 0, 0};

TEST(MatrixEvaluators, ChainMatrixScores) {
    EXPECT_EQ(score(FM, kChain, {0, 1, 2}), 2.0);
    EXPECT_EQ(score(FD, kChain, {0, 1, 2}), 3.0);
    EXPECT_EQ(score(LL, kChain, {0, 1, 2}), 7.0);
    EXPECT_EQ(score(FM, kChain, {2, 1, 0}), 4.0);
    EXPECT_EQ(score(FD, kChain, {2, 1, 0}), 5.0);
    EXPECT_EQ(score(LL, kChain, {2, 1, 0}), 3.0);
    EXPECT_EQ(score(FD, kChain, {0, 2, 1}), 3.0);
    EXPECT_EQ(score(FM, kChain, {2, 1, 0}, 10), 13.0);

    std::vector<double> diagonal = kChain;
    diagonal[4] = 1;  // cell (1,1)
    for (const Genes& genes : {Genes{0, 1, 2}, Genes{1, 0, 2}, Genes{2, 1}}) {
        EXPECT_EQ(score(FM, diagonal, genes), score(FM, kChain, genes));
        EXPECT_EQ(score(FD, diagonal, genes), score(FD, kChain, genes));
        EXPECT_EQ(score(LL, diagonal, genes), score(LL, kChain, genes) + static_cast<double>(genes.size() - 1));
    }

    EXPECT_EQ(score(FM, {0, kNaN, 0, 0}, {0, 1}, 0), 0.0);
    EXPECT_EQ(score(FM, {0, -0.0, 0, 0}, {0, 1}, 0), 1.0);
    EXPECT_EQ(score(LL, {0, kNaN, 0, 0}, {0, 1}, 0), 2.0);
    EXPECT_EQ(score(LL, {0, -0.0, 0, 0}, {0, 1}, 0), 0.0);
}

TEST(MatrixEvaluators, EveryFeedbackCellMarked) {
    const std::uint64_t n = 70;
    std::vector<double> upper(n * n, 0.0);
    for (std::uint64_t r = 0; r < n; ++r) {
        for (std::uint64_t c = r + 1; c < n; ++c) {
            upper[r * n + c] = 1.0;
        }
    }
    Genes identity(n);
    std::iota(identity.begin(), identity.end(), Gene{0});
    EXPECT_EQ(score(FM, upper, identity, 0), 0.0);
    EXPECT_EQ(score(FD, upper, identity, 0), 0.0);
    const Genes reversed(identity.rbegin(), identity.rend());
    EXPECT_EQ(score(FM, upper, reversed, 0), 2415.0);   // n(n-1)/2
    EXPECT_EQ(score(FD, upper, reversed, 0), 57155.0);  // (n*n-1)n/6
}

TEST(MatrixEvaluators, ShortSequencesAndBounds) {
    // One gene looks at no cell for the feedback scores; an empty sequence
    // cannot reach them in a run and is an internal error.
    EXPECT_EQ(score(FM, kChain, {99}), 4.0);
    EXPECT_EQ(score(FD, kChain, {99}), 5.0);
    EXPECT_THROW(score(FM, kChain, {}), core::InternalError);
    EXPECT_THROW(score(FD, kChain, {}), core::InternalError);
    EXPECT_EQ(score(LL, kChain, {}), 1.0);
    EXPECT_THROW(score(LL, kChain, {3}), core::InternalError);

    for (const EvaluatorKind kind : {FM, FD, LL}) {
        for (const Genes& genes : {Genes{0, 3}, Genes{1, 1, 7}, Genes{0, 1, 2, ~Gene{0}}}) {
            try {
                score(kind, kChain, genes);
                ADD_FAILURE() << "no error";
            } catch (const core::InternalError& e) {
                EXPECT_STREQ(e.what(), "Matrix index out of bounds.");
            }
            EXPECT_THROW(direct(kind, kChain, 3, 1, genes), core::InternalError);
        }
    }
}

// The evaluators score with word operations and keep scratch state between
// calls; the reference walks read every cell. Both must agree exactly.
TEST(MatrixEvaluators, AgreeWithTheDirectFormulas) {
    Xoshiro256 rng({2024, 7, 31, 5});
    const std::uint64_t sizes[] = {0, 1, 2, 3, 5, 8, 31, 63, 64, 65, 130, 192, 200, 256, 257, 300, 1030};
    constexpr int kSizes = sizeof(sizes) / sizeof(sizes[0]);
    for (int round = 0; round < 2200 + 5 * kSizes; ++round) {
        const std::uint64_t n = round < 2200 ? sizes[round % 11] % 9 + rng.below(3) : sizes[round % kSizes];
        // From empty to full, with NaN, -0.0 and diagonal cells.
        const double density = rng.uniform();
        std::vector<double> cells(n * n);
        for (double& cell : cells) {
            const double marks[] = {kNaN, -1.5, 1.0};
            cell = rng.uniform() >= density ? (rng.bit() ? 0.0 : -0.0) : marks[rng.below(3)];
        }
        const std::uint64_t offsets[] = {0, 1, ~std::uint64_t{0} - rng.below(64), rng.next_u64()};
        const std::uint64_t offset = offsets[rng.below(4)];
        std::vector<std::unique_ptr<Evaluator>> evaluators;
        for (const EvaluatorKind kind : {FM, FD, LL}) {
            evaluators.push_back(build_evaluator(MatrixEvaluatorOptions{offset, cells, kind}));
        }
        for (int seq = 0; seq < 6; ++seq) {
            Genes genes(n);
            std::iota(genes.begin(), genes.end(), Gene{0});
            for (std::uint64_t i = 0; i + 1 < n; ++i) {
                std::swap(genes[i], genes[rng.range(i, n)]);
            }
            if (seq == 1 || seq == 2) {
                genes.resize(rng.below(n + 1));  // partial permutation
            } else if (seq >= 3 && n > 0) {
                // Repeated genes, possibly more than n of them: the sums then wrap.
                genes.resize(rng.below(2 * n + 4));
                for (Gene& g : genes) {
                    g = rng.below(seq == 5 ? std::min<std::uint64_t>(n, 2) : n);
                }
            }
            for (std::size_t k = 0; k < 3; ++k) {
                const EvaluatorKind kind = k == 0 ? FM : k == 1 ? FD : LL;
                if (genes.empty() && kind != LL) {
                    continue;  // an internal error, checked above
                }
                ASSERT_EQ(evaluators[k]->score(genes), direct(kind, cells, n, offset, genes))
                    << "n=" << n << " L=" << genes.size() << " kind=" << k << " round=" << round;
            }
        }
    }
}

// Evaluators of the same shared cells (copies of one record) reuse one bit
// matrix, built once even when the builds race; every kind and offset still
// scores as the direct formulas do.
TEST(MatrixEvaluators, SharedCellsBuildTheirBitMatrixOnce) {
    Xoshiro256 rng({77, 1, 2, 3});
    const std::uint64_t n = 300;
    std::vector<double> cells(n * n);
    for (double& cell : cells) {
        cell = rng.below(10) == 0 ? 1.0 : 0.0;
    }
    const SharedCells shared(cells);
    std::vector<std::unique_ptr<Evaluator>> built(8);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < built.size(); ++t) {
        threads.emplace_back([&, t] {
            const EvaluatorKind kind = t % 3 == 0 ? FM : t % 3 == 1 ? FD : LL;
            built[t] = build_evaluator(MatrixEvaluatorOptions{t, SharedCells(shared), kind});
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int round = 0; round < 3; ++round) {
        Genes genes(n);
        std::iota(genes.begin(), genes.end(), Gene{0});
        for (std::uint64_t i = 0; i + 1 < n; ++i) {
            std::swap(genes[i], genes[rng.range(i, n)]);
        }
        for (std::size_t t = 0; t < built.size(); ++t) {
            const EvaluatorKind kind = t % 3 == 0 ? FM : t % 3 == 1 ? FD : LL;
            EXPECT_EQ(built[t]->score(genes), direct(kind, cells, n, t, genes)) << "t=" << t;
        }
    }
    // The refusal of a non-square count is unchanged for shared cells.
    const SharedCells wrong(std::vector<double>(8, 1.0));
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(refusal(MatrixEvaluatorOptions{std::nullopt, wrong, FM}),
                  "Vector should be of size dimensions^2. 2*2 != 8");
    }
}

// Every row length from 1 to 16 words (the register-held kernels, portable
// and vector, under each feature choice), at both ends of each length:
// permutations, partial permutations, repeated genes and an index out of
// bounds at any position.
TEST(MatrixEvaluators, AgreeWithTheDirectFormulasForEachShortRowLength) {
    Xoshiro256 rng({16, 5, 2025, 3});
    for (std::uint64_t words = 1; words <= 16; ++words) {
        for (const std::uint64_t n : {64 * words - 63, 64 * words - rng.below(63), 64 * words}) {
            std::vector<double> cells(n * n);
            const double density = 0.02 + 0.5 * rng.uniform();
            for (double& cell : cells) {
                cell = rng.uniform() < density ? 1.0 : 0.0;
            }
            const std::uint64_t offset = rng.next_u64();
            for (const EvaluatorKind kind : {FM, FD}) {
                for (const auto& evaluator : under_each_features(MatrixEvaluatorOptions{offset, cells, kind})) {
                    for (int seq = 0; seq < 5; ++seq) {
                        Genes genes(n);
                        std::iota(genes.begin(), genes.end(), Gene{0});
                        for (std::uint64_t i = 0; i + 1 < n; ++i) {
                            std::swap(genes[i], genes[rng.range(i, n)]);
                        }
                        if (seq == 1) {
                            genes.resize(std::min(n, 2 * words + rng.below(n + 1)));
                        } else if (seq == 2) {
                            genes[rng.below(n)] = genes[rng.below(n)];
                        } else if (seq == 3) {
                            genes.resize(n + 1 + rng.below(n));
                            for (Gene& g : genes) {
                                g = rng.below(n);
                            }
                        }
                        if (seq == 4) {
                            if (n < 2) {
                                continue;  // a single gene looks at no cell
                            }
                            genes[rng.below(n)] = n + rng.below(3);
                            EXPECT_THROW(evaluator->score(genes), core::InternalError) << "n=" << n;
                            continue;
                        }
                        ASSERT_EQ(evaluator->score(genes), direct(kind, cells, n, offset, genes))
                            << "n=" << n << " L=" << genes.size() << " seq=" << seq;
                    }
                }
            }
        }
    }
}

// Rows of more than 124 words: the vector kernel folds its byte counts more
// than once per gene.
TEST(MatrixEvaluators, AgreeWithTheDirectFormulasOnLongRows) {
    Xoshiro256 rng({8, 6, 7, 5});
    const std::uint64_t n = 8200;
    std::vector<double> cells(n * n, 0.0);
    for (double& cell : cells) {
        cell = rng.below(16) == 0 ? 1.0 : 0.0;
    }
    Genes genes(n);
    std::iota(genes.begin(), genes.end(), Gene{0});
    for (std::uint64_t i = 0; i + 1 < n; ++i) {
        std::swap(genes[i], genes[rng.range(i, n)]);
    }
    for (const EvaluatorKind kind : {FM, FD}) {
        for (const auto& evaluator : under_each_features(MatrixEvaluatorOptions{7, cells, kind})) {
            EXPECT_EQ(evaluator->score(genes), direct(kind, cells, n, 7, genes));
        }
    }
}

}  // namespace
}  // namespace ovila::genetic
