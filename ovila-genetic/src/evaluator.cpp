#include "ovila/genetic/evaluator.hpp"

#include <cmath>
#include <string>

#include "ovila/genetic/kernels/feedback.hpp"

namespace ovila::genetic {

namespace {

// All scores are formed modulo 2^64 and only then converted to a double.
std::uint64_t feedback_marks_total(std::uint64_t offset, std::uint64_t n, std::uint64_t m) {
    return (offset - m) + (n * (n - 1)) / 2;
}

std::uint64_t feedback_distance_total(std::uint64_t offset, std::uint64_t n, std::uint64_t w) {
    return (offset - w) + ((n * n - 1) * n) / 6;
}

std::uint64_t lower_left_total(std::uint64_t offset, std::uint64_t v) { return offset + v; }

double to_fitness(std::uint64_t value) { return static_cast<double>(value); }

}  // namespace

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

using kernels::BitMatrix;

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
// The three matrix scores. Sequences of distinct genes are scored by the fast
// kernels chosen for this processor; the others are walked cell by cell.
// Both give the same integer before conversion.
//
// The scratch makes `score` unsuitable for concurrent use; a run calls its
// evaluator from one thread only.
class MatrixEvaluator final : public Evaluator {
public:
    MatrixEvaluator(EvaluatorKind kind, std::shared_ptr<const BitMatrix> bits, std::uint64_t offset)
        : kind_(kind), offset_(offset), shared_bits_(std::move(bits)), bits_(*shared_bits_), scratch_(bits_),
          kernels_(kernels::feedback_kernels(core::features(), bits_)) {}

    double score(std::span<const Gene> genes) const override {
        const std::size_t len = genes.size();
        const std::uint64_t n = bits_.n;
        switch (kind_) {
            case EvaluatorKind::FeedbackMarks: {
                if (len == 0) {
                    core::internal_error("an empty gene sequence reached the FeedbackMarks evaluator");
                }
                // Fewer than two genes put no cell above the diagonal: nothing is looked at.
                std::uint64_t m = 0;
                if (len >= 2) {
                    const std::optional<std::uint64_t> fast = kernels_.marks(bits_, genes, scratch_);
                    m = fast ? *fast : kernels::feedback_walk(bits_, genes, false);
                }
                return to_fitness(feedback_marks_total(offset_, n, m));
            }
            case EvaluatorKind::FeedbackDistance: {
                if (len == 0) {
                    core::internal_error("an empty gene sequence reached the FeedbackDistance evaluator");
                }
                std::uint64_t w = 0;
                if (len >= 2) {
                    const std::optional<std::uint64_t> fast = kernels_.distance(bits_, genes, scratch_);
                    w = fast ? *fast : kernels::feedback_walk(bits_, genes, true);
                }
                return to_fitness(feedback_distance_total(offset_, n, w));
            }
            case EvaluatorKind::LowerLeftDistance: {
                const std::uint64_t v = len >= 1 ? kernels::lower_left_fast(bits_, genes, scratch_) : 0;
                return to_fitness(lower_left_total(offset_, v));
            }
            case EvaluatorKind::Value:
                break;
        }
        core::internal_error("matrix evaluator built with a non-matrix kind");
    }

private:
    EvaluatorKind kind_;
    std::uint64_t offset_;
    std::shared_ptr<const BitMatrix> shared_bits_;  // shared with every evaluator of the same cells
    const BitMatrix& bits_;
    mutable kernels::ScoreScratch scratch_;
    kernels::FeedbackKernels kernels_;
};

}  // namespace

std::unique_ptr<Evaluator> build_evaluator(const EvaluatorOptions& options) {
    if (const auto* value = std::get_if<ValueEvaluatorOptions>(&options)) {
        return std::make_unique<ValueEvaluator>(value->value);
    }
    const auto& matrix = std::get<MatrixEvaluatorOptions>(options);
    if (matrix.kind != EvaluatorKind::FeedbackDistance && matrix.kind != EvaluatorKind::FeedbackMarks &&
        matrix.kind != EvaluatorKind::LowerLeftDistance) {
        throw core::ConfigError("unrecognized evaluator options");
    }
    const std::uint64_t len = matrix.matrix.size();
    const auto d = static_cast<std::uint64_t>(std::sqrt(static_cast<double>(len)));
    if (d * d != len) {
        throw core::ConfigError("Vector should be of size dimensions^2. " + std::to_string(d) + "*" + std::to_string(d) +
                          " != " + std::to_string(len));
    }
    // The bit matrix depends on the cells only (d follows from their count).
    auto bits = std::static_pointer_cast<const BitMatrix>(matrix.matrix.derived(
        [&]() -> std::shared_ptr<const void> { return std::make_shared<const BitMatrix>(matrix.matrix, d); }));
    return std::make_unique<MatrixEvaluator>(matrix.kind, std::move(bits), matrix.offset.value_or(1));
}

}  // namespace ovila::genetic
