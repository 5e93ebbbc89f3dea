// Generators of initial gene sequences.
#pragma once

#include "ovila/genetic/lineage.hpp"
#include "ovila/genetic/random.hpp"

namespace ovila::genetic {

class Generator {
public:
    virtual ~Generator() = default;
    virtual Genes generate(RandomSource& rng, std::uint64_t n_genes) const = 0;
};

// A uniformly random permutation of 0 .. n_genes-1 (Fisher-Yates).
class RandomSequenceGenerator final : public Generator {
public:
    Genes generate(RandomSource& rng, std::uint64_t n_genes) const override;
};

}  // namespace ovila::genetic
