// SelectorKinds.
#include "classes.hpp"

namespace ovila::py {

const UnionSpec selector_union{"Selector", {"Kind"}};

ClassSpec& ClassOf<SelectorKind>::spec() {
    static ClassSpec spec = kind_class<SelectorKind>();
    return spec;
}

}  // namespace ovila::py
