// The fill of IPX crossover. Given the positions each child keeps from its
// own parent (bit i of `keep`, one bit per position of the first parent),
// both children are as long as the first parent; child 1 takes the second
// parent's genes it does not hold yet, in that parent's order, at its free
// positions in order, and child 2 likewise from the first parent. Free
// positions left over (parents that are not permutations of each other)
// hold 0; more genes than free positions is an internal error. Positions
// beyond the second parent must not be kept.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "kernels/bits.hpp"
#include "gene_storage.hpp"

namespace ovila::kernels {

// Reference: one position at a time, hash sets for the genes held.
void ipx_fill_reference(std::span<const Gene> genes1, std::span<const Gene> genes2, std::span<const Word> keep,
                        Genes& child1, Genes& child2);

// Working memory of the fast fill, reused from call to call (so one per
// thread): one "held" flag per gene value and child, the free positions and
// the donor genes not held yet. The flags are 32-bit words, which mark and
// test faster than bytes.
struct IpxScratch {
    std::vector<std::uint32_t> held1;
    std::vector<std::uint32_t> held2;
    std::vector<std::size_t> free;
    Genes fresh1;
    Genes fresh2;
};

// Portable: flags indexed by gene value while the genes are small (as in
// permutations); the reference for genes far above the length.
void ipx_fill(std::span<const Gene> genes1, std::span<const Gene> genes2, std::span<const Word> keep, Genes& child1,
              Genes& child2, IpxScratch& scratch);

}  // namespace ovila::kernels
