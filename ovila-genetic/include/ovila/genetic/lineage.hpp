// Plain records of a run (chromosomes, populations, statistics, hall of fame,
// lineage) and the fitness statistics recorder.
#pragma once

#include <cstdint>
#include <deque>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <unordered_set>
#include <vector>

#include "ovila/genetic/gene_storage.hpp"

namespace ovila::genetic {

struct Chromosome {
    std::optional<double> fitness;
    Genes genes;

    Chromosome() = default;
    explicit Chromosome(Genes g) : genes(std::move(g)) {}
    Chromosome(std::optional<double> f, Genes g) : fitness(f), genes(std::move(g)) {}
};

struct Population {
    std::vector<Chromosome> chromosomes;
    std::uint64_t generation = 0;

    Population() = default;
    Population(std::vector<Chromosome> c, std::uint64_t g) : chromosomes(std::move(c)), generation(g) {}

    // The fitness of every chromosome in order; an absent fitness is an internal error.
    std::vector<double> fitness_values() const;
};

struct FitnessStatistics {
    std::uint64_t size = 0;
    double min = 0.0;
    double max = 0.0;
    double sum = 0.0;
    double mean = 0.0;
    double variance = 0.0;
};

struct GenesHash {
    std::size_t operator()(const Genes& genes) const noexcept;
};
using GenesSet = std::unordered_set<Genes, GenesHash>;

// Gene sequences held by a hall of fame. An admitted order is stored once,
// shared by its entry and by `uniques`; sequences are never changed once
// stored, so copies of a hall share them too.
using SharedGenes = std::shared_ptr<const Genes>;

// An entry read from a hall of fame: its fitness and its genes, converting to
// a Chromosome of its own.
struct HallEntry {
    const std::optional<double>& fitness;
    const Genes& genes;
    operator Chromosome() const { return Chromosome(fitness, genes); }  // NOLINT: reads as a Chromosome
};

// The entries of a hall of fame, best first, read like a vector. They are
// kept in an ordered tree, so that placing a candidate and dropping the last
// entry take logarithmic time however large the hall grows.
//
// The order is held by a rank per entry: entries that are not NaN (or
// absent) run in bands of non-increasing fitness, equal values in admission
// order; a NaN or absent fitness closes its band, since nothing offered later
// moves ahead of it. Entries given in any order keep that order (a new band
// starts wherever the fitness rises).
class HallEntries {
public:
    struct Rank {
        std::uint64_t band = 0;
        bool closes = false;   // a NaN or absent fitness, last in its band
        double fitness = 0.0;  // ordered from the largest, when not `closes`
        std::uint64_t admitted = 0;
    };
    struct RankOrder {
        bool operator()(const Rank& a, const Rank& b) const noexcept {
            if (a.band != b.band) return a.band < b.band;
            if (a.closes != b.closes) return b.closes;
            if (!a.closes && a.fitness != b.fitness) return a.fitness > b.fitness;
            return a.admitted < b.admitted;
        }
    };
    struct Entry {
        std::optional<double> fitness;
        SharedGenes genes;
    };
    using Tree = std::map<Rank, Entry, RankOrder>;
    using value_type = Chromosome;

    class const_iterator {
    public:
        using iterator_category = std::bidirectional_iterator_tag;
        using value_type = Chromosome;
        using difference_type = std::ptrdiff_t;
        using reference = HallEntry;
        const_iterator() = default;
        explicit const_iterator(Tree::const_iterator at) : at_(at) {}
        HallEntry operator*() const { return HallEntry{at_->second.fitness, *at_->second.genes}; }
        const_iterator& operator++() { ++at_; return *this; }
        const_iterator operator++(int) { return const_iterator(at_++); }
        const_iterator& operator--() { --at_; return *this; }
        const_iterator operator--(int) { return const_iterator(at_--); }
        friend bool operator==(const const_iterator&, const const_iterator&) = default;

    private:
        Tree::const_iterator at_;
    };
    using iterator = const_iterator;

    HallEntries() = default;
    // The given entries, in the given order.
    HallEntries(std::vector<Chromosome> entries);  // NOLINT: converts like the vector it stands for

    std::size_t size() const noexcept { return tree_.size(); }
    bool empty() const noexcept { return tree_.empty(); }
    const_iterator begin() const noexcept { return const_iterator(tree_.begin()); }
    const_iterator end() const noexcept { return const_iterator(tree_.end()); }
    HallEntry front() const { return *begin(); }
    HallEntry back() const { return *std::prev(end()); }
    // Entry i, walked to from the nearer end.
    HallEntry operator[](std::size_t i) const;

    // Places an entry of fitness `fitness` (present) where the walk up from
    // the worst end stops: behind every entry it does not beat, and never
    // ahead of a NaN entry. Logarithmic in the number of entries.
    void admit(double fitness, SharedGenes genes);
    void pop_back() { tree_.erase(std::prev(tree_.end())); }

private:
    std::uint64_t open_band() const;

    Tree tree_;
    std::uint64_t admitted_ = 0;
};

// The set of a hall's gene sequences, sharing them with its entries; looked
// up by plain gene sequences.
class HallUniques {
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(const Genes& genes) const noexcept { return GenesHash{}(genes); }
        std::size_t operator()(const SharedGenes& genes) const noexcept { return GenesHash{}(*genes); }
    };
    struct Equal {
        using is_transparent = void;
        static const Genes& of(const Genes& genes) { return genes; }
        static const Genes& of(const SharedGenes& genes) { return *genes; }
        template <class A, class B>
        bool operator()(const A& a, const B& b) const {
            return of(a) == of(b);
        }
    };
    using Set = std::unordered_set<SharedGenes, Hash, Equal>;

public:
    using value_type = Genes;
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Genes;
        using difference_type = std::ptrdiff_t;
        using pointer = const Genes*;
        using reference = const Genes&;
        const_iterator() = default;
        explicit const_iterator(Set::const_iterator at) : at_(at) {}
        reference operator*() const { return **at_; }
        pointer operator->() const { return at_->get(); }
        const_iterator& operator++() { ++at_; return *this; }
        const_iterator operator++(int) { return const_iterator(at_++); }
        friend bool operator==(const const_iterator&, const const_iterator&) = default;

    private:
        Set::const_iterator at_;
    };
    using iterator = const_iterator;

    HallUniques() = default;
    HallUniques(const GenesSet& given);  // NOLINT: converts like the set it stands for

    std::size_t size() const noexcept { return set_.size(); }
    bool empty() const noexcept { return set_.empty(); }
    const_iterator begin() const noexcept { return const_iterator(set_.begin()); }
    const_iterator end() const noexcept { return const_iterator(set_.end()); }
    bool contains(const Genes& genes) const { return set_.find(genes) != set_.end(); }
    // Adds the sequence unless an equal one is there; true when added.
    bool insert(SharedGenes genes) { return set_.insert(std::move(genes)).second; }
    bool insert(const Genes& genes) { return !contains(genes) && insert(std::make_shared<const Genes>(genes)); }
    void erase(const Genes& genes) {
        if (const auto at = set_.find(genes); at != set_.end()) set_.erase(at);
    }
    GenesSet to_set() const { return GenesSet(begin(), end()); }

private:
    Set set_;
};

struct HallOfFame {
    HallEntries chromosomes;  // best first
    HallUniques uniques;
    std::uint64_t capacity = 1;

    // Memory an entry needs besides the bytes of its genes and a Chromosome
    // record: its shared genes' block, its tree node and rank, and its node
    // in `uniques`.
    static constexpr std::size_t entry_overhead = 2 * sizeof(void*) + sizeof(Genes) + 4 * sizeof(void*) +
                                                  sizeof(HallEntries::Rank) + 4 * sizeof(void*);

    // Offers every chromosome of the population, in order.
    void update(const Population& population);
    void offer(const Chromosome& chromosome);
};

class Evaluator;

// Recorder interface: one record per evaluated population.
class Recorder {
public:
    virtual ~Recorder() = default;
    virtual FitnessStatistics record(const Population& population) const = 0;
};

class FitnessStatisticsRecorder final : public Recorder {
public:
    FitnessStatistics record(const Population& population) const override;
};

struct Lineage {
    std::optional<std::uint64_t> n_generations;
    std::optional<std::uint64_t> n_records;
    std::deque<Population> generations;   // newest first
    std::deque<FitnessStatistics> records;  // newest first
    HallOfFame hall_of_fame;

    // An empty lineage that then performs `update` with the initial population.
    static Lineage create(Population initial, const Evaluator& evaluator, const Recorder& recorder,
                          std::optional<std::uint64_t> n_generations, std::optional<std::uint64_t> n_records,
                          std::optional<std::uint64_t> n_hall_of_fame);

    // Evaluate, offer to the hall of fame, record, push both at the front, trim the backs.
    void update(Population population, const Evaluator& evaluator, const Recorder& recorder);

    // The newest population; an empty `generations` is an internal error.
    const Population& latest() const;
};

}  // namespace ovila::genetic
