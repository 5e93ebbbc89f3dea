// Fitness functions: three scores of an order against a dependency matrix and
// a constant.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "ovila/core/error.hpp"
#include "ovila/genetic/lineage.hpp"

namespace ovila::genetic {

class Evaluator {
public:
    virtual ~Evaluator() = default;
    // Fitness of a gene sequence. Pure as far as callers can see.
    virtual double score(std::span<const Gene> genes) const = 0;
    // Fills an absent fitness with `score`; returns the (now present) fitness.
    double evaluate(Chromosome& chromosome) const;
    // `evaluate` for each chromosome in order.
    void evaluate_population(std::span<Chromosome> chromosomes) const;
};

enum class EvaluatorKind : std::uint8_t { FeedbackDistance = 0, FeedbackMarks = 1, LowerLeftDistance = 2, Value = 3 };

// The flat row-major cells of a matrix, immutable and shared between copies:
// copying a record that holds them (as every crossing of the Python boundary
// does) copies no cell. The shared block also keeps what the evaluators derive
// from the cells alone (built once, on first use, by `derived`), so that runs
// with the same cells do not derive it again.
class SharedCells {
public:
    SharedCells() = default;
    SharedCells(std::vector<double> cells)  // NOLINT: implicit, a matrix is its cells
        : block_(std::make_shared<const Block>(std::move(cells))) {}

    const std::vector<double>& values() const { return block_ ? block_->cells : empty(); }
    std::size_t size() const { return values().size(); }
    operator std::span<const double>() const { return values(); }  // NOLINT

    // The value `build()` returns, built at most once per shared block (safe
    // from any thread; a build that throws is retried by the next caller);
    // without a block, built on every call.
    template <class Build>
    std::shared_ptr<const void> derived(Build&& build) const {
        if (!block_) {
            return build();
        }
        std::call_once(block_->once, [&] { block_->derived = build(); });
        return block_->derived;
    }

private:
    struct Block {
        explicit Block(std::vector<double> values) : cells(std::move(values)) {}
        std::vector<double> cells;
        mutable std::once_flag once;
        mutable std::shared_ptr<const void> derived;
    };
    static const std::vector<double>& empty() {
        static const std::vector<double> none;
        return none;
    }
    std::shared_ptr<const Block> block_;
};

// The choice a caller makes: a matrix evaluator or a constant.
struct MatrixEvaluatorOptions {
    std::optional<std::uint64_t> offset;
    SharedCells matrix;  // row-major, n*n
    EvaluatorKind kind = EvaluatorKind::FeedbackDistance;
};
struct ValueEvaluatorOptions {
    double value = 0.0;
    EvaluatorKind kind = EvaluatorKind::Value;
};
using EvaluatorOptions = std::variant<MatrixEvaluatorOptions, ValueEvaluatorOptions>;

// Builds the engine evaluator, or throws core::ConfigError ("unrecognized evaluator
// options", "Vector should be of size dimensions^2. d*d != len").
std::unique_ptr<Evaluator> build_evaluator(const EvaluatorOptions& options);

}  // namespace ovila::genetic
