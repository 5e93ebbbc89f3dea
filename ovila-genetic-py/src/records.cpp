#include "records.hpp"

namespace ovila::binding {

genetic::GenesSet Convert<genetic::GenesSet>::from(PyObject* object) {
    if (PyAnySet_Check(object) == 0) {
        raise_downcast(object, "PySet");
    }
    genetic::GenesSet out;
    Ref iterator = iterate(object);
    while (Ref item = Ref::steal(next_item(iterator.get()))) {
        out.insert(Convert<genetic::Genes>::from(item.get()));
    }
    return out;
}

Ref Convert<genetic::GenesSet>::to(const genetic::GenesSet& values) {
    Ref set = Ref::owned(PySet_New(nullptr));
    for (const genetic::Genes& genes : values) {
        Ref tuple = Ref::owned(PyTuple_New(static_cast<Py_ssize_t>(genes.size())));
        for (std::size_t i = 0; i < genes.size(); ++i) {
            if (PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), Convert<genetic::Gene>::to(genes[i]).release()) !=
                0) {
                throw_python_error();
            }
        }
        if (PySet_Add(set.get(), tuple.get()) != 0) throw_python_error();
    }
    return set;
}

}  // namespace ovila::binding
