// SelectorKinds.
#include "classes.hpp"

namespace ovila::genetic_py {

const UnionSpec selector_union{"Selector", {"Kind"}};

template <>
ClassSpec& spec_of<SelectorKind>() {
    static ClassSpec spec = kind_class<SelectorKind>();
    return spec;
}

}  // namespace ovila::genetic_py
