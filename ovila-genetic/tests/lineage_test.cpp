#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <thread>

#include "ovila/core/error.hpp"
#include "ovila/genetic/evaluator.hpp"
#include "test_support.hpp"

namespace ovila::genetic {
namespace {

using testing::population_of;
using testing::with_fitness;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Entries' genes, after checking the hall's invariants.
std::vector<Genes> entries(const HallOfFame& hall) {
    EXPECT_LE(hall.chromosomes.size(), hall.capacity);
    EXPECT_EQ(hall.uniques.size(), hall.chromosomes.size());
    std::vector<Genes> genes;
    for (const Chromosome& c : hall.chromosomes) {
        EXPECT_TRUE(hall.uniques.contains(c.genes));
        genes.push_back(c.genes);
    }
    return genes;
}

TEST(HallOfFame, KeepsTheBestDistinctInAdmissionOrder) {
    HallOfFame hall;
    hall.capacity = 3;
    hall.update(population_of({5, 7, 7, 3, 6}));  // genes {0} .. {4}
    EXPECT_EQ(entries(hall), (std::vector<Genes>{{1}, {2}, {4}}));
    hall.offer(with_fitness(6, {9}));  // ties the last entry: refused
    hall.offer(with_fitness(8, {10}));
    EXPECT_EQ(entries(hall), (std::vector<Genes>{{10}, {1}, {2}}));
    EXPECT_THROW(hall.offer(Chromosome(Genes{11})), core::InternalError);

    HallOfFame none;
    none.capacity = 0;
    none.update(population_of({1, 2}));
    EXPECT_TRUE(entries(none).empty());
}

TEST(HallOfFame, GeneSequencesAreAdmittedOnce) {
    HallOfFame hall;
    hall.capacity = 4;
    hall.offer(with_fitness(1, {0, 1}));
    hall.offer(with_fitness(9, {0, 1}));  // same genes, better fitness: still refused
    hall.offer(with_fitness(2, {1, 0}));
    EXPECT_EQ(entries(hall), (std::vector<Genes>{{1, 0}, {0, 1}}));
    hall.capacity = 2;
    hall.offer(with_fitness(3, {2, 2}));  // drops {0, 1}, which may then come back
    hall.offer(with_fitness(4, {0, 1}));
    EXPECT_EQ(entries(hall), (std::vector<Genes>{{0, 1}, {2, 2}}));
}

TEST(HallOfFame, NaNEntersOnlyWhileThereIsRoomAndStaysAhead) {
    HallOfFame hall;
    hall.capacity = 3;
    hall.update(population_of({kNaN, 5, 9, 10}));
    EXPECT_EQ(entries(hall), (std::vector<Genes>{{0}, {3}, {2}}));
    hall.offer(with_fitness(kNaN, {4}));
    EXPECT_EQ(entries(hall), (std::vector<Genes>{{0}, {3}, {2}}));
}

// The admission rules as a plain walk up a vector from its worst end.
void walk_offer(std::vector<Chromosome>& entries, std::size_t capacity, const Chromosome& c) {
    std::size_t k = std::min(entries.size(), capacity);
    while (k > 0 && *c.fitness > *entries[k - 1].fitness) {
        --k;
    }
    const bool present = std::any_of(entries.begin(), entries.end(),
                                     [&](const Chromosome& e) { return e.genes == c.genes; });
    if (k >= capacity || present) {
        return;
    }
    entries.insert(entries.begin() + static_cast<std::ptrdiff_t>(k), c);
    entries.resize(std::min(entries.size(), capacity));
}

// The tree-kept hall places every candidate where the plain walk does, ties,
// NaN and repeated orders included, also from entries given out of order
// (which it keeps in their order).
TEST(HallOfFame, AdmitsAsThePlainWalk) {
    Xoshiro256 rng({12, 34, 56, 78});
    for (const std::size_t capacity : {1, 2, 7, 60, 1000000000}) {
        for (int start = 0; start < 2; ++start) {
            std::vector<Chromosome> expected;
            for (Gene g = 0; start == 1 && g < std::min<std::size_t>(capacity, 9); ++g) {
                expected.push_back(with_fitness(g % 4 == 3 ? kNaN : double(rng.below(6)), {100 + g}));
            }
            HallOfFame hall;
            hall.capacity = capacity;
            hall.chromosomes = expected;
            for (const Chromosome& c : expected) {
                hall.uniques.insert(c.genes);
            }
            ASSERT_EQ(std::distance(hall.chromosomes.begin(), hall.chromosomes.end()), std::ssize(expected));
            for (int i = 0; i < 3000; ++i) {
                const double f = rng.below(50) == 0 ? kNaN : double(rng.below(25));
                const Chromosome c = with_fitness(f, {rng.below(40), rng.below(40)});
                hall.offer(c);
                walk_offer(expected, capacity, c);
            }
            std::vector<Genes> want;
            for (const Chromosome& c : expected) {
                want.push_back(c.genes);
            }
            ASSERT_EQ(entries(hall), want) << "capacity " << capacity << " start " << start;
            for (std::size_t i = 0; i < expected.size(); ++i) {
                EXPECT_EQ(std::isnan(*hall.chromosomes[i].fitness), std::isnan(*expected[i].fitness));
            }
        }
    }
}

TEST(FitnessStatistics, Summaries) {
    const FitnessStatisticsRecorder recorder;
    const FitnessStatistics s = recorder.record(population_of({1, 2, 3, 4}));
    EXPECT_EQ(s.size, 4U);
    EXPECT_EQ(s.min, 1.0);
    EXPECT_EQ(s.max, 4.0);
    EXPECT_EQ(s.sum, 10.0);
    EXPECT_EQ(s.mean, 2.5);
    EXPECT_EQ(s.variance, 5.0);  // undivided

    const FitnessStatistics one = recorder.record(population_of({7}));
    EXPECT_EQ(one.min + one.max + one.sum + one.mean, 28.0);
    EXPECT_EQ(one.variance, 0.0);

    // Summed in population order: 1e16 + 1 rounds back to 1e16.
    EXPECT_EQ(recorder.record(population_of({1e16, 1, -1e16})).sum, 0.0);
    EXPECT_EQ(recorder.record(population_of({1e16, -1e16, 1})).sum, 1.0);

    const FitnessStatistics empty = recorder.record(Population());
    EXPECT_EQ(empty.size, 0U);
    EXPECT_TRUE(empty.sum == 0.0 && std::signbit(empty.sum));
    EXPECT_TRUE(empty.min == 0.0 && empty.max == 0.0 && empty.mean == 0.0 && empty.variance == 0.0);
    EXPECT_FALSE(std::signbit(empty.mean));
}

TEST(FitnessStatistics, NaNValues) {
    const FitnessStatisticsRecorder recorder;
    const FitnessStatistics later = recorder.record(population_of({3, kNaN, 1}));
    EXPECT_EQ(later.min, 1.0);
    EXPECT_EQ(later.max, 3.0);
    EXPECT_TRUE(std::isnan(later.sum) && std::isnan(later.mean) && std::isnan(later.variance));
    const FitnessStatistics first = recorder.record(population_of({kNaN, 3, 1}));
    EXPECT_TRUE(std::isnan(first.min) && std::isnan(first.max));

    Population unevaluated = population_of({1});
    unevaluated.chromosomes.emplace_back(Genes{0});
    EXPECT_THROW(recorder.record(unevaluated), core::InternalError);
}

// Generation g holds g + 1 unevaluated chromosomes, so records tell their generation.
Population generation(std::uint64_t g) {
    Population p;
    p.generation = g;
    for (std::uint64_t k = 0; k <= g; ++k) {
        p.chromosomes.emplace_back(Genes{g, k});
    }
    return p;
}

TEST(Lineage, KeepsTheNewestWithinItsLimits) {
    const auto evaluator = build_evaluator(ValueEvaluatorOptions{1.0});
    const FitnessStatisticsRecorder recorder;
    Lineage lineage = Lineage::create(generation(0), *evaluator, recorder, 3, std::nullopt, std::nullopt);
    EXPECT_EQ(lineage.hall_of_fame.capacity, 1U);
    for (std::uint64_t g = 1; g <= 3; ++g) {
        lineage.update(generation(g), *evaluator, recorder);
        EXPECT_EQ(lineage.latest().generation, g);
    }
    ASSERT_EQ(lineage.generations.size(), 3U);
    EXPECT_EQ(lineage.generations.back().generation, 1U);
    EXPECT_EQ(lineage.generations.front().chromosomes.back().fitness, 1.0);
    ASSERT_EQ(lineage.records.size(), 4U);
    EXPECT_EQ(lineage.records.front().size, 4U);
    EXPECT_EQ(lineage.records.back().size, 1U);

    Lineage kept = Lineage::create(generation(0), *evaluator, recorder, std::nullopt, 2, 5);
    kept.update(generation(1), *evaluator, recorder);
    kept.update(generation(2), *evaluator, recorder);
    EXPECT_EQ(kept.generations.size(), 3U);
    ASSERT_EQ(kept.records.size(), 2U);
    EXPECT_EQ(kept.records.back().size, 2U);

    Lineage nothing = Lineage::create(generation(0), *evaluator, recorder, 0, 0, 2);
    EXPECT_TRUE(nothing.generations.empty());
    EXPECT_TRUE(nothing.records.empty());
    EXPECT_EQ(nothing.hall_of_fame.chromosomes.size(), 1U);  // still offered
    EXPECT_THROW(nothing.latest(), core::InternalError);
}

TEST(GeneAllocator, ReleasedBuffersServeTheNextRequestsOfTheirLength) {
    if (!GeneAllocator::keeps_released()) {
        GTEST_SKIP() << "buffers are not kept in sanitizer builds";
    }
    GeneAllocator::release_retained();
    constexpr std::size_t n = 100;
    GeneAllocator allocator;
    Gene* a = allocator.allocate(n);
    Gene* b = allocator.allocate(n);
    allocator.deallocate(a, n);
    allocator.deallocate(b, n);
    EXPECT_EQ(GeneAllocator::retained(), 2 * n * sizeof(Gene));
    EXPECT_EQ(allocator.allocate(n), b);  // last released, first reused
    EXPECT_EQ(allocator.allocate(n), a);
    EXPECT_EQ(GeneAllocator::retained(), 0U);

    // Other lengths neither take them nor are handed them.
    allocator.deallocate(a, n);
    Gene* c = allocator.allocate(n + 1);
    EXPECT_NE(c, a);
    allocator.deallocate(c, n + 1);
    EXPECT_EQ(allocator.allocate(n + 1), c);
    allocator.deallocate(c, n + 1);

    // Short buffers go straight back.
    Gene* s = allocator.allocate(GeneAllocator::min_kept_length - 1);
    allocator.deallocate(s, GeneAllocator::min_kept_length - 1);
    EXPECT_EQ(GeneAllocator::retained(), (2 * n + 1) * sizeof(Gene));

    // Up to four lengths are kept at once; a fifth is released.
    for (std::size_t length = 200; length < 205; ++length) {
        allocator.deallocate(allocator.allocate(length), length);
    }
    EXPECT_EQ(GeneAllocator::retained(), (2 * n + 1 + 200 + 201) * sizeof(Gene));
    allocator.deallocate(b, n);

    GeneAllocator::release_retained();
    EXPECT_EQ(GeneAllocator::retained(), 0U);
}

TEST(GeneAllocator, BuffersReleasedAfterTheThreadsShelvesAreGone) {
    // A thread-local sequence that gets its buffer after the thread's shelves
    // exist outlives them at the thread's exit; its release must not use them.
    std::thread worker([] {
        thread_local Genes late;  // constructed empty: nothing allocated yet
        late.assign(100, 1);
        Genes released(100, 2);
        released = Genes();
        EXPECT_EQ(GeneAllocator::retained(), GeneAllocator::keeps_released() ? 100 * sizeof(Gene) : 0U);
    });
    worker.join();
}

TEST(GeneAllocator, KeepsNoMoreThanItsLimit) {
    if (!GeneAllocator::keeps_released()) {
        GTEST_SKIP() << "buffers are not kept in sanitizer builds";
    }
    GeneAllocator::release_retained();
    constexpr std::size_t length = 1 << 16;  // 512 KiB
    const std::size_t fit = GeneAllocator::retained_limit / (length * sizeof(Gene));
    {
        std::vector<Genes> history;
        for (std::size_t k = 0; k < fit + 8; ++k) {
            history.emplace_back(length, 7);
        }
        EXPECT_EQ(GeneAllocator::retained(), 0U);
    }
    EXPECT_EQ(GeneAllocator::retained(), fit * length * sizeof(Gene));
    // Reused buffers hold what their new owner writes.
    const Genes reused(length, 3);
    EXPECT_EQ(std::count(reused.begin(), reused.end(), Gene{3}), static_cast<std::ptrdiff_t>(length));
    GeneAllocator::release_retained();
}

}  // namespace
}  // namespace ovila::genetic
