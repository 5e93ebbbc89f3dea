// GeneratorKinds.
#include "classes.hpp"

namespace ovila::genetic_py {

const UnionSpec generator_union{"Generator", {"Kind"}};

template <>
ClassSpec& spec_of<GeneratorKind>() {
    static ClassSpec spec =
        kind_class<GeneratorKind>("Generator kinds. Primary use is for generators without further parameters.");
    return spec;
}

}  // namespace ovila::genetic_py
