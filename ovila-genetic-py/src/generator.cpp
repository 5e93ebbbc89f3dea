// GeneratorKinds.
#include "classes.hpp"

namespace ovila::py {

const UnionSpec generator_union{"Generator", {"Kind"}};

ClassSpec& ClassOf<GeneratorKind>::spec() {
    static ClassSpec spec =
        kind_class<GeneratorKind>("Generator kinds. Primary use is for generators without further parameters.");
    return spec;
}

}  // namespace ovila::py
