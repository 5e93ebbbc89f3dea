// Conversions between Python values and record fields:
// Convert<T>::from (Python value to field) and Convert<T>::to (back).
// An extension adds its own records by specialising Convert or, for a
// class it exposes, ClassOf.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

#include "ovila/binding/errors.hpp"
#include "ovila/binding/instance.hpp"
#include "ovila/binding/reference.hpp"

namespace ovila::binding {

template <class T>
struct Convert;

template <>
struct Convert<std::uint64_t> {
    static std::uint64_t from(PyObject* object);
    static Ref to(std::uint64_t value) { return Ref::owned(PyLong_FromUnsignedLongLong(value)); }
};

template <>
struct Convert<std::uint8_t> {
    static std::uint8_t from(PyObject* object);
    static Ref to(std::uint8_t value) { return Ref::owned(PyLong_FromLong(value)); }
};

template <>
struct Convert<double> {
    static double from(PyObject* object);
    static Ref to(double value) { return Ref::owned(PyFloat_FromDouble(value)); }
};

template <class T>
struct Convert<std::optional<T>> {
    static std::optional<T> from(PyObject* object) {
        if (object == Py_None) return std::nullopt;
        return Convert<T>::from(object);
    }
    static Ref to(const std::optional<T>& value) {
        if (!value) return Ref::borrowed(Py_None);
        return Convert<T>::to(*value);
    }
};

// Checks a sequence argument (a `str` and non-sequences are refused) and
// returns its length as a capacity hint (0 when unknown; at most
// `untrusted_hint_limit` unless it is a list or a tuple).
inline constexpr Py_ssize_t untrusted_hint_limit = 256;
Py_ssize_t sequence_hint(PyObject* sequence);
Ref iterate(PyObject* sequence);
PyObject* next_item(PyObject* iterator);  // new reference or null at the end

template <class Container>
Container from_sequence(PyObject* object) {
    using T = typename Container::value_type;
    const Py_ssize_t hint = sequence_hint(object);
    Container out;
    if constexpr (requires { out.reserve(std::size_t{}); }) {
        out.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(hint, Py_ssize_t{1} << 20)));
    }
    if (PyList_CheckExact(object)) {
        // What a list iterator does, without its per-item call: the length
        // is read again at every step, since converting an item may run code
        // that changes the list, and the item is held while it is converted.
        for (Py_ssize_t i = 0; i < PyList_Size(object); ++i) {
            Ref item = Ref::borrowed(PyList_GetItem(object, i));
            out.push_back(Convert<T>::from(item.get()));
        }
        return out;
    }
    Ref iterator = iterate(object);
    while (Ref item = Ref::steal(next_item(iterator.get()))) {
        out.push_back(Convert<T>::from(item.get()));
    }
    return out;
}

template <class Container>
Ref to_list(const Container& values) {
    Ref list = Ref::owned(PyList_New(static_cast<Py_ssize_t>(values.size())));
    Py_ssize_t i = 0;
    for (const auto& value : values) {
        if (PyList_SetItem(list.get(), i++, Convert<typename Container::value_type>::to(value).release()) != 0) {
            throw_python_error();
        }
    }
    return list;
}

template <class T, class A>
struct Convert<std::vector<T, A>> {
    static std::vector<T, A> from(PyObject* object) { return from_sequence<std::vector<T, A>>(object); }
    static Ref to(const std::vector<T, A>& values) { return to_list(values); }
};

template <class T>
struct Convert<std::deque<T>> {
    static std::deque<T> from(PyObject* object) { return from_sequence<std::deque<T>>(object); }
    static Ref to(const std::deque<T>& values) { return to_list(values); }
};

// An instance of an exposed class, copied under a read borrow.
template <Exposed T>
struct Convert<T> {
    static T from(PyObject* object) {
        PyTypeObject* type = type_of<T>();
        if (!PyObject_TypeCheck(object, type)) {
            raise_downcast(object, ClassOf<T>::spec().name);
        }
        return read_copy<T>(object);
    }
    static Ref to(T value) { return make_instance<T>(std::move(value)); }
};

// Converts with the rule of arguments and attributes: a TypeError is
// re-worded "argument '<name>': <message>".
template <class T>
T extract_named(PyObject* object, const char* name) {
    try {
        return Convert<T>::from(object);
    } catch (const PythonError&) {
        reword_type_error(argument_prefix(name));
        throw;
    }
}

}  // namespace ovila::binding
