#include "crossover.hpp"

#include <algorithm>
#include <bit>
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

void prefetch_for_write(const Gene* genes, std::size_t count) {
    constexpr std::size_t per_line = 64 / sizeof(Gene);
    for (std::size_t i = 0; i < count; i += per_line) {
        __builtin_prefetch(genes + i, 1);
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

// Algorithm shared by both crossover_population overloads; `parent(i)` is
// the i-th of `size` parents.
template <class Parent>
std::vector<Chromosome> breed(const Crossover& crossover, RandomSource& rng, std::size_t size, Parent&& parent,
                              std::optional<std::uint64_t> target, double p_crossover) {
    const std::uint64_t count = target.value_or(size);
    std::vector<Chromosome> result;
    if (count == 0) {
        return result;
    }
    const std::size_t pairs = size / 2;
    if (pairs == 0) {
        internal_error("crossover needs at least two parents to make a non-empty population");
    }
    reserve_chromosomes(result, count + 1);
    std::size_t pair = 0;
    while (result.size() < count) {
        const Chromosome& first = parent(2 * pair);
        const Chromosome& second = parent(2 * pair + 1);
        const double u = rng.uniform();
        if (u <= p_crossover) {
            result.emplace_back();
            result.emplace_back();
            Chromosome* children = &result[result.size() - 2];
            crossover.cross_into(rng, first.genes, second.genes, children[0].genes, children[1].genes);
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

void Crossover::cross_into(RandomSource& rng, std::span<const Gene> genes1, std::span<const Gene> genes2,
                           Genes& child1, Genes& child2) const {
    auto children = cross(rng, genes1, genes2);
    child1 = std::move(children.first);
    child2 = std::move(children.second);
}

std::vector<Chromosome> Crossover::crossover_population(RandomSource& rng, std::span<const Chromosome> parents,
                                                        std::optional<std::uint64_t> target,
                                                        double p_crossover) const {
    return breed(
        *this, rng, parents.size(), [&](std::size_t i) -> const Chromosome& { return parents[i]; }, target,
        p_crossover);
}

std::vector<Chromosome> Crossover::crossover_population(RandomSource& rng, std::span<const Chromosome* const> parents,
                                                        std::optional<std::uint64_t> target,
                                                        double p_crossover) const {
    return breed(
        *this, rng, parents.size(), [&](std::size_t i) -> const Chromosome& { return *parents[i]; }, target,
        p_crossover);
}

std::pair<Genes, Genes> IpxCrossover::cross(RandomSource& rng, std::span<const Gene> genes1,
                                            std::span<const Gene> genes2) const {
    std::pair<Genes, Genes> children;
    cross_into(rng, genes1, genes2, children.first, children.second);
    return children;
}

void IpxCrossover::cross_into(RandomSource& rng, std::span<const Gene> genes1, std::span<const Gene> genes2,
                              Genes& child1, Genes& child2) const {
    const std::size_t len1 = genes1.size();
    const std::size_t len2 = genes2.size();

    // Children are usually fresh buffers far from any cache: have their
    // lines fetched for writing while the parents are examined.
    child1.reserve(len1);
    child2.reserve(len1);
    prefetch_for_write(child1.data(), len1);
    prefetch_for_write(child2.data(), len1);

    // Genes of permutations are small: one flag per gene value then replaces
    // a hash set. The OR of all genes bounds the largest from above (by less
    // than a factor 2).
    Gene bound = 0;
    for (const Gene g : genes1) {
        bound |= g;
    }
    for (const Gene g : genes2) {
        bound |= g;
    }
    const std::uint64_t flat_limit = 4 * static_cast<std::uint64_t>(std::max(len1, len2)) + 4096;
    if (bound >= flat_limit) {
        cross_sparse(rng, genes1, genes2, child1, child2);
        return;
    }
    const auto values = static_cast<std::size_t>(bound) + 1;
    seen1_.assign(values, 0);
    seen2_.assign(values, 0);
    free_.resize(len1);
    fresh1_.resize(len2);
    fresh2_.resize(len1);
    // The children start as copies of their parents where both have genes.
    const std::size_t shared = std::min(len1, len2);
    child1.assign(genes1.begin(), genes1.begin() + static_cast<std::ptrdiff_t>(shared));
    child2.assign(genes2.begin(), genes2.begin() + static_cast<std::ptrdiff_t>(shared));
    child1.resize(len1);
    child2.resize(len1);
    std::uint32_t* const seen1 = seen1_.data();
    std::uint32_t* const seen2 = seen2_.data();
    std::size_t* const free = free_.data();
    Gene* const out1 = child1.data();
    Gene* const out2 = child2.data();

    // Position i is kept when the i-th bit drawn is 1; drawn 64 at a time
    // over the positions both parents have. Kept genes are marked seen and
    // the other positions listed as free, walking the set bits of the mask
    // and of its complement.
    std::size_t free_count = 0;
    for (std::size_t base = 0; base < shared; base += 64) {
        const auto count = static_cast<unsigned>(std::min<std::size_t>(64, shared - base));
        const std::uint64_t mask = rng.bits(count);
        for (std::uint64_t kept = mask; kept != 0; kept &= kept - 1) {
            const std::size_t i = base + static_cast<std::size_t>(std::countr_zero(kept));
            seen1[genes1[i]] = 1;
            seen2[genes2[i]] = 1;
        }
        const std::uint64_t valid = count == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
        for (std::uint64_t open = ~mask & valid; open != 0; open &= open - 1) {
            free[free_count++] = base + static_cast<std::size_t>(std::countr_zero(open));
        }
    }
    // Positions the second parent lacks must not be kept.
    for (std::size_t i = shared; i < len1; ++i) {
        if (rng.bit()) {
            internal_error("IPX crossover kept a position beyond the second parent");
        }
        free[free_count++] = i;
    }

    // The donor's genes not seen yet, in order, go to the free positions in
    // order; free positions left over (parents that are not permutations of
    // each other) hold 0.
    auto collect = [](std::span<const Gene> donor, std::uint32_t* seen, Gene* fresh, std::size_t& count) {
        for (const Gene g : donor) {
            fresh[count] = g;
            count += 1U - seen[g];
            seen[g] = 1;
        }
    };
    auto place = [&](Gene* out, const Gene* fresh, std::size_t fresh_count) {
        if (fresh_count > free_count) {
            internal_error("IPX crossover has no free position left for a gene");
        }
        for (std::size_t k = 0; k < fresh_count; ++k) {
            out[free[k]] = fresh[k];
        }
        for (std::size_t k = fresh_count; k < free_count; ++k) {
            out[free[k]] = 0;
        }
    };
    Gene* const fresh1 = fresh1_.data();
    Gene* const fresh2 = fresh2_.data();
    std::size_t count1 = 0;
    std::size_t count2 = 0;
    if (len1 == len2) {
        // Both donors walked together: two independent chains per step.
        for (std::size_t j = 0; j < len1; ++j) {
            const Gene a = genes2[j];
            const Gene b = genes1[j];
            fresh1[count1] = a;
            fresh2[count2] = b;
            count1 += 1U - seen1[a];
            count2 += 1U - seen2[b];
            seen1[a] = 1;
            seen2[b] = 1;
        }
        if (count1 == free_count && count2 == free_count) {
            // Both children take a gene at every free position (always so
            // when the parents are permutations of each other): one pass.
            for (std::size_t k = 0; k < free_count; ++k) {
                const std::size_t position = free[k];
                out1[position] = fresh1[k];
                out2[position] = fresh2[k];
            }
            return;
        }
    } else {
        collect(genes2, seen1, fresh1, count1);
        collect(genes1, seen2, fresh2, count2);
    }
    place(out1, fresh1, count1);
    place(out2, fresh2, count2);
}

void IpxCrossover::cross_sparse(RandomSource& rng, std::span<const Gene> genes1, std::span<const Gene> genes2,
                                Genes& child1, Genes& child2) const {
    const std::size_t len1 = genes1.size();
    const std::size_t len2 = genes2.size();
    child1.assign(len1, 0);
    child2.assign(len1, 0);
    keep_.assign(len1, 0);
    std::unordered_set<Gene> set1;
    std::unordered_set<Gene> set2;
    set1.reserve(len1);
    set2.reserve(len1);
    auto add1 = [&](Gene g) { return set1.insert(g).second; };
    auto add2 = [&](Gene g) { return set2.insert(g).second; };
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
