// Record classes: read-write attribute descriptors over a record's fields,
// a constructor built from a signature, and the class description that ties
// them together. A class is added by writing its record, a table of
// attributes and a constructor description.
#pragma once

#include <type_traits>
#include <utility>
#include <vector>

#include "ovila/binding/arguments.hpp"
#include "ovila/binding/convert.hpp"
#include "ovila/binding/errors.hpp"
#include "ovila/binding/guard.hpp"
#include "ovila/binding/instance.hpp"

namespace ovila::binding {

template <class T, auto Member>
struct FieldAccess {
    using Field = std::remove_cvref_t<decltype(std::declval<T&>().*Member)>;

    static PyObject* get(PyObject* self, void*) {
        return guarded<PyObject*>(nullptr, [&] {
            Field copy = read_field_copy<T, Member>(self);
            return Convert<Field>::to(std::move(copy)).release();
        });
    }

    static int set(PyObject* self, PyObject* value, void* closure) {
        return guarded<int>(-1, [&] {
            if (value == nullptr) raise(PyExc_AttributeError, "can't delete attribute");
            const auto* def = static_cast<const char*>(closure);
            Field converted = extract_named<Field>(value, def);
            auto* instance = as_instance<T>(self);
            instance->borrow.acquire_write();
            instance->value.*Member = std::move(converted);
            instance->borrow.release_write();
            return 0;
        });
    }
};

// One read-write attribute of field `Member`, with its docstring (or none).
template <class T, auto Member>
PyGetSetDef attribute(const char* name, const char* doc = nullptr) {
    return PyGetSetDef{name, &FieldAccess<T, Member>::get, &FieldAccess<T, Member>::set, doc,
                       const_cast<char*>(name)};
}

// tp_new of a class whose record is built by `Build(const Arguments&)`.
template <class T, const Signature& Sig, auto Build>
PyObject* construct(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        Arguments arguments(Sig, args, kwargs);
        T value = Build(arguments);
        return make_instance<T>(std::move(value)).release();
    });
}

// A description of a record class with the common parts filled in.
template <class T>
ClassSpec record_class(const char* name, const char* signature, const char* doc,
                       std::vector<PyGetSetDef> attributes, newfunc constructor) {
    ClassSpec spec;
    spec.name = name;
    spec.signature = signature;
    spec.doc = doc;
    spec.attributes = std::move(attributes);
    spec.constructor = constructor;
    spec.basic_size = sizeof(Instance<T>);
    spec.dealloc = &dealloc_instance<T>;
    return spec;
}

}  // namespace ovila::binding
