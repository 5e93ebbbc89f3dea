// ConvergenceKinds.
#include "classes.hpp"

namespace ovila::genetic_py {

const UnionSpec convergence_union{"Convergence", {"Kind"}};

template <>
ClassSpec& spec_of<ConvergenceKind>() {
    static ClassSpec spec = kind_class<ConvergenceKind>();
    return spec;
}

}  // namespace ovila::genetic_py
