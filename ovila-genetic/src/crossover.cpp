#include "crossover.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_set>

namespace ovila {

namespace {

// Fills the free positions of `child`, in order, with the genes of `donor`
// that `insert` reports as not seen before.
template <class Insert>
void ipx_fill(Genes& child, std::span<const Gene> donor, const std::vector<std::uint8_t>& keep, Insert&& insert) {
    const std::size_t len = child.size();
    std::size_t cursor = 0;
    for (const Gene g : donor) {
        if (!insert(g)) {
            continue;
        }
        while (cursor < len && keep[cursor] != 0) {
            ++cursor;
        }
        if (cursor >= len) {
            internal_error("IPX crossover has no free position left for a gene");
        }
        child[cursor++] = g;
    }
}

// -1 < x < 2^64, NaN excluded; then truncated toward zero.
Gene gene_from_real(double x) {
    if (!(x > -1.0 && x < 0x1.0p64)) {
        internal_error("crossover produced a gene value outside the unsigned 64-bit range");
    }
    return static_cast<Gene>(x);
}

void reserve_chromosomes(std::vector<Chromosome>& chromosomes, std::uint64_t count) {
    if (count < chromosomes.max_size()) {
        chromosomes.reserve(static_cast<std::size_t>(count));
    }
}

// Algorithm shared by both crossover_population overloads. With `Move`, an
// uncrossed pair is moved out of `parents`; the caller guarantees no pair is
// visited twice.
template <bool Move, class Parents>
std::vector<Chromosome> breed(const Crossover& crossover, RandomSource& rng, Parents& parents,
                              std::optional<std::uint64_t> target, double p_crossover) {
    const std::uint64_t count = target.value_or(parents.size());
    std::vector<Chromosome> result;
    if (count == 0) {
        return result;
    }
    const std::size_t pairs = parents.size() / 2;
    if (pairs == 0) {
        internal_error("crossover needs at least two parents to make a non-empty population");
    }
    reserve_chromosomes(result, count + 1);
    std::size_t pair = 0;
    while (result.size() < count) {
        auto& first = parents[2 * pair];
        auto& second = parents[2 * pair + 1];
        const double u = rng.uniform();
        if (u <= p_crossover) {
            auto children = crossover.cross_chromosomes(rng, first, second);
            result.push_back(std::move(children.first));
            result.push_back(std::move(children.second));
        } else if constexpr (Move) {
            result.push_back(std::move(first));
            result.push_back(std::move(second));
        } else {
            result.push_back(first);
            result.push_back(second);
        }
        if (++pair == pairs) {
            pair = 0;
        }
    }
    return result;
}

}  // namespace

std::pair<Chromosome, Chromosome> Crossover::cross_chromosomes(RandomSource& rng, const Chromosome& parent1,
                                                               const Chromosome& parent2) const {
    auto children = cross(rng, parent1.genes, parent2.genes);
    return {Chromosome(std::move(children.first)), Chromosome(std::move(children.second))};
}

std::vector<Chromosome> Crossover::crossover_population(RandomSource& rng, std::span<const Chromosome> parents,
                                                        std::optional<std::uint64_t> target,
                                                        double p_crossover) const {
    return breed<false>(*this, rng, parents, target, p_crossover);
}

std::vector<Chromosome> Crossover::crossover_population(RandomSource& rng, std::vector<Chromosome>&& parents,
                                                        std::optional<std::uint64_t> target,
                                                        double p_crossover) const {
    const std::uint64_t count = target.value_or(parents.size());
    const std::uint64_t paired = 2 * static_cast<std::uint64_t>(parents.size() / 2);
    if (paired >= count) {
        return breed<true>(*this, rng, parents, target, p_crossover);
    }
    return breed<false>(*this, rng, parents, target, p_crossover);
}

std::pair<Genes, Genes> IpxCrossover::cross(RandomSource& rng, std::span<const Gene> genes1,
                                            std::span<const Gene> genes2) const {
    const std::size_t len1 = genes1.size();
    const std::size_t len2 = genes2.size();
    Genes child1(len1, 0);
    Genes child2(len1, 0);
    keep_.assign(len1, 0);

    // Genes of permutations are small: per-gene stamps then replace hash sets.
    Gene largest = 0;
    for (const Gene g : genes1) {
        largest = std::max(largest, g);
    }
    for (const Gene g : genes2) {
        largest = std::max(largest, g);
    }
    const std::uint64_t flat_limit = 4 * static_cast<std::uint64_t>(std::max(len1, len2)) + 4096;
    const bool flat = largest < flat_limit;

    std::unordered_set<Gene> set1;
    std::unordered_set<Gene> set2;
    if (flat) {
        const auto size = static_cast<std::size_t>(largest) + 1;
        if (seen1_.size() < size) {
            seen1_.resize(size, 0);
            seen2_.resize(size, 0);
        }
        if (++stamp_ == 0) {
            std::fill(seen1_.begin(), seen1_.end(), 0);
            std::fill(seen2_.begin(), seen2_.end(), 0);
            stamp_ = 1;
        }
    } else {
        set1.reserve(len1);
        set2.reserve(len1);
    }
    const std::uint32_t stamp = stamp_;
    auto add1 = [&](Gene g) {
        if (!flat) {
            return set1.insert(g).second;
        }
        std::uint32_t& seen = seen1_[static_cast<std::size_t>(g)];
        const bool fresh = seen != stamp;
        seen = stamp;
        return fresh;
    };
    auto add2 = [&](Gene g) {
        if (!flat) {
            return set2.insert(g).second;
        }
        std::uint32_t& seen = seen2_[static_cast<std::size_t>(g)];
        const bool fresh = seen != stamp;
        seen = stamp;
        return fresh;
    };

    for (std::size_t i = 0; i < len1; ++i) {
        if (rng.bit()) {
            if (i >= len2) {
                internal_error("IPX crossover kept a position beyond the second parent");
            }
            child1[i] = genes1[i];
            child2[i] = genes2[i];
            keep_[i] = 1;
            add1(genes1[i]);
            add2(genes2[i]);
        }
    }
    ipx_fill(child1, genes2, keep_, add1);
    ipx_fill(child2, genes1, keep_, add2);
    return {std::move(child1), std::move(child2)};
}

std::pair<Genes, Genes> PointCrossover::cross(RandomSource& rng, std::span<const Gene> genes1,
                                              std::span<const Gene> genes2) const {
    const std::size_t shorter = std::min(genes1.size(), genes2.size());
    if (shorter < 3) {
        internal_error("point crossover needs parents of at least 3 genes");
    }
    const auto cut = static_cast<std::size_t>(rng.range(1, shorter - 1));
    Genes child1;
    Genes child2;
    child1.reserve(cut + (genes2.size() - cut));
    child2.reserve(cut + (genes1.size() - cut));
    child1.insert(child1.end(), genes1.begin(), genes1.begin() + static_cast<std::ptrdiff_t>(cut));
    child1.insert(child1.end(), genes2.begin() + static_cast<std::ptrdiff_t>(cut), genes2.end());
    child2.insert(child2.end(), genes2.begin(), genes2.begin() + static_cast<std::ptrdiff_t>(cut));
    child2.insert(child2.end(), genes1.begin() + static_cast<std::ptrdiff_t>(cut), genes1.end());
    return {std::move(child1), std::move(child2)};
}

std::pair<Genes, Genes> BlendCrossover::cross(RandomSource& rng, std::span<const Gene> genes1,
                                              std::span<const Gene> genes2) const {
    Genes child1(genes1.size(), 0);
    Genes child2(genes2.size(), 0);
    const std::size_t shorter = std::min(genes1.size(), genes2.size());
    for (std::size_t i = 0; i < shorter; ++i) {
        const double u = rng.uniform();
        const double gamma = (2.0 * alpha_ + 1.0) * u - alpha_;
        const auto a = static_cast<double>(genes1[i]);
        const auto b = static_cast<double>(genes2[i]);
        const double x1 = gamma * a + (1.0 - gamma) * b;
        const double x2 = (1.0 - gamma) * a + gamma * b;
        child1[i] = gene_from_real(x1);
        child2[i] = gene_from_real(x2);
    }
    return {std::move(child1), std::move(child2)};
}

std::pair<Genes, Genes> SimulatedBinaryCrossover::cross(RandomSource& rng, std::span<const Gene> genes1,
                                                        std::span<const Gene> genes2) const {
    Genes child1(genes1.size(), 0);
    Genes child2(genes2.size(), 0);
    const std::size_t shorter = std::min(genes1.size(), genes2.size());
    const double exponent = 1.0 / (eta_ + 1.0);
    for (std::size_t i = 0; i < shorter; ++i) {
        const double u = rng.uniform();
        const double base = u < 0.5 ? 2.0 * u : 1.0 / (2.0 * (1.0 - u));
        const double beta = std::pow(base, exponent);
        const auto a = static_cast<double>(genes1[i]);
        const auto b = static_cast<double>(genes2[i]);
        const double x1 = ((1.0 + beta) * a + (1.0 - beta) * b) * 0.5;
        const double x2 = ((1.0 - beta) * a + (1.0 + beta) * b) * 0.5;
        child1[i] = gene_from_real(x1);
        child2[i] = gene_from_real(x2);
    }
    return {std::move(child1), std::move(child2)};
}

std::unique_ptr<Crossover> build_crossover(const CrossoverOptions& options) {
    if (const auto* blend = std::get_if<BlendOptions>(&options)) {
        return std::make_unique<BlendCrossover>(blend->alpha);
    }
    if (const auto* sbx = std::get_if<SimulatedBinaryOptions>(&options)) {
        return std::make_unique<SimulatedBinaryCrossover>(sbx->eta);
    }
    switch (std::get<CrossoverKind>(options)) {
        case CrossoverKind::IPX:
            return std::make_unique<IpxCrossover>();
        case CrossoverKind::Point:
            return std::make_unique<PointCrossover>();
        case CrossoverKind::Blend:
        case CrossoverKind::SimulatedBinary:
            break;
    }
    throw ConfigError("unrecognized crossover options");
}

}  // namespace ovila
