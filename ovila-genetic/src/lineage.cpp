#include "lineage.hpp"

#include <algorithm>
#include <array>
#include <new>

#include "error.hpp"
#include "kernels/bits.hpp"
#include "evaluator.hpp"

namespace ovila {

namespace {

// Released buffers of one length. The addresses are kept apart from the
// buffers, so that neither keeping nor handing out a buffer touches its
// (by then usually cold) memory.
struct Shelf {
    std::size_t length = 0;
    std::vector<void*> buffers;
};

// Set when the thread's shelves are destroyed at its exit: gene buffers
// released after that (by thread-local objects destroyed later) go straight
// back to malloc. Trivially destructible, so it can be read until the end.
thread_local bool shelves_gone = false;

class GeneShelves {
public:
    GeneShelves() = default;
    GeneShelves(const GeneShelves&) = delete;
    GeneShelves& operator=(const GeneShelves&) = delete;
    ~GeneShelves() {
        release();
        shelves_gone = true;
    }

    void* take(std::size_t length) noexcept {
        for (Shelf& shelf : shelves_) {
            if (shelf.length == length && !shelf.buffers.empty()) {
                void* p = shelf.buffers.back();
                shelf.buffers.pop_back();
                bytes_ -= length * sizeof(Gene);
                return p;
            }
        }
        return nullptr;
    }

    bool keep(void* p, std::size_t length) noexcept {
        const std::size_t size = length * sizeof(Gene);
        if (length < GeneAllocator::min_kept_length || size > GeneAllocator::retained_limit - bytes_) {
            return false;
        }
        Shelf* target = nullptr;
        for (Shelf& shelf : shelves_) {
            if (shelf.length == length) {
                target = &shelf;
                break;
            }
            if (target == nullptr && shelf.buffers.empty()) {
                target = &shelf;
            }
        }
        if (target == nullptr) {
            return false;
        }
        try {
            target->buffers.push_back(p);
        } catch (const std::bad_alloc&) {
            return false;
        }
        target->length = length;
        bytes_ += size;
        return true;
    }

    std::size_t bytes() const noexcept { return bytes_; }

    void release() noexcept {
        for (Shelf& shelf : shelves_) {
            for (void* p : shelf.buffers) {
                ::operator delete(p, shelf.length * sizeof(Gene));
            }
            shelf.buffers = {};
        }
        bytes_ = 0;
    }

private:
    std::array<Shelf, 4> shelves_{};
    std::size_t bytes_ = 0;
};

// The calling thread's shelves; null once they are destroyed, and in builds
// that keep nothing. Not inlined: the thread-local address is then looked up
// once per call instead of once per use.
[[gnu::noinline]] GeneShelves* shelves() noexcept {
    if (!GeneAllocator::keeps_released || shelves_gone) {
        return nullptr;
    }
    thread_local GeneShelves kept;
    return &kept;
}

}  // namespace

Gene* GeneAllocator::allocate(std::size_t n) {
    if (n > std::size_t(-1) / sizeof(Gene)) {
        throw std::bad_array_new_length();
    }
    if (GeneShelves* kept = shelves()) {
        if (void* p = kept->take(n)) {
            return static_cast<Gene*>(p);
        }
    }
    return static_cast<Gene*>(::operator new(n * sizeof(Gene)));
}

void GeneAllocator::deallocate(Gene* p, std::size_t n) noexcept {
    if (GeneShelves* kept = shelves(); kept != nullptr && kept->keep(p, n)) {
        return;
    }
    ::operator delete(p, n * sizeof(Gene));
}

std::size_t GeneAllocator::retained() noexcept {
    const GeneShelves* kept = shelves();
    return kept != nullptr ? kept->bytes() : 0;
}

void GeneAllocator::release_retained() noexcept {
    if (GeneShelves* kept = shelves()) {
        kept->release();
    }
}

std::vector<double> Population::fitness_values() const {
    std::vector<double> values;
    values.reserve(chromosomes.size());
    for (const Chromosome& chromosome : chromosomes) {
        if (!chromosome.fitness) {
            internal_error("fitness values requested from a chromosome that was never evaluated");
        }
        values.push_back(*chromosome.fitness);
    }
    return values;
}

std::size_t GenesHash::operator()(const Genes& genes) const noexcept {
    using kernels::u128;
    constexpr std::uint64_t k0 = 0xA0761D6478BD642FULL;
    constexpr std::uint64_t k1 = 0xE7037ED1A0B428DBULL;
    // Multiply-fold mixing of the length and every gene in order.
    auto mix = [](std::uint64_t a, std::uint64_t b) {
        const u128 product = static_cast<u128>(a) * b;
        return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
    };
    std::uint64_t h = mix(genes.size() ^ k0, k1);
    for (const Gene gene : genes) {
        h = mix(h ^ gene ^ k0, k1);
    }
    return static_cast<std::size_t>(mix(h ^ k1, k0));
}

void HallOfFame::update(const Population& population) {
    for (const Chromosome& chromosome : population.chromosomes) {
        offer(chromosome);
    }
}

void HallOfFame::offer(const Chromosome& chromosome) {
    if (!chromosome.fitness) {
        internal_error("a chromosome without fitness was offered to the hall of fame");
    }
    const double fitness = *chromosome.fitness;

    // Walk up from the worst end; a candidate that cannot beat a full hall
    // costs one comparison.
    std::size_t k = chromosomes.size();
    if (k > capacity) {
        k = static_cast<std::size_t>(capacity);
    }
    while (k > 0) {
        const std::optional<double>& other = chromosomes[k - 1].fitness;
        if (!other) {
            internal_error("a hall of fame entry has no fitness");
        }
        if (!(fitness > *other)) {
            break;
        }
        --k;
    }
    if (k >= capacity) {
        return;
    }
    if (!uniques.insert(chromosome.genes).second) {
        return;
    }
    chromosomes.insert(chromosomes.begin() + static_cast<std::ptrdiff_t>(k), chromosome);
    while (chromosomes.size() > capacity) {
        uniques.erase(chromosomes.back().genes);
        chromosomes.pop_back();
    }
}

FitnessStatistics FitnessStatisticsRecorder::record(const Population& population) const {
    FitnessStatistics stats;
    if (population.chromosomes.empty()) {
        stats.sum = -0.0;
        return stats;
    }
    const std::vector<double> values = population.fitness_values();
    const auto n = static_cast<double>(values.size());

    double sum = -0.0;
    double min = values.front();
    double max = values.front();
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double x = values[i];
        sum += x;
        if (i > 0) {
            if (x < min) {
                min = x;
            }
            if (x > max) {
                max = x;
            }
        }
    }
    const double mean = sum / n;
    double variance = 0.0;
    for (const double x : values) {
        const double d = mean - x;
        variance += d * d;
    }

    stats.size = values.size();
    stats.min = min;
    stats.max = max;
    stats.sum = sum;
    stats.mean = mean;
    stats.variance = variance;
    return stats;
}

Lineage Lineage::create(Population initial, const Evaluator& evaluator, const Recorder& recorder,
                        std::optional<std::uint64_t> n_generations, std::optional<std::uint64_t> n_records,
                        std::optional<std::uint64_t> n_hall_of_fame) {
    Lineage lineage;
    lineage.n_generations = n_generations;
    lineage.n_records = n_records;
    lineage.hall_of_fame.capacity = n_hall_of_fame.value_or(1);
    lineage.update(std::move(initial), evaluator, recorder);
    return lineage;
}

void Lineage::update(Population population, const Evaluator& evaluator, const Recorder& recorder) {
    evaluator.evaluate_population(population.chromosomes);
    hall_of_fame.update(population);
    records.push_front(recorder.record(population));
    if (n_records) {
        while (records.size() > *n_records) {
            records.pop_back();
        }
    }
    generations.push_front(std::move(population));
    if (n_generations) {
        while (generations.size() > *n_generations) {
            generations.pop_back();
        }
    }
}

const Population& Lineage::latest() const {
    if (generations.empty()) {
        internal_error("the lineage keeps no population: there is no latest generation");
    }
    return generations.front();
}

}  // namespace ovila
