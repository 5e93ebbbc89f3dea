// The shared rules of the Python boundary, written once: the owning reference,
// the internal-error guard, conversions between Python values and record
// fields, argument parsing, argument unions, the borrow flag, attribute
// descriptors, class creation and kind enumerations.
//
// A class is added by writing its record, a table of attributes and a
// constructor description (see the units beside this file).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <cxxabi.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "error.hpp"
#include "evaluator.hpp"
#include "lineage.hpp"

namespace ovila::py {

// ---------------------------------------------------------------------------
// Errors

// Thrown when a Python exception is set and the current call must end.
struct PythonError {};

// Ends the call with the pending Python exception; when the host reported a
// failure without setting one, raises SystemError first.
[[noreturn]] void throw_python_error();

// Sets `type(message)` and ends the call.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// Raises PanicException with `message` (also written to standard error).
// Never fails: a failure while doing so aborts the process.
void raise_panic(const char* message) noexcept;

// Runs `body` and turns every C++ failure into a Python exception: an
// internal error into PanicException, a refused configuration into
// ValueError, an allocation failure into MemoryError. Returns `failed`
// when `body` did not complete. The one unwind let through is the thread's
// own end (the interpreter ending a thread while it finalizes): it is no
// failure of the call, and the thread does not hold the interpreter lock.
template <class R, class F>
R guarded(R failed, F&& body);

// ---------------------------------------------------------------------------
// Owning reference

class Ref {
public:
    Ref() = default;
    // Takes over a new reference; a null one ends the call (host failure).
    static Ref owned(PyObject* p) {
        if (p == nullptr) throw_python_error();
        return Ref(p);
    }
    static Ref borrowed(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    // Takes over a new reference that may be null without an error.
    static Ref steal(PyObject* p) { return Ref(p); }

    Ref(const Ref& other) : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

// A fetched exception, normalised (the value is the exception instance).
class Fetched {
public:
    static Fetched fetch();
    void restore();
    PyObject* value() const { return value_.get(); }
    bool is(PyObject* type) const;

private:
    Ref type_, value_, traceback_;
};

// "<ExceptionType>: <message>", with "<exception str() failed>" in its place.
std::string describe_exception(PyObject* exception);
std::string str_of(PyObject* object);
// Qualified name of the object's type, as in "'int' object ...".
std::string type_name(PyObject* object);
// TypeError "'<type>' object cannot be converted to '<expected>'".
[[noreturn]] void raise_downcast(PyObject* object, const char* expected);
// Raises `type(message)` whose __cause__ is `cause` (may be null).
[[noreturn]] void raise_with_cause(PyObject* type, const std::string& message, PyObject* cause);

// Re-raises a pending TypeError as "<prefix><message>" keeping its cause;
// any other pending exception stays as it is.
void reword_type_error(std::string_view prefix);

// ---------------------------------------------------------------------------
// Borrow flag

class BorrowFlag {
public:
    void acquire_read();   // RuntimeError "Already mutably borrowed"
    void acquire_write();  // RuntimeError "Already borrowed"
    void release_read() { --state_; }
    void release_write() { state_ = 0; }

private:
    long state_ = 0;  // > 0 readers, -1 one writer
};

template <class T>
struct Instance {
    PyObject_HEAD
    BorrowFlag borrow;
    T value;
};

template <class T>
Instance<T>* as_instance(PyObject* object) {
    return reinterpret_cast<Instance<T>*>(object);
}

// Holds a read borrow for its lifetime.
class ReadBorrow {
public:
    explicit ReadBorrow(BorrowFlag& flag) : flag_(flag) { flag_.acquire_read(); }
    ReadBorrow(const ReadBorrow&) = delete;
    ReadBorrow& operator=(const ReadBorrow&) = delete;
    ~ReadBorrow() { flag_.release_read(); }

private:
    BorrowFlag& flag_;
};

// A copy of the record, or of one of its fields, taken under a read borrow.
template <class T>
T read_copy(PyObject* object) {
    auto* self = as_instance<T>(object);
    ReadBorrow borrow(self->borrow);
    return self->value;
}

template <class T, auto Member>
auto read_field_copy(PyObject* object) {
    auto* self = as_instance<T>(object);
    ReadBorrow borrow(self->borrow);
    return self->value.*Member;
}

// ---------------------------------------------------------------------------
// Classes

// How a class is made: name, text signature, docstring, attributes,
// constructor, and the extra slots of the kind enumerations.
struct ClassSpec {
    const char* name;
    const char* signature = nullptr;  // for example "(genes, fitness=None)"
    const char* doc = nullptr;
    std::vector<PyGetSetDef> attributes;
    std::vector<PyMethodDef> methods;
    newfunc constructor = nullptr;  // none: calling the class raises TypeError
    std::vector<PyType_Slot> extra_slots;
    std::size_t basic_size = 0;
    destructor dealloc = nullptr;
    // Runs once after the type object is created (class attributes).
    void (*populate)(PyObject* type) = nullptr;

    // The type object, created on first need and kept for the process.
    PyTypeObject* type();
    // Creates the type object if needed; on failure the Python error is set
    // and null returned (used by registration).
    PyTypeObject* try_type();

    static PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

    std::string qualified_name;
    std::string full_doc;
    PyTypeObject* type_ = nullptr;
};

// Every exposed record type names its class spec with this trait.
template <class T>
struct ClassOf;  // static ClassSpec& spec();

template <class T>
concept Exposed = requires { ClassOf<T>::spec(); };

template <class T>
PyTypeObject* type_of() {
    return ClassOf<T>::spec().type();
}

template <class T>
void dealloc_instance(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    as_instance<T>(object)->value.~T();
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(object);
    Py_DECREF(type);
}

// A new instance of the class of T holding `value`.
template <Exposed T>
Ref make_instance(T value) {
    PyTypeObject* type = type_of<T>();
    PyObject* object = PyType_GenericAlloc(type, 0);
    if (object == nullptr) throw_python_error();
    auto* self = as_instance<T>(object);
    new (&self->borrow) BorrowFlag();
    try {
        new (&self->value) T(std::move(value));
    } catch (...) {
        // No record was made: the object goes without running its destructor.
        auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_fn(object);
        Py_DECREF(type);
        throw;
    }
    return Ref::steal(object);
}

// ---------------------------------------------------------------------------
// Conversions: Convert<T>::from (Python value to field) and ::to (back).

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

// Matrix cells: converted like an array of floats, shared once converted.
template <>
struct Convert<SharedCells> {
    static SharedCells from(PyObject* object) { return SharedCells(Convert<std::vector<double>>::from(object)); }
    static Ref to(const SharedCells& cells) { return to_list(cells.values()); }
};

// A set of gene sequences: read back as a set of tuples.
template <>
struct Convert<GenesSet> {
    static GenesSet from(PyObject* object);
    static Ref to(const GenesSet& values);
};

// The entries of a hall of fame: a list, best first (a template, so that it
// is compiled once Chromosome's class is known).
template <class Entries>
    requires std::is_same_v<Entries, HallEntries>
struct Convert<Entries> {
    static HallEntries from(PyObject* object) { return HallEntries(Convert<std::vector<Chromosome>>::from(object)); }
    static Ref to(const HallEntries& values) { return to_list(values); }
};

// The gene sequences of a hall of fame: a set of tuples, like GenesSet.
template <class Uniques>
    requires std::is_same_v<Uniques, HallUniques>
struct Convert<Uniques> {
    static HallUniques from(PyObject* object) { return HallUniques(Convert<GenesSet>::from(object)); }
    static Ref to(const HallUniques& values) { return Convert<GenesSet>::to(values.to_set()); }
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

// "argument '<name>': ", the prefix of an argument's or attribute's TypeError.
std::string argument_prefix(const char* name);

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

// ---------------------------------------------------------------------------
// Argument parsing

struct Signature {
    const char* class_name;  // null for the module function
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

// ---------------------------------------------------------------------------
// Attribute descriptors and constructors

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

// A spec for a record class with the common parts filled in.
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

// ---------------------------------------------------------------------------
// Kind enumerations

struct KindMember {
    const char* name;
    int value;
};

// Each enumeration: its class name, members in declaration order, and
// whether `Class()` gives the first member.
template <class E>
struct KindTable;  // static constexpr const char* name; static constexpr std::array members; static constexpr bool constructible;

template <class E>
ClassSpec kind_class(const char* doc = nullptr);

template <class E>
const char* member_name(E value) {
    for (const auto& member : KindTable<E>::members) {
        if (member.value == static_cast<int>(value)) return member.name;
    }
    return "?";
}

// ---------------------------------------------------------------------------
// Guard implementation

void raise_value_error(const char* message) noexcept;

// The forced unwind is a foreign exception: its catch binds no object, which
// the undefined-behaviour sanitizer would report as a null reference (the
// bodies guarded keep their checks: they are functions of their own).
template <class R, class F>
__attribute__((no_sanitize("undefined"))) R guarded(R failed, F&& body) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const PythonError&) {
    } catch (const ovila::InternalError& error) {
        raise_panic(error.what());
    } catch (const ovila::ConfigError& error) {
        raise_value_error(error.what());
    } catch (const ovila::MemoryRefusal& refusal) {
        PyErr_SetString(PyExc_MemoryError, refusal.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_panic(error.what());
    } catch (...) {
        raise_panic("unknown internal error");
    }
    return failed;
}

}  // namespace ovila::py

#include "kinds.hpp"
