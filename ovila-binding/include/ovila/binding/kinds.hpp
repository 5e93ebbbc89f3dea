// Kind enumerations: fixed members stored as class attributes, with
// "<Class>.<Member>" as representation, int(), == and != against members of
// the same class and integers, no ordering and no hash.
//
// An extension describes each of its enumerations by specialising
// KindTable, exposes it with ClassOf and makes its class with kind_class.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "ovila/binding/arguments.hpp"
#include "ovila/binding/guard.hpp"
#include "ovila/binding/instance.hpp"
#include "ovila/binding/reference.hpp"

namespace ovila::binding {

struct KindMember {
    const char* name;
    int value;
};

// Each enumeration: its class name, members in declaration order, and
// whether `Class()` gives the first member.
template <class E>
struct KindTable;  // static constexpr const char* name; static constexpr std::array members; static constexpr bool constructible;

template <class E>
const char* member_name(E value) {
    for (const auto& member : KindTable<E>::members) {
        if (member.value == static_cast<int>(value)) return member.name;
    }
    return "?";
}

template <class E>
PyObject* kind_repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
        const std::string text = std::string(KindTable<E>::name) + "." + member_name(read_copy<E>(self));
        return Ref::owned(PyUnicode_FromString(text.c_str())).release();
    });
}

template <class E>
PyObject* kind_int(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
        return Ref::owned(PyLong_FromLong(static_cast<long>(read_copy<E>(self)))).release();
    });
}

// The integer an operand stands for, or nothing when it converts to no
// signed 64-bit integer; a conversion that raised anything but an ordinary
// Exception (an interrupt, an exit) or a MemoryError ends the call with it.
std::optional<long long> comparable_integer(PyObject* other);
PyObject* comparison_result(bool equal, int op);

template <class E>
PyObject* kind_compare(PyObject* self, PyObject* other, int op) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (op != Py_EQ && op != Py_NE) return Ref::borrowed(Py_NotImplemented).release();
        const auto mine = static_cast<long long>(read_copy<E>(self));
        if (Py_TYPE(other) == Py_TYPE(self)) {
            return comparison_result(mine == static_cast<long long>(read_copy<E>(other)), op);
        }
        const std::optional<long long> theirs = comparable_integer(other);
        if (!theirs) return Ref::borrowed(Py_NotImplemented).release();
        return comparison_result(mine == *theirs, op);
    });
}

template <class E>
PyObject* kind_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    static const Signature signature{KindTable<E>::name, "__new__", {}, 0};
    return guarded<PyObject*>(nullptr, [&] {
        Arguments arguments(signature, args, kwargs);
        return make_instance<E>(static_cast<E>(KindTable<E>::members[0].value)).release();
    });
}

template <class E>
void kind_populate(PyObject* type) {
    for (const auto& member : KindTable<E>::members) {
        Ref object = make_instance<E>(static_cast<E>(member.value));
        if (PyObject_SetAttrString(type, member.name, object.get()) != 0) throw_python_error();
    }
}

template <class E>
ClassSpec kind_class(const char* doc = nullptr) {
    ClassSpec spec;
    spec.name = KindTable<E>::name;
    spec.signature = KindTable<E>::constructible ? "()" : nullptr;
    spec.doc = doc;
    spec.constructor = KindTable<E>::constructible ? &kind_new<E> : nullptr;
    spec.basic_size = sizeof(Instance<E>);
    spec.dealloc = &dealloc_instance<E>;
    spec.populate = &kind_populate<E>;
    spec.extra_slots = {
        {Py_tp_repr, reinterpret_cast<void*>(&kind_repr<E>)},
        {Py_nb_int, reinterpret_cast<void*>(&kind_int<E>)},
        {Py_tp_richcompare, reinterpret_cast<void*>(&kind_compare<E>)},
        {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
    };
    return spec;
}

}  // namespace ovila::binding
