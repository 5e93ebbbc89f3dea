// Plain records of a run (chromosomes, populations, statistics, hall of fame,
// lineage) and the fitness statistics recorder.
#pragma once

#include <cstdint>
#include <deque>
#include <iterator>
#include <map>
#include <optional>
#include <span>
#include <type_traits>
#include <unordered_set>
#include <vector>

namespace ovila {

using Gene = std::uint64_t;

#if defined(__SANITIZE_ADDRESS__)
#define OVILA_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OVILA_ADDRESS_SANITIZER 1
#endif
#endif

// Storage of gene sequences. A run keeps every generation it makes, so each
// run asks for thousands of buffers of one length and releases them together
// when its lineage goes. Released buffers are kept by the releasing thread
// (up to `GeneAllocator::retained_limit` bytes, only for the lengths most
// recently released) and handed out again for requests of the same length,
// so that consecutive runs reuse memory the process already has instead of
// returning it to the system and faulting it back in page by page.
struct GeneAllocator {
    using value_type = Gene;
    template <class U>
    struct rebind {
        static_assert(std::is_same_v<U, Gene>, "gene storage holds genes only");
        using other = GeneAllocator;
    };

    static constexpr std::size_t retained_limit = std::size_t{32} << 20;
    // Shorter buffers come and go cheaply through malloc.
    static constexpr std::size_t min_kept_length = 32;
#ifdef OVILA_ADDRESS_SANITIZER
    static constexpr bool keeps_released = false;  // the sanitizer sees every release
#else
    static constexpr bool keeps_released = true;
#endif

    GeneAllocator() noexcept = default;

    Gene* allocate(std::size_t n);
    void deallocate(Gene* p, std::size_t n) noexcept;

    // Bytes currently kept by the calling thread, and releases them all.
    static std::size_t retained() noexcept;
    static void release_retained() noexcept;

    friend bool operator==(GeneAllocator, GeneAllocator) noexcept { return true; }
};

using Genes = std::vector<Gene, GeneAllocator>;

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
    using Tree = std::map<Rank, Chromosome, RankOrder>;
    using value_type = Chromosome;

    class const_iterator {
    public:
        using iterator_category = std::bidirectional_iterator_tag;
        using value_type = Chromosome;
        using difference_type = std::ptrdiff_t;
        using pointer = const Chromosome*;
        using reference = const Chromosome&;
        const_iterator() = default;
        explicit const_iterator(Tree::const_iterator at) : at_(at) {}
        reference operator*() const { return at_->second; }
        pointer operator->() const { return &at_->second; }
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
    const Chromosome& front() const { return tree_.begin()->second; }
    const Chromosome& back() const { return std::prev(tree_.end())->second; }
    // Entry i, walked to from the nearer end.
    const Chromosome& operator[](std::size_t i) const;
    std::vector<Chromosome> to_vector() const { return {begin(), end()}; }

    // Places `chromosome` (fitness present) where the walk up from the worst
    // end stops: behind every entry it does not beat, and never ahead of a
    // NaN entry. Logarithmic in the number of entries.
    void admit(const Chromosome& chromosome);
    void pop_back() { tree_.erase(std::prev(tree_.end())); }

private:
    std::uint64_t open_band() const;

    Tree tree_;
    std::uint64_t admitted_ = 0;
};

struct HallOfFame {
    HallEntries chromosomes;  // best first
    GenesSet uniques;
    std::uint64_t capacity = 1;

    // Memory an entry needs besides the bytes of its genes and its Chromosome
    // record: its tree node and rank, and its node in `uniques` with that
    // copy of the genes counted apart.
    static constexpr std::size_t entry_overhead = 4 * sizeof(void*) + sizeof(HallEntries::Rank) + 2 * sizeof(void*) +
                                                  sizeof(std::size_t) + sizeof(Genes) + sizeof(void*);

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

}  // namespace ovila
