// MutatorKinds and MutatorSwap.
#include "classes.hpp"

namespace ovila::py {

namespace {

const Signature swap_signature{"MutatorSwap", "__new__", {"p_swap"}, 1};
MutatorSwapOptions build_swap(const Arguments& args) { return MutatorSwapOptions{args.get<double>(0)}; }

}  // namespace

const UnionSpec mutator_union{"Mutator", {"Swap"}};

ClassSpec& ClassOf<MutatorKind>::spec() {
    static ClassSpec spec = kind_class<MutatorKind>();
    return spec;
}

ClassSpec& ClassOf<MutatorSwapOptions>::spec() {
    static ClassSpec spec = record_class<MutatorSwapOptions>(
        "MutatorSwap", "(p_swap)", nullptr, {}, &construct<MutatorSwapOptions, swap_signature, &build_swap>);
    return spec;
}

}  // namespace ovila::py
