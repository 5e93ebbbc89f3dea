// MutatorKinds and MutatorSwap.
#include "classes.hpp"

namespace ovila::genetic_py {

namespace {

const Signature swap_signature{"MutatorSwap", "__new__", {"p_swap"}, 1};
MutatorSwapOptions build_swap(const Arguments& args) { return MutatorSwapOptions{args.get<double>(0)}; }

}  // namespace

const UnionSpec mutator_union{"Mutator", {"Swap"}};

template <>
ClassSpec& spec_of<MutatorKind>() {
    static ClassSpec spec = kind_class<MutatorKind>();
    return spec;
}

template <>
ClassSpec& spec_of<MutatorSwapOptions>() {
    static ClassSpec spec = record_class<MutatorSwapOptions>(
        "MutatorSwap", "(p_swap)", nullptr, {}, &construct<MutatorSwapOptions, swap_signature, &build_swap>);
    return spec;
}

}  // namespace ovila::genetic_py
