#include "ovila/genetic/crossover.hpp"

#include <algorithm>
#include <cmath>

#include "ovila/genetic/kernels/bits.hpp"

namespace ovila::genetic {

namespace {

// -1 < x < 2^64, NaN excluded; then truncated toward zero.
Gene gene_from_real(double x) {
    if (!(x > -1.0 && x < 0x1.0p64)) {
        core::internal_error("crossover produced a gene value outside the unsigned 64-bit range");
    }
    return static_cast<Gene>(x);
}

void reserve_chromosomes(std::vector<Chromosome>& chromosomes, std::uint64_t count) {
    if (count < chromosomes.max_size()) {
        chromosomes.reserve(static_cast<std::size_t>(count));
    }
}

}  // namespace

void Crossover::cross_into(RandomSource& rng, std::span<const Gene> genes1, std::span<const Gene> genes2,
                           Genes& child1, Genes& child2) const {
    auto children = cross(rng, genes1, genes2);
    child1 = std::move(children.first);
    child2 = std::move(children.second);
}

std::vector<Chromosome> Crossover::crossover_population(RandomSource& rng, std::span<const Chromosome* const> parents,
                                                        std::optional<std::uint64_t> target,
                                                        double p_crossover) const {
    const std::uint64_t count = target.value_or(parents.size());
    std::vector<Chromosome> result;
    if (count == 0) {
        return result;
    }
    const std::size_t pairs = parents.size() / 2;
    if (pairs == 0) {
        core::internal_error("crossover needs at least two parents to make a non-empty population");
    }
    reserve_chromosomes(result, count + 1);
    std::size_t pair = 0;
    while (result.size() < count) {
        const Chromosome& first = *parents[2 * pair];
        const Chromosome& second = *parents[2 * pair + 1];
        const double u = rng.uniform();
        if (u <= p_crossover) {
            result.emplace_back();
            result.emplace_back();
            Chromosome* children = &result[result.size() - 2];
            cross_into(rng, first.genes, second.genes, children[0].genes, children[1].genes);
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

std::pair<Genes, Genes> IpxCrossover::cross(RandomSource& rng, std::span<const Gene> genes1,
                                            std::span<const Gene> genes2) const {
    std::pair<Genes, Genes> children;
    cross_into(rng, genes1, genes2, children.first, children.second);
    return children;
}

void IpxCrossover::cross_into(RandomSource& rng, std::span<const Gene> genes1, std::span<const Gene> genes2,
                              Genes& child1, Genes& child2) const {
    // Each position of the first parent is kept with probability 1/2: bit i
    // of the mask is the i-th bit drawn, 64 at a time over the positions both
    // parents have. Positions the second parent lacks must not be kept.
    const std::size_t len1 = genes1.size();
    const std::size_t shared = std::min(len1, genes2.size());
    keep_.assign((len1 + 63) / 64, 0);
    for (std::size_t base = 0; base < shared; base += 64) {
        keep_[base / 64] = rng.bits(static_cast<unsigned>(std::min<std::size_t>(64, shared - base)));
    }
    for (std::size_t i = shared; i < len1; ++i) {
        if (rng.bit()) {
            core::internal_error("IPX crossover kept a position beyond the second parent");
        }
    }
    child1.resize(len1);
    child2.resize(len1);
    kernels::ipx_fill(genes1, genes2, keep_, child1, child2, scratch_);
}

std::pair<Genes, Genes> PointCrossover::cross(RandomSource& rng, std::span<const Gene> genes1,
                                              std::span<const Gene> genes2) const {
    const std::size_t shorter = std::min(genes1.size(), genes2.size());
    if (shorter < 3) {
        core::internal_error("point crossover needs parents of at least 3 genes");
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
    throw core::ConfigError("unrecognized crossover options");
}

}  // namespace ovila::genetic
