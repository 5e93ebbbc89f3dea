// Crossover operators: two children from two parents.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "ovila/core/error.hpp"
#include "ovila/genetic/kernels/ipx.hpp"
#include "ovila/genetic/lineage.hpp"
#include "ovila/genetic/random.hpp"

namespace ovila::genetic {

enum class CrossoverKind : std::uint8_t { IPX = 0, Point = 1, Blend = 2, SimulatedBinary = 3 };

class Crossover {
public:
    virtual ~Crossover() = default;
    virtual std::pair<Genes, Genes> cross(RandomSource& rng, std::span<const Gene> genes1,
                                          std::span<const Gene> genes2) const = 0;
    // `cross`, writing the children into `child1` and `child2` (whose old
    // contents are dropped and whose storage may be reused). Neither may
    // share storage with the parents.
    virtual void cross_into(RandomSource& rng, std::span<const Gene> genes1, std::span<const Gene> genes2,
                            Genes& child1, Genes& child2) const;
    // Pairs of the parents (held elsewhere, as a selection leaves them):
    // (0,1), (2,3), ... wrapping around until `target` (or P) is reached; only
    // the uncrossed ones are copied. Fewer than two parents with a target
    // above 0 is an internal error.
    std::vector<Chromosome> crossover_population(RandomSource& rng, std::span<const Chromosome* const> parents,
                                                 std::optional<std::uint64_t> target, double p_crossover) const;
};

class IpxCrossover final : public Crossover {
public:
    std::pair<Genes, Genes> cross(RandomSource& rng, std::span<const Gene> genes1,
                                  std::span<const Gene> genes2) const override;
    void cross_into(RandomSource& rng, std::span<const Gene> genes1, std::span<const Gene> genes2, Genes& child1,
                    Genes& child2) const override;

private:
    // Scratch reused from call to call (an operator serves one thread).
    mutable std::vector<kernels::Word> keep_;
    mutable kernels::IpxScratch scratch_;
};

class PointCrossover final : public Crossover {
public:
    std::pair<Genes, Genes> cross(RandomSource& rng, std::span<const Gene> genes1,
                                  std::span<const Gene> genes2) const override;
};

class BlendCrossover final : public Crossover {
public:
    explicit BlendCrossover(double alpha) : alpha_(alpha) {}
    std::pair<Genes, Genes> cross(RandomSource& rng, std::span<const Gene> genes1,
                                  std::span<const Gene> genes2) const override;

private:
    double alpha_;
};

class SimulatedBinaryCrossover final : public Crossover {
public:
    explicit SimulatedBinaryCrossover(double eta) : eta_(eta) {}
    std::pair<Genes, Genes> cross(RandomSource& rng, std::span<const Gene> genes1,
                                  std::span<const Gene> genes2) const override;

private:
    double eta_;
};

struct BlendOptions {
    double alpha = 0.0;
    CrossoverKind kind = CrossoverKind::Blend;
};
struct SimulatedBinaryOptions {
    double eta = 0.0;
    CrossoverKind kind = CrossoverKind::SimulatedBinary;
};
using CrossoverOptions = std::variant<BlendOptions, SimulatedBinaryOptions, CrossoverKind>;

// Throws core::ConfigError "unrecognized crossover options" for a bare Blend or SimulatedBinary kind.
std::unique_ptr<Crossover> build_crossover(const CrossoverOptions& options);

}  // namespace ovila::genetic
