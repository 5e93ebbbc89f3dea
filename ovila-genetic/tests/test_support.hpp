// Helpers to script the random draws of the engine's operators.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "ovila/genetic/kernels/bits.hpp"
#include "ovila/genetic/lineage.hpp"
#include "oracles.hpp"
#include "ovila/genetic/random.hpp"

namespace ovila::genetic::testing {

// A word that makes `uniform()` return exactly u.
inline std::uint64_t U(double u) { return ScriptedRandom::word_for_uniform(u); }

// A word that makes `below(n)` return k on its first draw (no rejection).
inline std::uint64_t index_word(std::uint64_t k, std::uint64_t n) {
    using kernels::u128;
    const u128 top = (static_cast<u128>(k + 1) << 64) - 1;
    return static_cast<std::uint64_t>(top / n);
}

// A word that makes `range(a, b)` return k.
inline std::uint64_t range_word(std::uint64_t k, std::uint64_t a, std::uint64_t b) { return index_word(k - a, b - a); }

inline Chromosome with_fitness(double fitness, Genes genes) { return Chromosome(fitness, std::move(genes)); }

inline Population population_of(std::initializer_list<double> fitness, std::uint64_t generation = 0) {
    Population population;
    population.generation = generation;
    Gene tag = 0;
    for (const double f : fitness) {
        population.chromosomes.emplace_back(f, Genes{tag++});
    }
    return population;
}

}  // namespace ovila::genetic::testing
