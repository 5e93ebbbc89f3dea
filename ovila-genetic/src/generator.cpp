#include "ovila/genetic/generator.hpp"

#include <numeric>
#include <utility>

#include "ovila/genetic/kernels/bits.hpp"

namespace ovila::genetic {

Genes RandomSequenceGenerator::generate(RandomSource& rng, std::uint64_t n_genes) const {
    Genes genes(static_cast<std::size_t>(n_genes));
    std::iota(genes.begin(), genes.end(), Gene{0});
    // Fisher-Yates; the last position has a single choice and needs no draw.
    // While fewer than 2^32 positions remain, each index comes from half a
    // word (multiply-and-reject on 32 bits), two indices per word drawn.
    std::uint64_t i = 0;
    for (; i + 1 < n_genes && n_genes - i > std::uint64_t{0xFFFFFFFF}; ++i) {
        const std::uint64_t j = rng.range(i, n_genes);
        std::swap(genes[static_cast<std::size_t>(i)], genes[static_cast<std::size_t>(j)]);
    }
    std::uint64_t word = 0;
    bool half_left = false;
    auto half = [&]() -> std::uint32_t {
        if (half_left) {
            half_left = false;
            return static_cast<std::uint32_t>(word >> 32);
        }
        word = rng.next_u64();
        half_left = true;
        return static_cast<std::uint32_t>(word);
    };
    for (; i + 1 < n_genes; ++i) {
        const auto count = static_cast<std::uint32_t>(n_genes - i);  // 2 to 2^32 - 1
        const std::uint32_t j = kernels::below_by_rejection<std::uint32_t>(count, half);
        std::swap(genes[static_cast<std::size_t>(i)], genes[static_cast<std::size_t>(i + j)]);
    }
    return genes;
}

}  // namespace ovila::genetic
