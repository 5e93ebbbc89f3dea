// Selectors: draw a parent population, with replacement.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "ovila/genetic/lineage.hpp"
#include "ovila/genetic/random.hpp"

namespace ovila::genetic {

enum class SelectorKind : std::uint8_t { Roulette = 0, Random = 1 };

class Selector {
public:
    virtual ~Selector() = default;
    // One chosen chromosome of `chromosomes` (after `prepare` on the same chromosomes).
    virtual const Chromosome& select(RandomSource& rng, std::span<const Chromosome> chromosomes) const = 0;
    // Brings the selector's scratch state up to date for these chromosomes.
    virtual void prepare(std::span<const Chromosome> chromosomes) = 0;
    // `target` (or the population's size) chosen chromosomes of `population`,
    // in draw order.
    std::vector<const Chromosome*> select_references(RandomSource& rng, const Population& population,
                                                     std::optional<std::uint64_t> target);
};

class RouletteSelector final : public Selector {
public:
    const Chromosome& select(RandomSource& rng, std::span<const Chromosome> chromosomes) const override;
    void prepare(std::span<const Chromosome> chromosomes) override;
    const std::vector<double>& cumulative() const { return cumulative_; }

private:
    std::vector<double> cumulative_;
    bool sorted_ = false;  // running sums non-decreasing and NaN-free: binary search is exact
};

class RandomSelector final : public Selector {
public:
    const Chromosome& select(RandomSource& rng, std::span<const Chromosome> chromosomes) const override;
    void prepare(std::span<const Chromosome>) override {}
};

std::unique_ptr<Selector> build_selector(SelectorKind kind);

// First index j with cumulative[j] >= t, or the last index when none qualifies:
// the linear scan and the binary search used when the sums are sorted.
std::size_t roulette_scan(std::span<const double> cumulative, double t);
std::size_t roulette_search(std::span<const double> cumulative, double t);

}  // namespace ovila::genetic
