// FitnessStatistics, RecorderKinds and RecorderHdrHistogram.
#include "classes.hpp"

namespace ovila::genetic_py {

namespace {

const Signature statistics_signature{
    "FitnessStatistics", "__new__", {"size", "min", "max", "sum", "mean", "variance"}, 6};
FitnessStatistics build_statistics(const Arguments& args) {
    FitnessStatistics stats;
    stats.size = args.get<std::uint64_t>(0);
    stats.min = args.get<double>(1);
    stats.max = args.get<double>(2);
    stats.sum = args.get<double>(3);
    stats.mean = args.get<double>(4);
    stats.variance = args.get<double>(5);
    return stats;
}

const Signature histogram_signature{"RecorderHdrHistogram", "__new__", {"sigfig"}, 1};
HdrHistogramOptions build_histogram(const Arguments& args) { return HdrHistogramOptions{args.get<std::uint8_t>(0)}; }

}  // namespace

const UnionSpec recorder_union{"Recorder", {"HdrHistogram", "Kind"}};

template <>
ClassSpec& spec_of<FitnessStatistics>() {
    using S = FitnessStatistics;
    static ClassSpec spec = record_class<S>("FitnessStatistics", "(size, min, max, sum, mean, variance)",
                                            "Fitness statistics record.",
                                            {
                                                attribute<S, &S::size>("size"),
                                                attribute<S, &S::min>("min"),
                                                attribute<S, &S::max>("max"),
                                                attribute<S, &S::sum>("sum"),
                                                attribute<S, &S::mean>("mean"),
                                                attribute<S, &S::variance>("variance"),
                                            },
                                            &construct<S, statistics_signature, &build_statistics>);
    return spec;
}

template <>
ClassSpec& spec_of<RecorderKind>() {
    static ClassSpec spec = kind_class<RecorderKind>();
    return spec;
}

template <>
ClassSpec& spec_of<HdrHistogramOptions>() {
    static ClassSpec spec = record_class<HdrHistogramOptions>(
        "RecorderHdrHistogram", "(sigfig)", nullptr, {},
        &construct<HdrHistogramOptions, histogram_signature, &build_histogram>);
    return spec;
}

}  // namespace ovila::genetic_py
