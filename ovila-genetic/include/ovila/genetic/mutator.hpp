// The swap mutator.
#pragma once

#include <cstdint>
#include <span>

#include "ovila/genetic/lineage.hpp"
#include "ovila/genetic/random.hpp"

namespace ovila::genetic {

class SwapMutator {
public:
    explicit SwapMutator(double p_swap) : p_swap_(p_swap) {}
    // Each position starts a swap with probability p_swap, with a partner
    // chosen uniformly among the other positions.
    void mutate(RandomSource& rng, std::span<Gene> genes) const;

private:
    double p_swap_;
};

// Draws whose top 53 bits are below this start a swap: the integer form of
// uniform() <= p.
std::uint64_t swap_limit(double p);

}  // namespace ovila::genetic
