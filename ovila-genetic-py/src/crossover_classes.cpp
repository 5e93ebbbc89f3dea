// CrossoverKinds, CrossoverBlend and CrossoverSimulatedBinary.
#include "classes.hpp"

namespace ovila::genetic_py {

namespace {

const Signature blend_signature{"CrossoverBlend", "__new__", {"alpha"}, 1};
BlendOptions build_blend(const Arguments& args) { return BlendOptions{args.get<double>(0), CrossoverKind::Blend}; }

const Signature simulated_binary_signature{"CrossoverSimulatedBinary", "__new__", {"eta"}, 1};
SimulatedBinaryOptions build_simulated_binary(const Arguments& args) {
    return SimulatedBinaryOptions{args.get<double>(0), CrossoverKind::SimulatedBinary};
}

}  // namespace

const UnionSpec crossover_union{"Crossover", {"Blend", "SimulatedBinary", "Kind"}};

template <>
ClassSpec& spec_of<CrossoverKind>() {
    static ClassSpec spec = kind_class<CrossoverKind>();
    return spec;
}

template <>
ClassSpec& spec_of<BlendOptions>() {
    using B = BlendOptions;
    static ClassSpec spec = record_class<B>("CrossoverBlend", "(alpha)", nullptr,
                                            {
                                                attribute<B, &B::alpha>("alpha"),
                                                attribute<B, &B::kind>("kind"),
                                            },
                                            &construct<B, blend_signature, &build_blend>);
    return spec;
}

template <>
ClassSpec& spec_of<SimulatedBinaryOptions>() {
    using S = SimulatedBinaryOptions;
    static ClassSpec spec = record_class<S>("CrossoverSimulatedBinary", "(eta)", nullptr,
                                            {
                                                attribute<S, &S::eta>("eta"),
                                                attribute<S, &S::kind>("kind"),
                                            },
                                            &construct<S, simulated_binary_signature, &build_simulated_binary>);
    return spec;
}

}  // namespace ovila::genetic_py
