// Argument parsing: positional and keyword arguments placed into the
// parameters of a signature, and arguments that accept one of several
// records (unions), tried in order.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "ovila/binding/convert.hpp"
#include "ovila/binding/reference.hpp"

namespace ovila::binding {

struct Signature {
    const char* class_name;  // null for a module function
    const char* function;    // "__new__" for constructors
    std::vector<const char*> parameters;
    std::size_t required;
    std::string full_name() const;
};

// Places positional and keyword arguments into parameter slots (held
// references; null for an omitted optional parameter).
class Arguments {
public:
    Arguments(const Signature& signature, PyObject* args, PyObject* kwargs);

    // The converted argument i (omitted optional: None), errors named.
    template <class T>
    T get(std::size_t i) const {
        PyObject* value = slots_[i] ? slots_[i].get() : Py_None;
        return extract_named<T>(value, signature_.parameters[i]);
    }
    PyObject* raw(std::size_t i) const { return slots_[i].get(); }

private:
    const Signature& signature_;
    std::vector<Ref> slots_;
};

// ---------------------------------------------------------------------------
// Argument unions

struct UnionSpec {
    const char* name;
    std::vector<const char*> variants;
};

// Records a failed variant; raises the union error once all have failed.
class UnionFailures {
public:
    explicit UnionFailures(const UnionSpec& spec) : spec_(spec) {}
    void add(std::size_t variant);  // the pending exception is this variant's cause
    [[noreturn]] void raise_all();

private:
    const UnionSpec& spec_;
    std::vector<Ref> errors_;
};

template <class... Variants>
std::variant<Variants...> extract_union(PyObject* object, const UnionSpec& spec) {
    UnionFailures failures(spec);
    std::optional<std::variant<Variants...>> result;
    std::size_t index = 0;
    auto attempt = [&]<class V>() {
        if (result) return;
        try {
            result.emplace(std::in_place_type<V>, Convert<V>::from(object));
        } catch (const PythonError&) {
            failures.add(index);
        }
        ++index;
    };
    (attempt.template operator()<Variants>(), ...);
    if (!result) failures.raise_all();
    return std::move(*result);
}

}  // namespace ovila::binding
