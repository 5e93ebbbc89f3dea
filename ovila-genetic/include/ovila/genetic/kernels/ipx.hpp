// The fill of IPX crossover, over plain sequences of values (the genes of an
// order). Given the positions each child keeps from its own parent (bit i of
// `keep`, one bit per position of the first parent), both children are as
// long as the first parent; child 1 takes the second parent's values it does
// not hold yet, in that parent's order, at its free positions in order, and
// child 2 likewise from the first parent. Free positions left over (parents
// that are not permutations of each other) hold 0; more values than free
// positions is an internal error. Positions beyond the second parent must not
// be kept.
//
// The caller sizes the children (as long as the first parent; any other
// length is an internal error); every value they held is overwritten.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "ovila/genetic/kernels/bits.hpp"

namespace ovila::genetic::kernels {

// Reference: one position at a time, hash sets for the values held.
void ipx_fill_reference(std::span<const std::uint64_t> genes1, std::span<const std::uint64_t> genes2,
                        std::span<const Word> keep, std::span<std::uint64_t> child1, std::span<std::uint64_t> child2);

// Working memory of the fast fill, reused from call to call (so one per
// thread): one "held" flag per value and child, the free positions and the
// donor values not held yet. The flags are 32-bit words, which mark and test
// faster than bytes.
struct IpxScratch {
    std::vector<std::uint32_t> held1;
    std::vector<std::uint32_t> held2;
    std::vector<std::size_t> free;
    std::vector<std::uint64_t> fresh1;
    std::vector<std::uint64_t> fresh2;
};

// Portable: flags indexed by value while the values are small (as in
// permutations); the reference for values far above the length.
void ipx_fill(std::span<const std::uint64_t> genes1, std::span<const std::uint64_t> genes2, std::span<const Word> keep,
              std::span<std::uint64_t> child1, std::span<std::uint64_t> child2, IpxScratch& scratch);

}  // namespace ovila::genetic::kernels
