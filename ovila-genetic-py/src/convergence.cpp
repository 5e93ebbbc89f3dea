// ConvergenceKinds.
#include "classes.hpp"

namespace ovila::py {

const UnionSpec convergence_union{"Convergence", {"Kind"}};

ClassSpec& ClassOf<ConvergenceKind>::spec() {
    static ClassSpec spec = kind_class<ConvergenceKind>();
    return spec;
}

}  // namespace ovila::py
