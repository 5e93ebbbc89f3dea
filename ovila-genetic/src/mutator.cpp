#include "mutator.hpp"

#include <utility>

namespace ovila {

void SwapMutator::mutate(RandomSource& rng, std::span<Gene> genes) const {
    const std::size_t len = genes.size();
    for (std::size_t j = 0; j < len; ++j) {
        const double u = rng.uniform();
        // Written so that a NaN probability starts no swap.
        if (!(u <= p_swap_)) {
            continue;
        }
        auto k = static_cast<std::size_t>(rng.range(0, len - 1));
        if (k >= j) {
            ++k;
        }
        std::swap(genes[j], genes[k]);
    }
}

}  // namespace ovila
