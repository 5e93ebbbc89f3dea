#include "generator.hpp"

#include <numeric>
#include <utility>

namespace ovila {

Genes RandomSequenceGenerator::generate(RandomSource& rng, std::uint64_t n_genes) const {
    Genes genes(static_cast<std::size_t>(n_genes));
    std::iota(genes.begin(), genes.end(), Gene{0});
    // Fisher-Yates; the last position has a single choice and needs no draw.
    for (std::uint64_t i = 0; i + 1 < n_genes; ++i) {
        const std::uint64_t j = rng.range(i, n_genes);
        std::swap(genes[static_cast<std::size_t>(i)], genes[static_cast<std::size_t>(j)]);
    }
    return genes;
}

}  // namespace ovila
