// Chromosome, Population, HallOfFame and Lineage.
#include "classes.hpp"

namespace ovila::genetic_py {

namespace {

const Signature chromosome_signature{"Chromosome", "__new__", {"genes", "fitness"}, 1};
Chromosome build_chromosome(const Arguments& args) {
    Genes genes = args.get<Genes>(0);
    const auto fitness = args.get<std::optional<double>>(1);
    return Chromosome(fitness, std::move(genes));
}

const Signature population_signature{"Population", "__new__", {"chromosomes", "generation"}, 2};
Population build_population(const Arguments& args) {
    auto chromosomes = args.get<std::vector<Chromosome>>(0);
    const auto generation = args.get<std::uint64_t>(1);
    return Population(std::move(chromosomes), generation);
}

const Signature hall_of_fame_signature{"HallOfFame", "__new__", {"chromosomes", "uniques", "capacity"}, 3};
HallOfFame build_hall_of_fame(const Arguments& args) {
    HallOfFame hall;
    hall.chromosomes = args.get<std::vector<Chromosome>>(0);
    hall.uniques = args.get<GenesSet>(1);
    hall.capacity = args.get<std::uint64_t>(2);
    return hall;
}

const Signature lineage_signature{
    "Lineage", "__new__", {"generations", "records", "hall_of_fame", "n_generations", "n_records"}, 3};
Lineage build_lineage(const Arguments& args) {
    Lineage lineage;
    lineage.generations = args.get<std::deque<Population>>(0);
    lineage.records = args.get<std::deque<FitnessStatistics>>(1);
    lineage.hall_of_fame = args.get<HallOfFame>(2);
    lineage.n_generations = args.get<std::optional<std::uint64_t>>(3);
    lineage.n_records = args.get<std::optional<std::uint64_t>>(4);
    return lineage;
}

}  // namespace

template <>
ClassSpec& spec_of<Chromosome>() {
    static ClassSpec spec = record_class<Chromosome>(
        "Chromosome", "(genes, fitness=None)", "A chromosome represented by a vector of genes and a fitness value.",
        {
            attribute<Chromosome, &Chromosome::genes>("genes", "The genes of this chromosome."),
            attribute<Chromosome, &Chromosome::fitness>("fitness", "The fitness of this chromosome."),
        },
        &construct<Chromosome, chromosome_signature, &build_chromosome>);
    return spec;
}

template <>
ClassSpec& spec_of<Population>() {
    static ClassSpec spec = record_class<Population>(
        "Population", "(chromosomes, generation)",
        "A population consisting of multiple chromosomes and a generation number.",
        {
            attribute<Population, &Population::chromosomes>("chromosomes", "Chromosomes of this population."),
            attribute<Population, &Population::generation>("generation", "Generation index."),
        },
        &construct<Population, population_signature, &build_population>);
    return spec;
}

template <>
ClassSpec& spec_of<HallOfFame>() {
    static ClassSpec spec = record_class<HallOfFame>(
        "HallOfFame", "(chromosomes, uniques, capacity)", "A Hall Of Fame contains the fittest unique chromosomes.",
        {
            attribute<HallOfFame, &HallOfFame::chromosomes>("chromosomes",
                                                            "Chromosomes in the Hall Of Fame. From best to worst."),
            attribute<HallOfFame, &HallOfFame::uniques>("uniques",
                                                        "Unique gene sequences (Chromosomes) in the Hall Of Fame."),
            attribute<HallOfFame, &HallOfFame::capacity>(
                "capacity", "Maximum Hall Of Fame capacity. Defaults to 1 (the single best chromosome)."),
        },
        &construct<HallOfFame, hall_of_fame_signature, &build_hall_of_fame>);
    return spec;
}

template <>
ClassSpec& spec_of<Lineage>() {
    static ClassSpec spec = record_class<Lineage>(
        "Lineage", "(generations, records, hall_of_fame, n_generations=None, n_records=None)", nullptr,
        {
            attribute<Lineage, &Lineage::generations>("generations",
                                                      "Past generations. Up to `n_generations` are kept."),
            attribute<Lineage, &Lineage::records>("records", "Records of past generations. Up to `n_records` are kept."),
            attribute<Lineage, &Lineage::hall_of_fame>("hall_of_fame", "Hall of Fame of best performing chromosomes."),
            attribute<Lineage, &Lineage::n_generations>("n_generations",
                                                        "Optional capacity for the generations VecDeque."),
            attribute<Lineage, &Lineage::n_records>("n_records", "Optional capacity for the records VecDeque."),
        },
        &construct<Lineage, lineage_signature, &build_lineage>);
    return spec;
}

}  // namespace ovila::genetic_py
