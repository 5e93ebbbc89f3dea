#include "ovila/genetic/mutator.hpp"

#include <cmath>
#include <cstdint>
#include <utility>

namespace ovila::genetic {

std::uint64_t swap_limit(double p) {
    // uniform() is k * 2^-53 with k the top 53 bits of the word, and
    // k * 2^-53 <= p exactly when k < floor(p * 2^53) + 1 (for 0 <= p < 1;
    // the scaling is exact). A NaN or negative probability starts no swap
    // (-0.0 still lets k = 0 through, as 0.0 <= -0.0).
    if (!(p >= 0.0)) {
        return 0;
    }
    if (p >= 1.0) {
        return std::uint64_t{1} << 53;
    }
    return static_cast<std::uint64_t>(std::floor(p * 0x1.0p53)) + 1;
}

void SwapMutator::mutate(RandomSource& rng, std::span<Gene> genes) const {
    const std::size_t len = genes.size();
    const std::uint64_t limit = swap_limit(p_swap_);
    // One draw per position, tested as uniform() <= p_swap on the integer
    // behind it; the positions that start no swap are passed over in bulk.
    std::size_t j = rng.draws_until_below(len, limit);
    while (j < len) {
        auto k = static_cast<std::size_t>(rng.range(0, len - 1));
        if (k >= j) {
            ++k;
        }
        std::swap(genes[j], genes[k]);
        ++j;
        j += rng.draws_until_below(len - j, limit);
    }
}

}  // namespace ovila::genetic
